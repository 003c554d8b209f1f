// Removing every occurrence of one character from a string, in place.
#pragma once

namespace kapsa {

// Removes every c from s (characters compared as signed 8-bit values) and
// returns how many were removed; a null or empty s gives 0.
int strdel(char *s, int c);

}  // namespace kapsa
