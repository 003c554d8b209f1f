// The archive file and its preamble.
//
// An archive is one file:
//
//   offset              size   content
//   0                   N      extractor image: the kapsa executable, unchanged
//   N                   11     preamble magic (see build_magic), no terminator
//   N+11                f+1    feature list, NUL
//   N+12+f              c+1    comment, NUL
//   N+13+f+c            r+1    run (post-install) command, NUL
//   N+14+f+c+r          e+1    extract command, NUL
//   N+15+f+c+r+e        ...    payload up to the end of the file: one gzip
//                              member per input file, or (NOCOMPR) the raw
//                              bytes of the input files one after the other
//
// Nothing carries a length or a version: the first occurrence of the magic in
// the file is the preamble, and the end of the file ends the payload.  The
// system's loader runs the image and ignores the bytes behind it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/options.h"
#include "io/sink.h"
#include "payload/payload.h"
#include "sign/block.h"

namespace kapsa {

constexpr size_t magic_size = 11;

struct Preamble {
  char features[text_size];         // feature list, items separated by ","
  char comment[text_size];          // text shown to the user before extraction
  char run_command[text_size];      // post-install command; empty: none
  char extract_command[text_size];  // receives the payload; empty: "cat > %p/%o"
  int damaged;                      // set by find_preamble: a stored text did not fit
  int read_failed;                  // set by find_preamble: a read failed (and was reported)
};

// Returns a static buffer holding the 11 magic bytes (not NUL-terminated).
// The magic is assembled at run time so that the program's own file never
// holds it: a build copies that file, and the first occurrence counts.
const unsigned char *build_magic();

// Writes the extractor image (the file that extractor names, found through
// locate_executable) and the preamble p to out.  Returns 0, or -1 after
// printing what failed (program starts the message of a program not found;
// a failed write is said with the sink's name); nothing has then been
// written when the failure came before the image.
int write_preamble(const char *extractor, const Preamble &p, Sink &out, const char *program);

// Finds the preamble in the file that name stands for: with as_named, the
// file of that name when one exists (relative to the current directory, or
// absolute), whatever its mode; otherwise, and when there is none, the one
// locate_executable finds.  Returns a read-only descriptor positioned at the
// first payload byte, with *p and *payload_offset set; or -1.  Prints only
// when the name cannot be located ("<program>: unable to find kapsa to build
// preamble") or opened.  A file that is not a regular file, or has no magic,
// gives -1 silently.  A stored text of more than 1,023 characters gives -1
// with p->damaged set (the texts read so far are kept, cut within their
// buffers).  A read that fails is reported with the path and gives -1 with
// p->read_failed set.
int find_preamble(const char *name, bool as_named, Preamble *p, off_t *payload_offset,
                  const char *program);

// An archive open to be read: what was read of it, and its payload.
//
// Behind the four texts a licence may stand (feature item LICENSE=<bytes>:
// that many bytes of text, then the payload), and behind the payload a
// signature block and its footer (feature item SIGNED; sign/block.h): the
// payload is what lies between.
struct Archive {
  int fd;                 // read-only; at the first payload byte when opened
  off_t payload_offset;   // offset of the first payload byte
  off_t payload_end;      // offset after the payload's last byte
  off_t license_offset;   // offset of the licence's text
  long long license_bytes;  // its length; 0: none
  bool is_signed;         // a signature block follows the payload
  SignBlock signature;    // that block, as found
  const char *name;       // the name it was opened under, for messages (the caller's text)
  Preamble preamble;      // its four texts
  Payload payload;        // its payload, begun (payload/payload.h)
};

// Opens the archive that name stands for, to probe it, list, check or
// extract it: finds its preamble (with as_named as find_preamble takes it),
// fills *a and begins its payload.  Returns 0; or -1 after saying so
// ("<name>: unable to find preamble magic value", after a word on a damaged
// preamble when it was one; the system's error alone when a read failed);
// quiet says nothing of a missing or damaged preamble (the start-up's probe
// of its own file).
int archive_open(const char *name, bool as_named, bool quiet, const char *program, Archive *a);

}  // namespace kapsa
