// Bounded copies into the fixed text buffers of the program.
#pragma once

#include <cstddef>

namespace kapsa {

// Copies src with its NUL into dst, which holds cap bytes.  Returns 0, or -1
// when src does not fit; dst is then left unchanged.
int text_copy(char *dst, size_t cap, const char *src);

// Returns the text after the last "/" of path (the whole path when it has none).
const char *text_last_component(const char *path);

}  // namespace kapsa
