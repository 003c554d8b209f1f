// Bounded copies into the fixed text buffers of the program.
#include "base/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kapsa {

int text_copy(char *dst, size_t cap, const char *src) {
  size_t len = strlen(src);
  if (len >= cap) return -1;
  memcpy(dst, src, len + 1);
  return 0;
}

int text_format(char *dst, size_t cap, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(dst, cap, format, args);
  va_end(args);
  if (n >= 0 && size_t(n) < cap) return 0;
  if (cap > 0) dst[0] = '\0';
  return -1;
}

const char *text_last_component(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

namespace {

// The length of the UTF-8 character at p (2 to 4 bytes), or 0 when p does
// not begin a well-formed multi-byte character.
size_t utf8_length(const unsigned char *p) {
  size_t len = p[0] >= 0xf0 && p[0] <= 0xf4 ? 4 : p[0] >= 0xe0 ? 3 : p[0] >= 0xc2 ? 2 : 0;
  if (p[0] >= 0xf5) return 0;
  for (size_t i = 1; i < len; i++)
    if ((p[i] & 0xc0) != 0x80) return 0;
  return len;
}

// The bytes at p that a terminal could take for a control: the length of
// the control character there (1, or 2 for a UTF-8 C1 control), or 0 when p
// begins an ordinary character; *ordinary receives the length of that one.
size_t control_at(const unsigned char *p, bool keep_layout, size_t *ordinary) {
  *ordinary = 1;
  unsigned char c = p[0];
  if (c < 0x20 || c == 0x7f) return keep_layout && (c == '\n' || c == '\t') ? 0 : 1;
  if (c < 0x80) return 0;
  size_t len = utf8_length(p);
  if (len == 2 && c == 0xc2 && p[1] < 0xa0) return 2;  // U+0080 .. U+009F
  if (len) {
    *ordinary = len;
    return 0;
  }
  return c < 0xa0 ? 1 : 0;  // a stray C1 byte; other bytes are some charset's letters
}

bool has_control(const char *text, bool keep_layout) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  while (*p) {
    size_t ordinary;
    if (control_at(p, keep_layout, &ordinary)) return true;
    p += ordinary;
  }
  return false;
}

// Writes text escaped, a piece at a time, through put(data, length).
template <typename Put>
void escape(const char *text, bool keep_layout, Put put) {
  if (!has_control(text, keep_layout)) {
    put(text, strlen(text));
    return;
  }
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  while (*p) {
    size_t ordinary;
    size_t control = control_at(p, keep_layout, &ordinary);
    if (!control) {
      if (*p == '\\')
        put("\\\\", 2);
      else
        put(reinterpret_cast<const char *>(p), ordinary);
      p += ordinary;
      continue;
    }
    for (size_t i = 0; i < control; i++, p++) {
      const char *named = *p == '\r' ? "\\r" : *p == '\n' ? "\\n" : *p == '\t' ? "\\t"
                        : *p == 0x1b ? "\\e" : nullptr;
      char octal[5];
      if (!named) {
        snprintf(octal, sizeof octal, "\\%03o", *p);
        named = octal;
      }
      put(named, strlen(named));
    }
  }
}

}  // namespace

bool text_has_control(const char *text, bool keep_layout) { return has_control(text, keep_layout); }

void text_print_escaped(FILE *out, const char *text, bool keep_layout) {
  escape(text, keep_layout, [out](const char *data, size_t len) { fwrite(data, 1, len, out); });
}

const char *text_escaped(char *dst, size_t cap, const char *text) {
  size_t n = 0;
  escape(text, false, [&](const char *data, size_t len) {
    for (size_t i = 0; i < len && n + 1 < cap; i++) dst[n++] = data[i];
  });
  if (cap) dst[n] = '\0';
  return dst;
}

}  // namespace kapsa
