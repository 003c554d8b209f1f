// A DEFLATE stream of one byte repeated, written as the run grows.
//
// The stream is one final dynamic block: a literal for the first byte, then
// a match of 258 bytes at distance 1 for every 258 bytes more (two bits
// each: the code gives length 258 one bit and the one distance code one
// bit), the rest as one shorter match or literals, and the end of the
// block.  So a run of any length pays for one block header (about 20
// bytes), where a general compressor pays for a block every few hundred
// kilobytes.  Literal/length code lengths:
//   285 (length 258)        1
//   the run's byte          2
//   256 (end), 257, 258     6
//   259 .. 284              7
// and the code-length code gives its eight symbols 0, 1, 2, 6, 7, 16, 17,
// 18 three bits each.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kapsa {

// A run stream being written into a caller's buffer.
struct RunStream {
  unsigned char *out;  // the buffer
  size_t capacity;     // its size
  size_t len;          // whole bytes written
  uint64_t bits;       // bits not yet written, lowest first
  int bit_count;       // how many
  unsigned char byte;  // the byte repeated
  uint64_t pending;    // bytes of the run not yet coded (fewer than 258 between calls)
  bool started;        // the first literal is written
  bool overflow;       // the buffer was too small
  int padding;         // after run_stream_end: the unused bits at the top of the last byte
};

// Starts the stream of a run of byte into out (capacity bytes): writes the
// block header.
void run_stream_begin(RunStream &run, unsigned char byte, unsigned char *out, size_t capacity);

// Adds count bytes to the run.
void run_stream_add(RunStream &run, uint64_t count);

// Ends the stream: the rest of the run, the end of the block, and the
// padding of its last byte (run.padding bits).  Returns the stream's size,
// or 0 when it did not fit the buffer.  The block's BFINAL bit is the lowest
// bit of the first byte.
size_t run_stream_end(RunStream &run);

}  // namespace kapsa
