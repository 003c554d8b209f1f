// The door to the payload kinds: everything that depends on what a payload
// is (raw bytes, gzip members, zstd frames) happens behind it, and nothing
// outside it asks which kind it is.
//
//   raw    the bytes of the input files, as they are (feature NOCOMPR)
//   gzip   one gzip member per input file; only the first is decoded, the
//          others are walked (gz/)
//   zstd   zstd frames, one per window of each input file; all are
//          decoded, one after the other (feature ZSTD; zstd/)
//
// Reading an archive, its payload is classified from the feature list once
// (payload_begin), its header read (payload_read_header: gzip's member
// header, which names the payload; zstd's frame headers), its sizes and its
// member count checked, and then it is decoded into an output path
// (payload_decode), the same way for the listing, --check, --verify and the
// extraction.  Building one, each input is encoded by one call
// (payload_encode), whatever the kind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "gz/deflate.h"
#include "io/sink.h"
#include "zstd/zstd.h"

namespace kapsa {

enum class PayloadKind { raw, gzip, zstd };

constexpr size_t payload_name_size = 1024;

// One archive's payload, as measured.
struct Payload {
  PayloadKind kind;
  int fd;                         // the archive, read from the first payload byte on
  off_t start;                    // offset of the first payload byte
  off_t end;                      // offset after the last one
  const char *features;           // the archive's feature list
  const char *archive;            // the archive's name in messages
  const char *program;            // starts the messages
  char name[payload_name_size];   // the output name: stored, or the NAME item; "stdout" else
  int method;                     // the gzip header reader's result: 8, or -1 (refused)
  off_t trailer_at;               // gzip: offset of the last member's trailer
  uint32_t crc;                   // gzip: the last member's CRC-32
  long long content;              // bytes the first input had: SIZE=, else the last ISIZE
  long long last;                 // gzip: the last member's size (SIZE= when it is the first)
  ZstdSizes frames;               // zstd: the frames, measured from their headers
};

// The kind the feature list says: zstd frames when it holds the item "ZSTD"
// (a whole item), else raw when it holds "NOCOMPR" (anywhere), else gzip.
PayloadKind payload_classify(const char *features);

// Begins reading the payload of the archive named archive (messages start
// with program) from fd, at start (where fd stands) up to end, as features
// classify it.  Reads nothing.
void payload_begin(Payload &p, int fd, off_t start, off_t end, const char *features,
                   const char *archive, const char *program);

// Looks ahead at a gzip payload's header, as the listing does before it
// prints anything: one that the reader would meet cut, or with a stored
// name too long, is said as the reader would say it, and gives -1 without
// ending the process.  0 for the other kinds.
int payload_look_ahead(const Payload &p);

// Reads what stands before the data: gzip's member header (notes: say what
// it ignores), zstd's frame headers; with keep_name, the payload's name (the
// stored name, or the NAME item of the other kinds) replaces "stdout".
// Returns 0, or -1 after the header reader's message (a refused gzip
// header; p.method is then -1).  A failed read ends the process.
int payload_read_header(Payload &p, bool notes, bool keep_name);

// Reads and checks the sizes a gzip payload claims: its last trailer and
// the SIZE= item against the first member (measured by walking it when the
// last trailer is another's).  Returns 0 (also for the other kinds), or -1
// after "<archive>: damaged archive: SIZE= does not match the trailer" or a
// read error.
int payload_measure(Payload &p);

// Checks the payload against the number of members or frames its feature
// list records (MEMBERS=), so that an archive cut exactly where a member or
// frame begins is not taken for a whole one.  With decoding_follows, zstd
// frames that are damaged rather than cut are left to the decoder, which
// names the damage.  Returns 0; -1 after "unexpected end of file" (fewer
// present than recorded) or "<archive>: damaged archive: MEMBERS= does not
// match the payload" (more, or no count).
int payload_check_members(const Payload &p, bool decoding_follows);

// The bytes the payload unpacks to, for the space check: the first input's
// size (gzip), the frames' content (zstd), the payload's length (raw).
uint64_t payload_content_bytes(const Payload &p);

// Whether the memory that decoding needs can be had; *mib receives it (0
// for kinds that need little).  Returns 0, or -1 after "<archive>: not
// enough memory to unpack: this archive needs N MiB".
int payload_memory_check(const Payload &p, uint64_t *mib);

// Decodes the payload (header read) into out_fd (-1: nowhere), named
// out_name in messages, or into consume (io/output.h's consumer) when it
// is given, with the progress line unless quiet, and checks what stands
// behind it (gzip's CRC-32 and length).  Returns the bytes decoded.
// Damaged data, an early end, a failed read or write and a consumer's
// refusal end the process.
long long payload_decode(Payload &p, int out_fd, const char *out_name, bool quiet,
                         int (*consume)(void *, const unsigned char *, size_t) = nullptr,
                         void *consumer = nullptr);

// Whether the payload is checked by decoding it (raw bytes carry no check).
bool payload_is_checked(const Payload &p);

// Prints the listing's statistics line of the payload (header read,
// measured), or for raw bytes "Statistics unavailable because data was not
// compressed"; *header_due says whether the column header is still to be
// printed (and is cleared when it is).
void payload_print_statistics(const Payload &p, bool verbose, bool *header_due);

// Prints numerator/denominator as a signed percentage with one decimal
// (" 33.3%", "- 5.0%") to out; computed in 128 bits, so that sizes read from
// an archive cannot overflow it.
void print_ratio(__int128 numerator, __int128 denominator, FILE *out);

// How a build encodes its inputs.
struct EncodeSettings {
  DeflateSettings deflate;  // gzip members
  int zstd_level;           // zstd frames: their level,
  int zstd_window_log;      //   their window,
  const char *compressor;   //   and the compressor program
};

// Encodes the input open on in_fd (named name; size bytes, when it is a
// pipe whose size is known, else -1) into out as one member or frame of
// kind (raw: its bytes), for the messages of program.  Returns 0,
// or -1 after a message; *read receives the bytes read of the input (0
// when the compressor read them itself).
int payload_encode(PayloadKind kind, int in_fd, const char *name, long long size, Sink &out,
                   const EncodeSettings &settings, const char *program, uint64_t *read);

// How many members or frames payload_encode makes of the input open on
// in_fd (size as for payload_encode): one, but for zstd frames of an input
// of known size, one per window of it (zstd/compressor.h).  A build records
// the sum over its inputs (MEMBERS=) before it writes the payload.
long long payload_members(PayloadKind kind, int in_fd, long long size,
                          const EncodeSettings &settings);

// What a build of kind records besides NAME: the first input's true size
// (SIZE=, for a trailer that keeps it modulo 2^32), and the number of
// members or frames (MEMBERS=).
bool payload_records_size(PayloadKind kind);
bool payload_records_members(PayloadKind kind);

// Whether an extraction of kind unpacks only the first input.
bool payload_unpacks_first_only(PayloadKind kind);

// Before an input of kind open on in_fd (named name; size as for
// payload_encode) is encoded: warns when its size will not be recorded (a
// zstd frame of a pipe of unknown size).
void payload_note_input(PayloadKind kind, int in_fd, const char *name, long long size,
                        const char *program);

}  // namespace kapsa
