// Stream buffers, CRC-32 and the stream's reporters.
#include "gz/stream.h"

#include <libdeflate.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/fatal.h"
#include "base/progress.h"
#include "io/fdio.h"

namespace kapsa {

// Zero-initialised, so that the buffers take no room in the program file;
// the CRC register starts as all ones.
StreamState stream;
static const bool crc_register_preset = (stream.crc_register = 0xffffffffu, true);

void stream_begin(int in, const char *in_name, Sink *out, const char *program) {
  reset_streams();
  stream.in_fd = in;
  stream.in_left = UINT64_MAX;
  stream.in_name = in_name;
  stream.out = out;
  stream.program = program;
}

void reset_streams() {
  stream.out_count = 0;
  stream.in_pos = 0;
  stream.in_len = 0;
  stream.in_total = 0;
  stream.out_total = 0;
  stream.member_bytes = 0;
}

int try_refill_input() {
  // A read error after some bytes of the block only ends the block early;
  // the next refill meets it again.
  size_t want = stream.in_left < in_buf_size ? size_t(stream.in_left) : in_buf_size;
  errno = 0;
  stream.in_len = want ? uint32_t(fdio_read(stream.in_fd, stream.in_buf, want)) : 0;
  if (stream.in_len == 0) return -1;
  stream.in_left -= stream.in_len;
  stream.in_total += stream.in_len;
  stream.in_pos = 1;
  return stream.in_buf[0];
}

int refill_input() {
  int c = try_refill_input();
  if (c < 0) stream_fatal_read();
  progress_advance(stream.in_len);
  return c;
}

void flush_out_buf() {
  if (stream.out_count == 0) return;
  sink_write_or_stop(*stream.out, stream.out_buf, stream.out_count);
  stream.out_total += stream.out_count;
  stream.out_count = 0;
}

void put_short(unsigned value) {
  put_byte(value & 0xff);
  put_byte((value >> 8) & 0xff);
}

void put_long(uint32_t value) {
  put_short(value & 0xffff);
  put_short(value >> 16);
}

void put_bytes(const unsigned char *data, size_t count) {
  while (count > 0) {
    size_t piece = out_buf_size - stream.out_count;
    if (piece > count) piece = count;
    memcpy(stream.out_buf + stream.out_count, data, piece);
    stream.out_count += uint32_t(piece);
    data += piece;
    count -= piece;
    if (stream.out_count == out_buf_size) flush_out_buf();
  }
}

uint32_t update_crc(const unsigned char *data, size_t count) {
  if (!data) {
    stream.crc_register = 0xffffffffu;
    return 0;
  }
  // libdeflate_crc32 takes and returns the complemented value; the register
  // keeps the uncomplemented one, as a byte-wise table loop would.
  uint32_t crc = libdeflate_crc32(stream.crc_register ^ 0xffffffffu, data, count);
  stream.crc_register = crc ^ 0xffffffffu;
  return crc;
}

long read_for_compressor(unsigned char *buffer, size_t size) {
  ssize_t n;
  do {
    n = read(stream.in_fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) stream_fatal_read();
  if (n == 0) return 0;
  update_crc(buffer, size_t(n));
  stream.in_total += uint32_t(n);
  stream.member_bytes += uint64_t(n);
  progress_advance(n);
  return long(n);
}

long long copy_stream(int in, Sink &out) {
  long long copied = 0;
  for (;;) {
    ssize_t n = read(in, stream.in_buf, in_buf_size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) stream_fatal_read();
    if (n == 0) return copied;
    progress_advance(n);
    sink_write_or_stop(out, stream.in_buf, size_t(n));
    copied += n;
  }
}

void stream_fatal_error(const char *message) {
  fatal_error(stream.program, stream.in_name, message);
}

void stream_report_error(const char *message) {
  fatal_report_error(stream.program, stream.in_name, message);
}

void stream_fatal_read() { fatal_read_error(stream.program, stream.in_name); }

void stream_report_read() { fatal_report_read(stream.program, stream.in_name); }

}  // namespace kapsa
