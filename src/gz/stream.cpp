// Stream buffers, CRC-32 and the fatal reporters.
#include "gz/stream.h"

#include <libdeflate.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/fatal.h"
#include "base/options.h"
#include "base/progress.h"
#include "base/syserr.h"

namespace kapsa {

// Zero-initialised, so that the buffers take no room in the program file;
// the CRC register starts as all ones.
StreamState stream;
static const bool crc_register_preset = (stream.crc_register = 0xffffffffu, true);

void stream_begin(int in, int out) {
  reset_streams();
  stream.in_fd = in;
  stream.out_fd = out;
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
  stream.in_len = uint32_t(read_full(stream.in_fd, stream.in_buf, in_buf_size));
  if (stream.in_len == 0) return -1;
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

size_t read_full(int fd, void *data, size_t count) {
  unsigned char *p = static_cast<unsigned char *>(data);
  size_t got = 0;
  errno = 0;
  while (got < count) {
    ssize_t n = read(fd, p + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return got;
    if (n == 0) {
      errno = 0;
      return got;
    }
    got += size_t(n);
  }
  return got;
}

int write_all(int fd, const void *data, size_t count) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  while (count > 0) {
    ssize_t n = write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor left non-blocking by someone else: wait until it drains.
      struct pollfd ready = {fd, POLLOUT, 0};
      if (poll(&ready, 1, -1) < 0 && errno != EINTR) return -1;
      continue;
    }
    if (n < 0) return -1;
    if (n == 0) {  // no progress at all: give up rather than spin
      errno = EIO;
      return -1;
    }
    p += n;
    count -= size_t(n);
  }
  return 0;
}

void write_fully(int fd, const void *data, size_t count) {
  if (write_all(fd, data, count) != 0) stream_fatal_write();
}

void flush_out_buf() {
  if (stream.out_count == 0) return;
  write_fully(stream.out_fd, stream.out_buf, stream.out_count);
  stream.out_total += stream.out_count;
  stream.out_count = 0;
}

void put_short(unsigned value) {
  if (stream.out_count < out_buf_size - 2) {
    stream.out_buf[stream.out_count++] = static_cast<unsigned char>(value & 0xff);
    stream.out_buf[stream.out_count++] = static_cast<unsigned char>((value >> 8) & 0xff);
  } else {
    put_byte(value & 0xff);
    put_byte((value >> 8) & 0xff);
  }
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

long long copy_stream(int in, int out) {
  long long copied = 0;
  for (;;) {
    errno = 0;
    ssize_t n = read(in, stream.in_buf, in_buf_size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) stream_fatal_read();
    if (n == 0) return copied;
    progress_advance(n);
    write_fully(out, stream.in_buf, size_t(n));
    copied += n;
  }
}

bool (*stream_broken_pipe_hook)() = nullptr;

void stream_fatal_error(const char *message) {
  stream_report_error(message);
  fatal_exit();
}

void stream_report_error(const char *message) {
  progress_end();
  fprintf(stderr, "\n%s: %s: %s\n", options.program_name, options.input_name, message);
}

void stream_fatal_read() {
  stream_report_read();
  fatal_exit();
}

void stream_report_read() {
  int saved = errno;
  progress_end();
  fprintf(stderr, "\n%s: ", options.program_name);
  if (saved != 0) {
    errno = saved;
    syserr_report(options.input_name);
  } else {
    fprintf(stderr, "%s: unexpected end of file\n", options.input_name);
  }
  errno = saved;
}

void stream_fatal_write() {
  int saved = errno;
  progress_end();
  // A write to an extract command that has ended: its own status may say
  // what went wrong; "Broken pipe" only when it does not.
  if (saved == EPIPE && stream_broken_pipe_hook && stream_broken_pipe_hook()) fatal_exit();
  fprintf(stderr, "\n%s: ", options.program_name);
  errno = saved;
  syserr_report(options.payload_name);
  fatal_exit();
}

void print_ratio(__int128 numerator, __int128 denominator, FILE *out) {
  __int128 ratio;
  if (denominator == 0)
    ratio = 0;
  else if (denominator < 2147483)
    ratio = numerator * 1000 / denominator;
  else
    ratio = numerator / (denominator / 1000);
  if (ratio < 0) {
    putc('-', out);
    ratio = -ratio;
  } else {
    putc(' ', out);
  }
  // A hostile archive can claim sizes whose ratio passes 2^63 tenths of a
  // percent: it is cut there rather than wrapped.
  long long tenths = ratio > LLONG_MAX ? LLONG_MAX : (long long)ratio;
  fprintf(out, "%2lld.%1lld%%", tenths / 10, tenths % 10);
}

}  // namespace kapsa
