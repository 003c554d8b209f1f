// Pointer list: a null-terminated pointer array with a hidden header.
//
// Block layout (one malloc block, words pointer-sized):
//   AplistHeader   eight words, the last one the marker 13688
//   slot 0         <- the handle callers hold
//   ...
//   slot capacity  always null: the terminator behind a full list
//
// A list is recognised by the word just before slot 0 holding the marker and
// by the header's first word pointing back at slot 0.  Arrays that have no
// header are taken to come from malloc, whose chunk bookkeeping makes the
// word before them readable; glibc's size word can never equal 13688, which
// is not a multiple of its 16-byte chunk granularity.
#include "lib/aplist.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kapsa {

namespace {

constexpr size_t header_words = sizeof(AplistHeader) / sizeof(void *);
static_assert(sizeof(AplistHeader) == 8 * sizeof(void *), "the header is eight words");

// The largest capacity whose block size still fits a size_t.
constexpr intptr_t capacity_max = intptr_t(SIZE_MAX / sizeof(void *) - header_words - 1);

// The header in front of list, or null when there is none.  Reads the word
// before slot 0, and the header's first word only when that one holds the
// marker.  For a plain array those words are the allocator's, outside the
// array itself: the sanitizer must not instrument this one read.
__attribute__((no_sanitize("address"), noinline)) AplistHeader *find_header(void **list) {
  const intptr_t *words = reinterpret_cast<const intptr_t *>(list);
  if (words[-1] != aplist_marker) return nullptr;
  AplistHeader *header = reinterpret_cast<AplistHeader *>(list) - 1;
  if (header->elements != list) return nullptr;
  return header;
}

}  // namespace

void **aplist_new(intptr_t capacity, AplistFree free_fn) {
  if (capacity < 1) capacity = 1;
  if (capacity > capacity_max) return nullptr;
  size_t bytes = (header_words + size_t(capacity) + 1) * sizeof(void *);
  void *block = malloc(bytes);
  if (!block) return nullptr;
  memset(block, 0, bytes);
  AplistHeader *header = static_cast<AplistHeader *>(block);
  void **list = reinterpret_cast<void **>(header + 1);
  header->capacity = capacity;
  if (free_fn) {
    header->free_fn = free_fn;
  } else {
    header->no_free = 1;
  }
  header->marker = aplist_marker;
  header->elements = list;
  return list;
}

AplistHeader *aplist_header(void **list) {
  if (!list) return nullptr;
  return find_header(list);
}

intptr_t aplist_count(void **list) {
  if (!list) return 0;
  AplistHeader *header = aplist_header(list);
  if (header && header->count > 0) return header->count;
  intptr_t n = aplist_length(list);
  if (header) header->count = n;
  return n;
}

// A full list grows by its current capacity, so that n appends copy O(n)
// pointers in all.  When growing fails the caller's variable is set to null
// as documented; the old list is then released with its elements, because
// nobody would hold it any more.  A plain array has no capacity to check
// against: appending to it is refused and changes nothing.
int aplist_append(void ***list, void *item) {
  if (!list || !*list) return -1;
  AplistHeader *header = aplist_header(*list);
  if (!header) return -1;
  intptr_t index = aplist_count(*list);
  if (index >= header->capacity) {
    void **grown = aplist_grow(*list, header->capacity);
    if (!grown) {
      aplist_free(*list);
      *list = nullptr;
      return -1;
    }
    *list = grown;
    header = aplist_header(grown);
  }
  header->count = index + 1;
  (*list)[index] = item;
  (*list)[index + 1] = nullptr;
  return 0;
}

// The new list never has fewer slots than elements, whatever extra says.
// When memory runs out the old block is left as it was and null is returned,
// so a caller of aplist_grow itself still holds a valid list.
void **aplist_grow(void **list, intptr_t extra) {
  if (!list) return nullptr;
  intptr_t n = aplist_count(list);
  intptr_t capacity = n;
  if (extra > 0) capacity = extra > capacity_max - n ? capacity_max : n + extra;
  void **grown = aplist_new(capacity, nullptr);
  if (!grown) return nullptr;
  memcpy(grown, list, size_t(n) * sizeof(void *));
  AplistHeader *old_header = aplist_header(list);
  if (old_header) {
    AplistHeader *new_header = aplist_header(grown);
    new_header->count = old_header->count;
    new_header->reserved4 = old_header->reserved4;
    new_header->free_fn = old_header->free_fn;
    new_header->no_free = old_header->no_free;
  }
  aplist_discard(list);
  return grown;
}

// Elements are released through the list's free function, each exactly once;
// null slots (elements a caller took out) are passed over.
void aplist_free(void **list) {
  if (!list) return;
  AplistHeader *header = aplist_header(list);
  if (!header) {
    for (void **slot = list; *slot; slot++) {
      free(*slot);
      *slot = nullptr;
    }
  } else if (!header->no_free && header->free_fn) {
    if (header->count > 0) {
      for (intptr_t i = 0; i < header->count; i++) {
        if (list[i]) header->free_fn(list[i]);
        list[i] = nullptr;
      }
    } else {
      for (void **slot = list; *slot; slot++) {
        header->free_fn(*slot);
        *slot = nullptr;
      }
    }
  }
  aplist_discard(list);
}

void aplist_discard(void **list) {
  if (!list) return;
  AplistHeader *header = aplist_header(list);
  for (void **slot = list; *slot; slot++) *slot = nullptr;
  if (header) {
    header->marker = 0;
    free(header);
  } else {
    free(list);
  }
}

intptr_t aplist_length(void **array) {
  if (!array) return 0;
  intptr_t n = 0;
  while (array[n]) n++;
  return n;
}

int aplist_check(void **list) { return aplist_header(list) ? 0 : -1; }

}  // namespace kapsa
