// Removing every occurrence of one character from a string, in place.
#include "lib/strdel.h"

namespace kapsa {

// Characters are compared as signed 8-bit values, so a code above 127 passed
// as a positive int matches nothing; pass it as a (signed) char to find it.
int strdel(char *s, int c) {
  if (!s || !*s) return 0;
  char *to = s;
  int removed = 0;
  for (const char *from = s; *from; from++) {
    if (static_cast<signed char>(*from) == c) {
      removed++;
    } else {
      *to++ = *from;
    }
  }
  *to = '\0';
  return removed;
}

}  // namespace kapsa
