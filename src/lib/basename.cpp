// Cutting the directory part off a path, in place.
#include "lib/basename.h"

#include <cstring>

namespace kapsa {

char *basename(char *path) {
  char *slash = strrchr(path, '/');
  // The two regions overlap: memmove.
  if (slash) memmove(path, slash + 1, strlen(slash + 1) + 1);
  return path;
}

}  // namespace kapsa
