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

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

bool text_has_control(const char *text) {
  for (const char *p = text; *p; p++)
    if (is_control(static_cast<unsigned char>(*p))) return true;
  return false;
}

void text_print_escaped(FILE *out, const char *text) {
  if (!text_has_control(text)) {
    fputs(text, out);
    return;
  }
  for (const char *p = text; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    switch (c) {
      case '\r':
        fputs("\\r", out);
        break;
      case '\n':
        fputs("\\n", out);
        break;
      case '\t':
        fputs("\\t", out);
        break;
      case 0x1b:
        fputs("\\e", out);
        break;
      case '\\':
        fputs("\\\\", out);
        break;
      default:
        if (is_control(c))
          fprintf(out, "\\%03o", c);
        else
          putc(c, out);
    }
  }
}

}  // namespace kapsa
