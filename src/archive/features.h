// The feature list: the comma-separated items of the preamble that steer an
// extraction ("NOCOMPR", "VFYFS=dir", "FSSUB=dir", "NAME=file", and any other
// item, which is only exported to the post-install command).
#pragma once

#include "gz/decoder.h"

namespace kapsa {

// Longest item text that a lookup returns whole.
constexpr int feature_item_max = 255;

// Appends item to the preamble's feature list, after a "," when the list is
// not empty.  Returns 0, or -1 when the list would pass 1,023 characters; the
// list is then unchanged.
int feature_append(const char *item);

// Looks key up as a plain substring anywhere in the feature list.  Returns
// null when it does not occur; otherwise the text from the first occurrence
// up to the next "," (at most 255 characters), in one static buffer that the
// next lookup overwrites.
const char *feature_lookup(const char *key);

// Looks key up as a whole item: the first item that equals key or begins
// with key and "=".  Returns it like feature_lookup (in the same buffer), or
// null.  Keys added to the list after its first four are matched this way,
// never as substrings.
const char *feature_item(const char *key);

// The value of the whole item key (the text after its "="; "" for the bare
// key), in lookup's buffer; null when no item is key.
const char *feature_value(const char *key);

// Appends key followed by value as one item, refusing an item that a lookup
// could not return whole (over 255 characters) or a list that would pass
// 1,023 characters.  Returns 0, or -1 after printing why (the list is then
// unchanged).
int feature_add(const char *key, const char *value);

// Whether the payload is gzip data: true unless the list holds "NOCOMPR".
bool payload_compressed();

// The payload's kind: zstd frames when the list holds the item "ZSTD" (a
// whole item), else raw when it holds "NOCOMPR" (anywhere), else gzip.
PayloadKind payload_kind();

// The first input's true uncompressed size from its "SIZE=" item (the build
// writes one for an input of 4 GiB or more, whose trailer keeps the size
// modulo 2^32, and whenever the payload has more than one member, whose
// last trailer is another file's).  Returns the size; -1 when the list holds
// no SIZE= item; -2 when an archive cannot be trusted with it: a second
// SIZE= item, or a value that is not a plain decimal below 2^63.
long long feature_true_size();

// The value of the item key ("SIZE=", "MEMBERS="), a plain decimal number
// below 2^63, at the start of an item.  Returns it; -1 when no item holds
// key; -2 when it cannot be trusted: a second such item, or a value that is
// no such number.
long long feature_number(const char *key);

}  // namespace kapsa
