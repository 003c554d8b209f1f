// The gzip member header (RFC 1952), read field by field from any byte
// source: the stream (the member reader), or a file at an offset (the
// listing's look ahead, the walker).  One parser, which says what it found
// in a code; the callers decide what to print.
//
// Header as accepted (numbers little-endian; optional fields in this order):
//   1F 8B or 1F 9E   magic, both taken alike
//   CM               must be 8 (deflate)
//   FLG              0x02 part number, 0x04 extra field, 0x08 name,
//                    0x10 comment; other bits ignored
//   MTIME (4), XFL, OS
//   part number (2)  if FLG 0x02, read right after OS
//   XLEN (2), extra  if FLG 0x04, skipped
//   name, NUL        if FLG 0x08, at most 1,023 characters when it is kept
//   comment, NUL     if FLG 0x10, skipped
#pragma once

#include <cstddef>
#include <cstdint>

namespace kapsa {

constexpr size_t header_name_size = 1024;  // a kept name: 1,023 characters and a NUL

// What a header said.
struct GzipHeader {
  int method;                   // CM
  int flags;                    // FLG
  uint32_t mtime;               // MTIME
  unsigned part;                // the part number, when FLG 0x02
  unsigned extra;               // the extra field's length, when FLG 0x04
  bool named;                   // a name was kept
  char name[header_name_size];  // the stored name, when kept
  size_t length;                // bytes of the header
};

// What header_parse found.
enum class HeaderCode {
  whole,          // a deflate member's header, read whole
  truncated,      // the input ended (or a read failed) inside it
  name_too_long,  // a name to keep of 1,024 characters or more
  not_gzip,       // the magic is not gzip's
  not_deflate,    // CM is not 8 (in h->method)
};

// Reads a header through next() (the next byte, or -1 at the end of the
// input) into *h.  keep_name: the name goes to h->name (and must fit);
// else it is skipped, whatever its length.
template <typename Next>
HeaderCode header_parse(Next next, bool keep_name, GzipHeader *h) {
  *h = GzipHeader{};
  auto byte = [&](int *c) {
    *c = next();
    if (*c >= 0) h->length++;
    return *c >= 0;
  };
  auto number = [&](int bytes, uint32_t *value) {
    *value = 0;
    for (int i = 0; i < bytes; i++) {
      int c;
      if (!byte(&c)) return false;
      *value |= uint32_t(c) << (8 * i);
    }
    return true;
  };
  auto skip_text = [&]() {
    for (int c;;) {
      if (!byte(&c)) return false;
      if (c == 0) return true;
    }
  };
  int id1, id2, c;
  uint32_t value;
  if (!byte(&id1) || !byte(&id2)) return HeaderCode::truncated;     // ID1, ID2
  if (id1 != 0x1f || (id2 != 0x8b && id2 != 0x9e)) return HeaderCode::not_gzip;
  if (!byte(&h->method)) return HeaderCode::truncated;                // CM
  if (h->method != 8) return HeaderCode::not_deflate;
  if (!byte(&h->flags) || !number(4, &h->mtime) || !byte(&c) ||       // FLG, MTIME, XFL
      !byte(&c))                                                      // OS
    return HeaderCode::truncated;
  if (h->flags & 0x02) {  // part number
    if (!number(2, &value)) return HeaderCode::truncated;
    h->part = value;
  }
  if (h->flags & 0x04) {  // extra field
    if (!number(2, &value)) return HeaderCode::truncated;
    h->extra = value;
    for (uint32_t i = 0; i < value; i++)
      if (!byte(&c)) return HeaderCode::truncated;
  }
  if (h->flags & 0x08) {  // stored name
    if (!keep_name) {
      if (!skip_text()) return HeaderCode::truncated;
    } else {
      for (size_t i = 0;; i++) {
        if (!byte(&c)) return HeaderCode::truncated;
        if (i == header_name_size - 1 && c != 0) return HeaderCode::name_too_long;
        h->name[i] = char(c);
        if (c == 0) break;
      }
      h->named = true;
    }
  }
  if ((h->flags & 0x10) && !skip_text()) return HeaderCode::truncated;  // comment
  return HeaderCode::whole;
}

}  // namespace kapsa
