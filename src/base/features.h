// The feature list: the comma-separated items of a preamble that steer an
// extraction ("NOCOMPR", "VFYFS=dir", "FSSUB=dir", "NAME=file", and any
// other item, which is only exported to the post-install command).  Every
// operation is given the list it works on: the archive's, or the one a
// build is making.
#pragma once

#include <cstddef>

namespace kapsa {

// Longest item text that a lookup returns whole.
constexpr int feature_item_max = 255;

// Appends item to list (list_size bytes), after a "," when the list is not
// empty.  Returns 0, or -1 when the list would not fit; the list is then
// unchanged.
int feature_append(char *list, size_t list_size, const char *item);

// Looks key up as a plain substring anywhere in list.  Returns null when it
// does not occur; otherwise the text from the first occurrence up to the
// next "," (at most 255 characters), in one static buffer that the next
// lookup overwrites.
const char *feature_lookup(const char *list, const char *key);

// Looks key up as a whole item: the first item that equals key or begins
// with key and "=".  Returns it like feature_lookup (in the same buffer), or
// null.  Keys added to the list after its first four are matched this way,
// never as substrings.
const char *feature_item(const char *list, const char *key);

// The value of the whole item key (the text after its "="; "" for the bare
// key), in lookup's buffer; null when no item is key.
const char *feature_value(const char *list, const char *key);

// The value of the item key ("SIZE=", "MEMBERS="), a plain decimal number
// below 2^63, at the start of an item.  Returns it; -1 when no item holds
// key; -2 when it cannot be trusted: a second such item, or a value that is
// no such number.
long long feature_number(const char *list, const char *key);

// Appends key followed by value as one item to list (list_size bytes),
// refusing an item that a lookup could not return whole (over 255
// characters) or a list that would not fit.  Returns 0, or -1 after printing
// why, with program (the list is then unchanged).
int feature_add(char *list, size_t list_size, const char *key, const char *value,
                const char *program);

}  // namespace kapsa
