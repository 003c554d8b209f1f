// The byte-stream layer under the gzip member reader and writer.
//
// The stream gets its descriptors once, from stream_begin.
// Reading an archive: the payload comes from in_fd in blocks of up to 32,768
// bytes (in_buf) and is handed out byte by byte, or in blocks to a decoder;
// decoded data goes out through the output path (gz/output.h).
// Writing a member: the writer's output collects in out_buf (16,384 bytes)
// and is written to out_fd whenever the buffer is full; the compressor reads
// its input through read_for_compressor, which keeps the CRC and the byte
// count of what was read.
//
// The reporters at the end stop the process (fatal_exit) with status 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kapsa {

constexpr uint32_t in_buf_size = 32768;
constexpr uint32_t out_buf_size = 16384;
constexpr uint32_t out_window_size = 32768;

struct StreamState {
  int in_fd;                                  // where input is read from (stream_begin)
  int out_fd;                                 // where the member writer writes (stream_begin)
  unsigned char in_buf[in_buf_size];          // current input block from in_fd
  uint32_t in_pos;                            // next unread byte of in_buf
  uint32_t in_len;                            // valid bytes in in_buf
  unsigned char out_buf[out_buf_size];        // member writer output not yet written
  unsigned char out_window[out_window_size];  // the output path's region when no other can be had
  uint32_t out_count;                         // bytes held in out_buf
  uint32_t in_total;      // compressed bytes read in, or bytes handed to the compressor
  uint32_t out_total;     // bytes written out, by the writer or the output path (modulo 2^32)
  uint32_t crc_register;  // running CRC-32, kept uncomplemented
  uint64_t member_bytes;  // bytes handed to the compressor for this member, all 64 bits
};

extern StreamState stream;

// Empties the buffers and zeroes the counters; the CRC register is left alone.
void reset_streams();

// Starts a stream that reads from in and writes to out (-1 when it writes
// nothing): reset_streams, and the two descriptors for the layer's calls.
void stream_begin(int in, int out);

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

// Reads from fd into data until count bytes have arrived, the input ends or a
// read fails; interrupted reads are retried.  Returns the number of bytes
// read.  When that is less than count, errno is 0 at the end of the input and
// the read's error after a failure.
size_t read_full(int fd, void *data, size_t count);

// Writes count bytes of data to fd, continuing short writes.  Returns 0, or
// -1 with errno set when a write fails.
int write_all(int fd, const void *data, size_t count);

// Writes count bytes of data to fd, continuing short writes; a failed write
// ends the process through stream_fatal_write.
void write_fully(int fd, const void *data, size_t count);

// Writes the out_count bytes of out_buf to out_fd.
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

// Reads up to size bytes of in_fd into buffer for the compressor,
// folding them into the CRC and counting them in in_total.  Returns the count,
// or 0 at the end of the input.  A failed read ends the process through
// stream_fatal_read: a member must never end early without a word.
long read_for_compressor(unsigned char *buffer, size_t size);

// Copies everything readable from in to out through in_buf and returns the
// number of bytes copied.  A failed read or write ends the process: a copy
// cut short must never pass for a whole one.
long long copy_stream(int in, int out);

// Fatal reporters; each ends the process with status 1: a message about
// the input, a failed or early-ended read of it, and a failed write (errno).
[[noreturn]] void stream_fatal_error(const char *message);
[[noreturn]] void stream_fatal_read();
// What stream_fatal_read and stream_fatal_error say, without ending the
// process.
void stream_report_read();
void stream_report_error(const char *message);
[[noreturn]] void stream_fatal_write();

// Called by stream_fatal_write for a write that failed with EPIPE, before
// it says anything: the extraction sets it to report the extract command's
// own failure, which explains the broken pipe; it returns true when it did
// (nothing more is said then).
extern bool (*stream_broken_pipe_hook)();

// Prints numerator/denominator as a signed percentage with one decimal
// (" 33.3%", "- 5.0%") to out; computed in 128 bits, so that sizes read from
// an archive cannot overflow it.
void print_ratio(__int128 numerator, __int128 denominator, FILE *out);

}  // namespace kapsa
