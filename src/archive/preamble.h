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

extern Preamble preamble;

// Returns a static buffer holding the 11 magic bytes (not NUL-terminated).
// The magic is assembled at run time so that the program's own file never
// holds it: a build copies that file, and the first occurrence counts.
const unsigned char *build_magic();

// Writes the extractor image (the file that extractor names, found through
// locate_executable) and the preamble to out.  Returns 0, or -1 after
// printing what failed; nothing has then been written when the failure came
// before the image.
int write_preamble(const char *extractor, int out);

// Finds the preamble in the file that name stands for: with as_named, the
// file of that name when one exists (relative to the current directory, or
// absolute), whatever its mode; otherwise, and when there is none, the one
// locate_executable finds.  Returns a read-only descriptor positioned at the first
// payload byte, with the preamble texts and *payload_offset set; or -1.
// Prints only when the name cannot be located or opened.  A file that is not a
// regular file, or has no magic, gives -1 silently.  A stored text of more
// than 1,023 characters gives -1 with preamble.damaged set (the texts read so
// far are kept, cut within their buffers).  A read that fails is reported
// with the path and gives -1 with preamble.read_failed set.
int find_preamble(const char *name, bool as_named, off_t *payload_offset);

// An archive open to be read.
struct Archive {
  int fd;                // read-only; at the first payload byte when opened
  off_t payload_offset;  // offset of the first payload byte
  const char *name;      // the name it was opened under, for messages (the caller's text)
};

// The sizes of a compressed payload, from the trailer at the end of the file
// and the feature list.
struct PayloadSizes {
  off_t trailer_at;        // offset of the last member's trailer (the last 8 bytes)
  uint32_t crc;            // the last member's CRC-32
  long long uncompressed;  // the first input's size: its SIZE= item, else the trailer's ISIZE
  long long last;          // the last member's size: its ISIZE, or SIZE= when it is the first
};

// Reads the trailer of the compressed archive a and checks its SIZE= item against the first
// member's trailer: one plain decimal below 2^63 whose value modulo 2^32 is that trailer's ISIZE.
// The last trailer is the first member's when the payload holds one member; when it does not match,
// the first member is measured (inflated into nothing), and its length must be the value (a first
// member that cannot be inflated is left to the data's own checks).  Returns 0, or -1 after
// "<name>: damaged archive: SIZE= does not match the trailer", or after the read error of a file
// too short for a trailer.
int payload_sizes(const Archive &a, PayloadSizes *sizes);

// Bytes of the payload of a: from its first payload byte to the end of the
// file; 0 when its size cannot be told.
long long payload_size(const Archive &a);

// Opens the archive that name stands for, to list, check or extract it:
// finds its preamble (with as_named as find_preamble takes it) and fills *a.
// Returns 0; or -1 after saying so ("<name>: unable to find preamble magic
// value", after a word on a damaged preamble when it was one; the system's
// error alone when a read failed).
int open_archive(const char *name, bool as_named, Archive *a);

// Takes the archive that the start-up probe found (fd at its first payload
// byte, offset) as a, under name.
void adopt_archive(int fd, off_t payload_offset, const char *name, Archive *a);

// Makes a the archive the job reads: options.input_name becomes its name and
// options.payload_name "stdout", for the stream's messages.
void archive_job_begin(const Archive &a);

}  // namespace kapsa
