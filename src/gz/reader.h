// Reading one gzip member (RFC 1952) around zlib's raw inflate.
//
// Header as accepted (numbers little-endian; optional fields in this order):
//   1F 8B or 1F 9E   magic, both taken alike
//   CM               must be 8 (deflate)
//   FLG              0x02 part number, 0x04 extra field, 0x08 name,
//                    0x10 comment; other bits ignored
//   MTIME (4), XFL, OS
//   part number (2)  if FLG 0x02, read right after OS
//   XLEN (2), extra  if FLG 0x04, skipped
//   name, NUL        if FLG 0x08, at most 1,023 characters
//   comment, NUL     if FLG 0x10, skipped
// then one raw deflate stream, CRC-32 (4) and ISIZE (4).  Only the first
// member of a payload is read; nothing after its trailer is touched.
#pragma once

#include <sys/types.h>
#include <zlib.h>

#include <cstdint>
#include <ctime>

#include "io/output.h"

namespace kapsa {

// Reads and checks a member header from the stream's input (stream_begin),
// from the first payload byte on; with notes, says what it ignores (a part
// number, an extra field).  Returns 8 (deflate), or -1 after printing why the
// header is refused.  With keep_name, a stored name goes to name (1,024
// bytes); a name of 1,024 characters or more then ends the process, as does
// input that ends inside the header.  Sets stream.member_time (when MTIME is
// not 0) and stream.framing_bytes.
int read_member_header(bool notes, bool keep_name, char *name);

// Inflates the member body from the stream's position on into out, which it
// ends (output_end).  The position is the start of the body, or a block
// boundary inside it (gz/chunks.h) with the window_size bytes at window (at
// most 32 KiB) the last the body decoded to before it.  Invalid data and an
// early end of input end the process, after the whole windows decoded
// before the fault have been written.
void inflate_member(Output &out, const unsigned char *window = nullptr, size_t window_size = 0);

// Reads the member's trailer and checks its CRC-32 and length against what
// went out through out.  A mismatch ends the process.
void check_member_trailer(const Output &out);

// Releases a zlib inflater on every way out, the fuzzing build's throw too.
struct InflateGuard {
  z_stream *zs;
  ~InflateGuard() { inflateEnd(zs); }
};

// Reads the gzip header at offset start of fd (without moving the file
// position) as read_member_header would.  Returns 0 when that reader can
// read it without ending the process (also when it refuses its magic or
// method), 1 when the input ends inside it, 2 when its stored name is 1,024
// bytes or longer.
int member_header_check(int fd, off_t start);

// Measures the gzip member that starts at offset start of fd without
// writing anything and without moving the file position or touching the
// stream buffers: its header is skipped, its data walked (gz/walk.h), at a
// cost that follows its compressed size.
// Returns 0 with *length (the bytes it decompresses to, all 64 bits) and
// *isize (its trailer's ISIZE) set; -1 when it is not one complete, valid
// member (nothing is printed).
int measure_member(int fd, off_t start, uint64_t *length, uint32_t *isize);

// Reads the 8 bytes of fd before offset end (the end of the payload), the
// trailer of its last member: CRC-32 and ISIZE, without moving the file
// position.  Returns the
// trailer's offset; -1 after the report of stream_report_read for a file too
// short for it or a failed read.
off_t read_last_trailer(int fd, off_t end, uint32_t *crc, uint32_t *isize);

}  // namespace kapsa
