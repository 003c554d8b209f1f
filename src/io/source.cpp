// A file read from any offset through a buffer of its own.
#include "io/source.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kapsa {

namespace {

constexpr size_t history = 8;  // bytes kept before pos when the buffer moves on

}  // namespace

void source_begin(Source &s, int fd, off_t limit, off_t start) {
  s.fd = fd;
  s.limit = limit;
  s.at = -1;
  s.pos = s.len = 0;
  s.eof = false;
  s.error = 0;
  s.bits = 0;
  s.count = 0;
  source_seek(s, start);
}

void source_seek(Source &s, off_t start) {
  s.bits = 0;
  s.count = 0;
  if (s.at >= 0 && start >= s.at && start <= s.at + off_t(s.len) && s.error == 0) {
    s.pos = size_t(start - s.at);
    return;
  }
  s.at = start;
  s.pos = s.len = 0;
  s.eof = false;
  s.error = 0;
}

bool source_fill(Source &s) {
  if (s.eof || s.error) return false;
  size_t keep_from = s.pos > history ? s.pos - history : 0;
  if (keep_from > s.len) keep_from = s.len;
  memmove(s.buf, s.buf + keep_from, s.len - keep_from);
  s.at += off_t(keep_from);
  s.pos -= keep_from;
  s.len -= keep_from;
  off_t offset = s.at + off_t(s.len);
  size_t room = sizeof s.buf - s.len;
  if (offset >= s.limit) room = 0;
  if (s.limit - offset < off_t(room)) room = size_t(s.limit - offset);
  for (;;) {
    ssize_t n = room ? pread(s.fd, s.buf + s.len, room, offset) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      s.error = errno;
      return false;
    }
    if (n == 0) {
      s.eof = true;
      return false;
    }
    s.len += size_t(n);
    return true;
  }
}

int source_byte(Source &s) {
  while (s.pos >= s.len)
    if (!source_fill(s)) return -1;
  return s.buf[s.pos++];
}

bool source_skip(Source &s, size_t count) {
  while (count > 0) {
    while (s.pos >= s.len)
      if (!source_fill(s)) return false;
    size_t piece = s.len - s.pos < count ? s.len - s.pos : count;
    s.pos += piece;
    count -= piece;
  }
  return true;
}

bool source_read(Source &s, void *data, size_t count) {
  unsigned char *out = static_cast<unsigned char *>(data);
  while (count > 0) {
    while (s.pos >= s.len)
      if (!source_fill(s)) return false;
    size_t piece = s.len - s.pos < count ? s.len - s.pos : count;
    memcpy(out, s.buf + s.pos, piece);
    s.pos += piece;
    out += piece;
    count -= piece;
  }
  return true;
}

bool source_skip_text(Source &s) {
  for (;;) {
    int c = source_byte(s);
    if (c <= 0) return c == 0;
  }
}

}  // namespace kapsa
