// The kinds of payload, each decoded through one door into the one output
// path (gz/output.h).
//
//   raw    the bytes of the input files, as they are (NOCOMPR)
//   gzip   one gzip member per input file; only the first is decoded
//   zstd   one zstd frame per input file; all are decoded, one after the
//          other (ZSTD; gz/zstd.h)
//
// Every kind is read the same three steps: begin reads what stands ahead of
// the data (gzip: the member header, which names the payload), run decodes
// the data into an output path, end checks what stands behind it (gzip: the
// CRC-32 and length of the trailer; zstd checks each frame's checksum as it
// decodes it).  --check, --verify, the listing (begin
// alone) and the extraction all go through these.
#pragma once

#include "gz/output.h"
#include "gz/zstd.h"

namespace kapsa {

enum class PayloadKind { raw, gzip, zstd };

// One payload being decoded.
struct Decoder {
  PayloadKind kind;
  int in;                   // the archive, read from its first payload byte on
  long long payload_bytes;  // from the first payload byte to the end of the file
  ZstdSizes frames;         // zstd: the frames, measured from their headers
};

// Starts decoding the payload of kind at the current position of in (the
// first payload byte; payload_bytes long).  For gzip, reads the member
// header (notes: say what it ignores), which sets options.payload_name to
// the stored name; for zstd, measures the frames from their headers.
// Returns 0, or -1 after the header reader's message.  A failed read ends
// the process.
int decoder_begin(Decoder &d, PayloadKind kind, int in, long long payload_bytes, bool notes);

// Checks the payload begun in d (of the archive name) against the number of
// members or frames its feature list records (MEMBERS=, written by a build
// of several inputs), so that an archive cut exactly where a member or a
// frame begins is not taken for a whole one.  With decoding_follows, a
// payload that is damaged rather than cut is left to the decoder, which
// names the damage.  Returns 0; -1 after "unexpected end of file" (fewer
// present than recorded) or "<name>: damaged archive: MEMBERS= does not
// match the payload" (more, or no count).
int decoder_check_members(const Decoder &d, const char *name, bool decoding_follows);

// Decodes the data into out (begun) and ends it.  Returns the bytes decoded.
// Damaged data, an early end and a failed read or write end the process.
long long decoder_run(Decoder &d, Output &out);

// Checks what stands behind the data: the gzip trailer against what was
// decoded.  A mismatch ends the process.
void decoder_end(Decoder &d);

// begin done: runs and ends the payload into fd (-1: nowhere), with the
// progress line unless quiet.  Returns the bytes decoded.
long long decoder_transfer(Decoder &d, int fd, bool quiet);

}  // namespace kapsa
