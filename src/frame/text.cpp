// Bounded copies into the fixed text buffers of the program.
#include "frame/text.h"

#include <cstring>

namespace kapsa {

int text_copy(char *dst, size_t cap, const char *src) {
  size_t len = strlen(src);
  if (len >= cap) return -1;
  memcpy(dst, src, len + 1);
  return 0;
}

const char *text_last_component(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

}  // namespace kapsa
