// Pointer list: a growable array of pointers that callers read as a plain
// null-terminated array (list[0], list[1], ... up to the first null).
//
// One heap block holds an eight-word header and capacity + 1 slots:
//
//   word  field      meaning
//   1     elements   address of slot 0
//   2     count      cached number of elements; 0: not known, scan for it
//   3     capacity   element slots, at least 1, terminator slot not counted
//   4     reserved   0; copied when the list grows
//   5     no_free    1 when the list has no element free function
//   6     free_fn    releases one element; null when none
//   7     reserved   0
//   8     marker     13688 while the block is a live list, 0 once released
//   ...   slots      capacity + 1 pointers; the one after the last element is null
//
// The handle is the address of slot 0; the header is the eight words before
// it, recognised by the marker.  Operations other than append also take a
// plain null-terminated array from malloc (no header): they scan for the
// terminator and release its elements with free().
#pragma once

#include <cstdint>

namespace kapsa {

using AplistFree = void (*)(void *);

struct AplistHeader {
  void **elements;     // address of slot 0
  intptr_t count;      // cached element count; 0 means unknown
  intptr_t capacity;   // element slots, not counting the terminator
  intptr_t reserved4;  // 0; carried over when the list grows
  intptr_t no_free;    // 1 when made without a free function
  AplistFree free_fn;  // releases one element, or null
  intptr_t reserved7;  // 0
  intptr_t marker;     // aplist_marker while live
};

constexpr intptr_t aplist_marker = 13688;

// A new empty list of at least one slot; null when memory runs out.
void **aplist_new(intptr_t capacity, AplistFree free_fn);
// The header of a list; null for a null handle or a plain array.
AplistHeader *aplist_header(void **list);
// Number of elements; 0 for null.  Caches a scanned count in the header.
intptr_t aplist_count(void **list);
// Appends item through the caller's handle variable, growing (and moving)
// the list when full.  0, or -1 when *list is null or the list cannot grow
// (then *list holds null).
int aplist_append(void ***list, void *item);
// A new list of count + extra slots holding the same elements; the old block
// is released.  Null for a null list or when memory runs out.
void **aplist_grow(void **list, intptr_t extra);
// Releases every element (through free_fn, or free() for a plain array),
// then the block.  Null: nothing.
void aplist_free(void **list);
// Releases the block only.  Null: nothing.
void aplist_discard(void **list);
// Entries before the first null; never looks for a header.
intptr_t aplist_length(void **array);
// 0 when list is a live list made by aplist_new, else -1.
int aplist_check(void **list);

}  // namespace kapsa
