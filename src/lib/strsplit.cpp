// Splitting a text into fields, with double quotes and backslashes.
//
// The text is scanned on a private copy, left to right, one rule per
// character, the first that applies:
//   \        sets the escape flag and skips the next character, which is then
//            never a delimiter or a quote; a \ at the very end ends the scan
//   "        (escape flag clear, outside quotes) opens a quote: the field
//            restarts after it, dropping what it held before
//   "        (escape flag clear, inside quotes) closes the quote and deletes
//            every later " of the text; the character that moves into its
//            place can only be a delimiter or part of the field, and when
//            nothing is left the field ends here, empty or not
//   delimiter (outside quotes) ends the field
// The escape flag belongs to the field it was set in: it stays set until that
// field is stored, which then loses every backslash, and meanwhile a " is an
// ordinary character.  A trailing delimiter adds no empty field.
#include "lib/strsplit.h"

#include <cstdlib>
#include <cstring>

#include "lib/aplist.h"
#include "lib/strdel.h"

namespace kapsa {

namespace {

// Appends a new string holding len characters from start to *list, without
// its backslashes when escaped.  0, or -1 when memory runs out: *list has
// then been released with all its fields and holds null.
int append_field(void ***list, const char *start, size_t len, bool escaped) {
  char *field = strndup(start, len);
  if (!field) {
    aplist_free(*list);
    *list = nullptr;
    return -1;
  }
  if (escaped) strdel(field, '\\');
  if (aplist_append(list, field) != 0) {
    free(field);
    return -1;
  }
  return 0;
}

bool is_delimiter(char c, const char *delimiters) {
  return c != '\0' && delimiters && strchr(delimiters, c);
}

}  // namespace

// Running out of memory for the copy or for a field releases everything made
// so far and gives null, as when the list itself cannot be made.
char **strsplit(const char *text, const char *delimiters) {
  void **list = aplist_new(5, free);
  if (!list) return nullptr;
  if (!text || !*text) return reinterpret_cast<char **>(list);
  char *copy = strdup(text);
  if (!copy) {
    aplist_free(list);
    return nullptr;
  }

  size_t start = 0;      // first character of the current field
  size_t i = 0;          // character being examined
  bool quoted = false;   // inside a pair of double quotes
  bool escaped = false;  // a backslash was seen in the current field
  bool done = false;     // a closing quote ended the text
  while (copy[i] && list) {
    char c = copy[i];
    if (c == '\\') {
      escaped = true;
      if (!copy[i + 1]) break;
      i += 2;
    } else if (c == '"' && !escaped && !quoted) {
      quoted = true;
      start = ++i;
    } else if (c == '"' && !escaped) {
      quoted = false;
      strdel(copy + i, '"');
      if (!copy[i]) {
        append_field(&list, copy + start, i - start, escaped);
        done = true;
        break;
      }
      if (is_delimiter(copy[i], delimiters)) {
        append_field(&list, copy + start, i - start, escaped);
        escaped = false;
        start = i + 1;
      }
      i++;
    } else if (!quoted && is_delimiter(c, delimiters)) {
      append_field(&list, copy + start, i - start, escaped);
      escaped = false;
      start = ++i;
    } else {
      i++;
    }
  }
  if (list && !done && copy[start])
    append_field(&list, copy + start, strlen(copy + start), escaped);
  free(copy);
  return reinterpret_cast<char **>(list);
}

}  // namespace kapsa
