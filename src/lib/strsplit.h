// Splitting a text into fields at any of a set of delimiter characters, with
// double quotes grouping text and backslashes escaping.
#pragma once

namespace kapsa {

// Splits text at the characters of delimiters into a new pointer list
// (capacity 5, elements released with free) of new strings, in field order.
// A null or empty text gives an empty list; null only when memory runs out.
// The text itself is never changed.  Release the result with aplist_free.
char **strsplit(const char *text, const char *delimiters);

}  // namespace kapsa
