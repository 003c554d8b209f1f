// Cutting the directory part off a path, in place.
#include "lib/basename.h"

#include <cstring>

namespace kapsa {

// A path ending in "/" (and "/" itself) becomes empty; a path without "/" is
// left alone.  The text after the last "/" overlaps its destination, hence
// memmove.
char *basename(char *path) {
  char *slash = strrchr(path, '/');
  if (slash) memmove(path, slash + 1, strlen(slash + 1) + 1);
  return path;
}

}  // namespace kapsa
