// Bounded copies into the fixed text buffers of the program.
#include "frame/text.h"

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

}  // namespace kapsa
