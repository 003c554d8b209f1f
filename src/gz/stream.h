// The byte stream under the gzip member reader and writer.
//
// The stream gets its descriptors and names once, from stream_begin.
// Reading a member: the payload comes from in_fd in blocks of up to 32,768
// bytes (in_buf) and is handed out byte by byte (the header), or in blocks
// to the inflater; what it decodes goes out through an output path
// (io/output.h).  Writing a member: the writer's output collects in out_buf
// (16,384 bytes) and goes to the build's sink whenever the buffer is full;
// the compressor reads its input through read_for_compressor, which keeps
// the CRC and the byte count of what was read.
//
// The reporters at the end stop the process (base/fatal.h) with status 1,
// naming the stream's input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "io/sink.h"

namespace kapsa {

constexpr uint32_t in_buf_size = 32768;
constexpr uint32_t out_buf_size = 16384;

struct StreamState {
  const char *program;                  // starts every message (stream_begin)
  const char *in_name;                  // the input's name in messages (stream_begin)
  int in_fd;                            // where input is read from (stream_begin)
  uint64_t in_left;                     // bytes of in_fd still to read (stream_limit)
  Sink *out;                            // where the member writer writes; null when reading
  unsigned char in_buf[in_buf_size];    // current input block from in_fd
  uint32_t in_pos;                      // next unread byte of in_buf
  uint32_t in_len;                      // valid bytes in in_buf
  unsigned char out_buf[out_buf_size];  // member writer output not yet written
  uint32_t out_count;                   // bytes held in out_buf
  uint32_t in_total;      // compressed bytes read in, or bytes handed to the compressor
  uint32_t out_total;     // bytes the member writer wrote (modulo 2^32)
  uint32_t crc_register;  // running CRC-32 of the compressor's input, kept uncomplemented
  uint64_t member_bytes;  // bytes handed to the compressor for this member, all 64 bits
  time_t member_time;     // MTIME of the last header read that carried one; 0 until then
  int framing_bytes;      // length of the last accepted header plus 8 for the trailer
};

extern StreamState stream;

// Empties the buffers and zeroes the counters; the CRC register, the member
// time and the framing are left alone.
void reset_streams();

// Starts a stream that reads from in (named in_name) and writes to out (null
// when it writes nothing), for the messages of program: reset_streams, then
// the descriptor, the names and the sink for the layer's calls.
void stream_begin(int in, const char *in_name, Sink *out, const char *program);

// Reads no more than bytes more of the input: the payload ends there (a
// signature block may follow it).
inline void stream_limit(uint64_t bytes) { stream.in_left = bytes; }

// Reads the next block of in_fd into in_buf, filling it whole unless the
// input ends or fails, and returns its first byte (in_pos is then 1).  Ends
// the process through stream_fatal_read when no byte could be read.
int refill_input();
// The same, but returns -1 instead of ending the process, with errno 0 at
// the end of the input and the read's error after a failure, and leaves the
// progress line to the caller.
int try_refill_input();

// Returns the next input byte, refilling in_buf when it is used up.
inline int next_input_byte() {
  return stream.in_pos < stream.in_len ? stream.in_buf[stream.in_pos++] : refill_input();
}

// Bytes of the input taken so far: those read in, less what in_buf still
// holds.
inline uint32_t stream_consumed() { return stream.in_total - (stream.in_len - stream.in_pos); }

// Writes the out_count bytes of out_buf to the sink.
void flush_out_buf();

// Appends one byte, a 16-bit and a 32-bit little-endian value to out_buf,
// flushing it whenever it is full.
inline void put_byte(unsigned c) {
  stream.out_buf[stream.out_count++] = static_cast<unsigned char>(c);
  if (stream.out_count == out_buf_size) flush_out_buf();
}
void put_short(unsigned value);
void put_long(uint32_t value);
// Appends count bytes to out_buf, flushing it whenever it is full.
void put_bytes(const unsigned char *data, size_t count);

// With null data: presets the CRC register and returns 0.  Otherwise folds
// count bytes into the register and returns the CRC so far; a count of 0
// queries it.
uint32_t update_crc(const unsigned char *data, size_t count);

// Reads up to size bytes of in_fd into buffer for the compressor, folding
// them into the CRC and counting them in in_total.  Returns the count, or 0
// at the end of the input.  A failed read ends the process through
// stream_fatal_read: a member must never end early without a word.
long read_for_compressor(unsigned char *buffer, size_t size);

// Copies everything readable from in to the sink through in_buf and
// returns the number of bytes copied.  A failed read or write ends the
// process: a copy cut short must never pass for a whole one.
long long copy_stream(int in, Sink &out);

// The fatal reporters of the stream, naming its input (base/fatal.h); each
// ends the process with status 1.  The report_ forms return.
[[noreturn]] void stream_fatal_error(const char *message);
[[noreturn]] void stream_fatal_read();
void stream_report_read();
void stream_report_error(const char *message);

}  // namespace kapsa
