// Measuring gzip members: the DEFLATE walk and the member framing.
//
// Bits are taken from a 64-bit buffer, lowest first, refilled eight bytes at
// a time while the read buffer holds them.  Past the end of the file the
// buffer is filled with zeros, so that decoding never stops in the middle of
// a symbol; a stream that has used any of those bits is truncated, and that
// is checked where the walk ends or reads more.
//
// Huffman codes are decoded with one table lookup on the next root bits (10
// for literal/length codes, 8 for distances, fewer when the longest code is
// shorter), and a second one in a subtable, on the bits after the root ones,
// for longer codes.  A table entry packs what the walk needs of a symbol:
//   bits 0-7     bits to drop: the code's and its extra bits'
//   bits 8-11    the code's bits (subtable pointer: the subtable's bits)
//   bits 12-15   flags: literal, end of block, subtable pointer, invalid
//   bits 16-31   base length or distance, number of literals, code-length
//                symbol, or (pointer) the subtable's offset in the table
// A literal whose code leaves room in the root bits for the next code, when
// that is a literal too, gets an entry for both: two literals, both codes'
// bits.
//
// A run of one byte is coded as the same 258-byte match over and over (two
// bits each in kapsa's run streams, a few more from zlib): when the bits
// after such a match repeat its own, all the copies that the bit buffer
// holds are counted in one step, so a run costs a round per 56 bits.
#include "gz/walk.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "gz/header.h"
#include "io/source.h"

namespace kapsa {

namespace {

// Whether bits past the end of the file have been used.
bool bits_overran(const Source &s) { return s.pos > s.len && (s.pos - s.len) * 8 > s.count; }

// The eight bytes at p as a little-endian number.
inline uint64_t load_le64(const unsigned char *p) {
  uint64_t word;
  memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  return word;
}

// Brings s.count to 56 bits or more.  Returns false when a read failed or
// bits past the end of the file have been used.
bool bits_refill(Source &s) {
  if (s.pos + 8 > s.len) source_fill(s);
  if (s.error || bits_overran(s)) return false;
  while (s.count <= 56) {
    uint64_t byte = s.pos < s.len ? s.buf[s.pos] : 0;
    s.bits |= byte << s.count;
    s.pos++;
    s.count += 8;
  }
  return true;
}

// Skips count bytes from a byte boundary (no bits held).  Returns false when
// the file ends before them or a read fails.
bool bits_skip_bytes(Source &s, size_t count) {
  if (s.pos + count <= s.len) {
    s.pos += count;
    return true;
  }
  if (s.eof || s.error) return false;
  // Read on from the last byte skipped, to know that it is there.
  off_t last = s.at + off_t(s.pos + count) - 1;
  s.at = last;
  s.pos = s.len = 0;
  if (!source_fill(s)) return false;
  s.pos = 1;
  return true;
}

// Reads a member header from s as read_member_header would: keeping its
// name, so that one of 1,024 characters or more is found as the reader
// would find it.  *accepted tells whether it is a deflate member's.
HeaderCode skip_header(Source &s, bool *accepted) {
  GzipHeader h;
  HeaderCode code = header_parse([&s] { return source_byte(s); }, true, &h);
  *accepted = code == HeaderCode::whole;
  return code;
}

// Table entries (see the top of the file).
constexpr uint32_t literal_flag = 0x1000;
constexpr uint32_t end_flag = 0x2000;
constexpr uint32_t subtable_flag = 0x4000;
constexpr uint32_t invalid_flag = 0x8000;

constexpr unsigned max_code_bits = 15;
constexpr unsigned literal_symbols = 288;  // of the fixed code; 286 in a dynamic one
constexpr unsigned distance_symbols = 32;  // of the fixed code; 30 in a dynamic one
constexpr unsigned length_symbols = 19;    // of the code-length code
constexpr unsigned literal_root = 10;
constexpr unsigned distance_root = 8;
constexpr unsigned length_root = 7;

// Room for a table of n symbols: the root table and, at most, one subtable
// of the longest code's remaining bits for each symbol.
constexpr size_t table_size(unsigned root, unsigned n) {
  return (size_t(1) << root) + (size_t(n) << (max_code_bits - root));
}

// What each symbol's table entry says besides its code length: its extra
// bits in bits 0-7.
struct SymbolEntries {
  uint32_t literal[literal_symbols];
  uint32_t distance[distance_symbols];
  uint32_t length[length_symbols];
};

constexpr uint16_t length_base[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t distance_base[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};

constexpr SymbolEntries make_symbol_entries() {
  SymbolEntries e{};
  for (unsigned i = 0; i < literal_symbols; i++) {
    if (i < 256)
      e.literal[i] = literal_flag | 1u << 16;
    else if (i == 256)
      e.literal[i] = end_flag;
    else if (i < 286)
      e.literal[i] = uint32_t(length_base[i - 257]) << 16 | length_extra[i - 257];
    else
      e.literal[i] = invalid_flag;
  }
  for (unsigned i = 0; i < distance_symbols; i++) {
    unsigned extra = i < 4 ? 0 : i / 2 - 1;
    e.distance[i] = i < 30 ? uint32_t(distance_base[i]) << 16 | extra : invalid_flag;
  }
  for (unsigned i = 0; i < length_symbols; i++) e.length[i] = uint32_t(i) << 16;
  return e;
}

constexpr SymbolEntries symbol_entries = make_symbol_entries();

// The low len bits of code in the opposite order.
uint32_t reversed(uint32_t code, unsigned len) {
  uint32_t r = 0;
  for (unsigned i = 0; i < len; i++) r |= ((code >> i) & 1u) << (len - 1 - i);
  return r;
}

// Fills table with the decoding table of the canonical code of n symbols
// whose code lengths are lengths[0..n), with root bits of at most root_max
// (*root gets them).  entries[i] is symbol i's entry without its length.  A
// set that is over-subscribed is refused; one that is incomplete too,
// unless lenient and it has no code or one code of one bit, as inflate
// accepts for literal and distance codes: the codes left out get invalid
// entries.  Returns whether the set is accepted.
bool build_table(const uint8_t *lengths, unsigned n, const uint32_t *entries, unsigned root_max,
                 bool lenient, uint32_t *table, unsigned *root) {
  unsigned count[max_code_bits + 1] = {0};
  for (unsigned i = 0; i < n; i++) count[lengths[i]]++;
  count[0] = 0;
  unsigned longest = max_code_bits;
  while (longest > 0 && count[longest] == 0) longest--;
  int left = 1;
  for (unsigned len = 1; len <= max_code_bits; len++) {
    left = 2 * left - int(count[len]);
    if (left < 0) return false;
  }
  if (left > 0 && !(lenient && longest <= 1)) return false;
  *root = longest < root_max ? (longest ? longest : 1) : root_max;
  if (left > 0) table[0] = table[1] = invalid_flag;  // one code or none: the rest are none

  // Symbols in canonical order: by code length, then by symbol.
  unsigned offset[max_code_bits + 2] = {0};
  for (unsigned len = 1; len <= max_code_bits; len++) offset[len + 1] = offset[len] + count[len];
  uint16_t sorted[literal_symbols];
  for (unsigned i = 0; i < n; i++)
    if (lengths[i]) sorted[offset[lengths[i]]++] = uint16_t(i);

  const unsigned bits = *root;
  const unsigned sub_bits = longest > bits ? longest - bits : 0;
  size_t next_sub = size_t(1) << bits;
  uint32_t prefix = ~0u;  // root bits of the codes in the current subtable
  size_t sub = 0;
  uint32_t code = 0;  // the current symbol's code, first bit highest
  unsigned k = 0;
  for (unsigned len = 1; len <= longest; len++, code <<= 1) {
    for (unsigned j = 0; j < count[len]; j++, k++, code++) {
      uint32_t entry = entries[sorted[k]] + (len | len << 8);
      uint32_t read = reversed(code, len);  // the code as the bits come
      if (len <= bits) {
        for (size_t i = read; i < (size_t(1) << bits); i += size_t(1) << len) table[i] = entry;
        continue;
      }
      uint32_t head = read & ((1u << bits) - 1);
      if (head != prefix) {
        prefix = head;
        sub = next_sub;
        next_sub += size_t(1) << sub_bits;
        table[head] = subtable_flag | sub_bits << 8 | uint32_t(sub) << 16;
      }
      for (size_t i = read >> bits; i < (size_t(1) << sub_bits); i += size_t(1) << (len - bits))
        table[sub + i] = entry;
    }
  }
  return true;
}

// Gives the literal entries of a literal/length table of root bits that
// leave room for a following literal's code the two literals.  An entry's
// second code is read at the index of the bits after its own, which has not
// been changed yet when the table is gone through from the end.
void pair_literals(uint32_t *table, unsigned root) {
  for (size_t i = size_t(1) << root; i-- > 0;) {
    uint32_t first = table[i];
    uint32_t next = table[i >> (first & 0xff)];
    unsigned both = (first & 0xff) + (next & 0xff);
    bool pair = (first & next & literal_flag) && both <= root;
    table[i] = pair ? ((first >> 16) + (next >> 16)) << 16 | literal_flag | both : first;
  }
}

// A walk: its input, and the tables of the fixed codes and of the current
// dynamic block.
struct Walker {
  Source source;
  uint32_t literal[table_size(literal_root, literal_symbols)];
  uint32_t distance[table_size(distance_root, distance_symbols)];
  uint32_t length[1u << length_root];
  uint32_t fixed_literal[1u << 9];
  uint32_t fixed_distance[1u << 5];
  unsigned fixed_literal_bits, fixed_distance_bits;
};

using WalkerPtr = std::unique_ptr<Walker, decltype(&free)>;

// A walker reading fd up to limit, or null with errno set when memory runs
// out.
WalkerPtr new_walker(int fd, off_t limit) {
  WalkerPtr w(static_cast<Walker *>(malloc(sizeof(Walker))), free);
  if (!w) return w;
  source_begin(w->source, fd, limit, 0);
  uint8_t lengths[literal_symbols];
  for (unsigned i = 0; i < literal_symbols; i++)
    lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  build_table(lengths, literal_symbols, symbol_entries.literal, literal_root, false,
              w->fixed_literal, &w->fixed_literal_bits);
  pair_literals(w->fixed_literal, w->fixed_literal_bits);
  memset(lengths, 5, distance_symbols);
  build_table(lengths, distance_symbols, symbol_entries.distance, distance_root, false,
              w->fixed_distance, &w->fixed_distance_bits);
  return w;
}

// Walks the literals and matches of one block up to its end-of-block code,
// adding what they decode to to *out.  Returns false at an invalid code, a
// distance beyond the output, a failed read or bits past the end of the
// file.
bool walk_codes(Source &s, const uint32_t *literal, unsigned literal_bits, const uint32_t *distance,
                unsigned distance_bits, uint64_t *out) {
  const uint64_t literal_mask = (uint64_t(1) << literal_bits) - 1;
  const uint64_t distance_mask = (uint64_t(1) << distance_bits) - 1;
  auto low = [](uint64_t value, unsigned n) { return value & ((uint64_t(1) << n) - 1); };
  uint64_t bits = s.bits;
  unsigned count = s.count;
  size_t pos = s.pos;
  size_t len = s.len;
  uint64_t total = *out;
  // A code, its extra bits, a distance code and its extra bits take at most
  // 15 + 5 + 15 + 13 = 48 bits: one refill to 56 is enough for each round.
  for (;;) {
    if (pos + 8 <= len) {
      bits |= load_le64(s.buf + pos) << count;
      pos += (63 - count) >> 3;
      count |= 56;
    } else {
      s.bits = bits;
      s.count = count;
      s.pos = pos;
      if (!bits_refill(s)) return false;
      bits = s.bits;
      count = s.count;
      pos = s.pos;
      len = s.len;
    }
    const uint64_t round_bits = bits;  // to tell a match coded again
    uint32_t e = literal[bits & literal_mask];
    if (e & subtable_flag) e = literal[(e >> 16) + low(bits >> literal_bits, (e >> 8) & 15)];
    uint64_t saved = bits;
    bits >>= e & 63;
    count -= e & 63;
    if (e & literal_flag) {
      total += e >> 16;
      continue;
    }
    if (e & (end_flag | invalid_flag)) {
      s.bits = bits;
      s.count = count;
      s.pos = pos;
      *out = total;
      return (e & invalid_flag) == 0;
    }
    uint64_t length = (e >> 16) + (low(saved, e & 63) >> ((e >> 8) & 15));
    uint32_t d = distance[bits & distance_mask];
    if (d & subtable_flag) d = distance[(d >> 16) + low(bits >> distance_bits, (d >> 8) & 15)];
    if (d & invalid_flag) return false;
    saved = bits;
    bits >>= d & 63;
    count -= d & 63;
    uint64_t dist = (d >> 16) + (low(saved, d & 63) >> ((d >> 8) & 15));
    // Distances go up to 32,768, the window: only the start of the output
    // limits them.
    if (dist > total) return false;
    total += length;

    // The copies of a longest match that the bits repeat, in one step.
    if (length == 258) {
      unsigned width = (e & 63) + (d & 63);
      uint64_t pattern = low(round_bits, width);
      if (width <= 16 && low(bits, width) == pattern) {
        for (unsigned k = width; k < 64; k *= 2) pattern |= pattern << k;
        uint64_t differ = (bits ^ pattern) | ~uint64_t(0) << count;  // bits past count differ
        unsigned copies = unsigned(__builtin_ctzll(differ)) / width;
        bits >>= copies * width;
        count -= copies * width;
        total += copies * length;
      }
    }
  }
}

// Reads a dynamic block's header from s into w's tables.  Returns false
// when it is invalid, a read fails or the file ends inside it.
bool read_dynamic_header(Walker &w, unsigned *literal_bits, unsigned *distance_bits) {
  static const uint8_t order[length_symbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                11, 4,  12, 3, 13, 2, 14, 1, 15};
  Source &s = w.source;
  const SymbolEntries &entries = symbol_entries;
  if (s.count < 14 && !bits_refill(s)) return false;
  unsigned literals = unsigned(s.bits & 31) + 257;          // HLIT
  unsigned distances = unsigned(s.bits >> 5 & 31) + 1;      // HDIST
  unsigned length_codes = unsigned(s.bits >> 10 & 15) + 4;  // HCLEN
  s.bits >>= 14;
  s.count -= 14;
  if (literals > 286 || distances > 30) return false;

  uint8_t lengths[286 + 30] = {0};
  for (unsigned i = 0; i < length_codes; i++) {
    if (s.count < 3 && !bits_refill(s)) return false;
    lengths[order[i]] = uint8_t(s.bits & 7);
    s.bits >>= 3;
    s.count -= 3;
  }
  // zlib takes a code-length code with no code at all, but then reads every
  // length as 0 and refuses the block for its missing end-of-block code.
  unsigned length_bits;
  if (!build_table(lengths, length_symbols, entries.length, length_root, false, w.length,
                   &length_bits))
    return false;

  const uint64_t mask = (uint64_t(1) << length_bits) - 1;
  const unsigned total = literals + distances;
  for (unsigned i = 0; i < total;) {
    if (s.count < 14 && !bits_refill(s)) return false;
    uint32_t e = w.length[s.bits & mask];
    s.bits >>= e & 0xff;
    s.count -= e & 0xff;
    unsigned symbol = e >> 16;
    if (symbol < 16) {
      lengths[i++] = uint8_t(symbol);
      continue;
    }
    uint8_t value = 0;
    unsigned repeat;
    if (symbol == 16) {
      if (i == 0) return false;
      value = lengths[i - 1];
      repeat = 3 + unsigned(s.bits & 3);
      s.bits >>= 2;
      s.count -= 2;
    } else if (symbol == 17) {
      repeat = 3 + unsigned(s.bits & 7);
      s.bits >>= 3;
      s.count -= 3;
    } else {
      repeat = 11 + unsigned(s.bits & 127);
      s.bits >>= 7;
      s.count -= 7;
    }
    if (i + repeat > total) return false;
    while (repeat--) lengths[i++] = value;
  }
  if (lengths[256] == 0) return false;  // no end-of-block code
  if (!build_table(lengths, literals, entries.literal, literal_root, true, w.literal, literal_bits))
    return false;
  pair_literals(w.literal, *literal_bits);
  return build_table(lengths + literals, distances, entries.distance, distance_root, true,
                     w.distance, distance_bits);
}

// Walks the DEFLATE stream that starts at the source's position, up to the
// end of its final block.  Returns whether it is one complete, valid
// stream, with *length the bytes it decodes to.
bool walk_stream(Walker &w, uint64_t *length) {
  Source &s = w.source;
  uint64_t out = 0;
  for (bool final = false; !final;) {
    if (s.count < 3 && !bits_refill(s)) return false;
    final = (s.bits & 1) != 0;        // BFINAL
    unsigned type = s.bits >> 1 & 3;  // BTYPE
    s.bits >>= 3;
    s.count -= 3;
    if (type == 0) {  // stored
      s.bits >>= s.count & 7;
      s.count &= ~7u;
      if (s.count < 32 && !bits_refill(s)) return false;
      uint32_t len = uint32_t(s.bits & 0xffff);         // LEN
      uint32_t nlen = uint32_t(s.bits >> 16 & 0xffff);  // NLEN
      s.bits >>= 32;
      s.count -= 32;
      if (len != (~nlen & 0xffff) || bits_overran(s)) return false;
      out += len;
      size_t held = s.count / 8;
      if (len <= held) {
        s.bits >>= 8 * len;
        s.count -= 8 * len;
      } else {
        s.bits = 0;
        s.count = 0;
        if (!bits_skip_bytes(s, len - held)) return false;
      }
    } else if (type == 1) {
      if (!walk_codes(s, w.fixed_literal, w.fixed_literal_bits, w.fixed_distance,
                      w.fixed_distance_bits, &out))
        return false;
    } else if (type == 2) {
      unsigned literal_bits, distance_bits;
      if (!read_dynamic_header(w, &literal_bits, &distance_bits) ||
          !walk_codes(s, w.literal, literal_bits, w.distance, distance_bits, &out))
        return false;
    } else {
      return false;
    }
  }
  if (bits_overran(s)) return false;
  // Give back the whole bytes not used: the stream ends in the byte before.
  s.pos -= s.count / 8;
  s.bits = 0;
  s.count = 0;
  *length = out;
  return true;
}

// Walks the gzip member at start.  Returns 0 with *length and *isize, the
// source then after its trailer; -1 when it is not one whole, valid member.
int walk_member_at(Walker &w, off_t start, uint64_t *length, uint32_t *isize) {
  Source &s = w.source;
  source_seek(s, start);
  bool accepted;
  skip_header(s, &accepted);
  if (!accepted || !walk_stream(w, length)) return -1;
  if (!source_skip(s, 4)) return -1;  // CRC32, checked by a real read
  uint32_t stored = 0;
  for (int i = 0; i < 4; i++) {  // ISIZE
    int c = source_byte(s);
    if (c < 0) return -1;
    stored |= uint32_t(c) << (8 * i);
  }
  *isize = stored;
  return 0;
}

}  // namespace

int walk_header(int fd, off_t start) {
  WalkerPtr w = new_walker(fd, source_no_limit);
  if (!w) return 1;
  source_seek(w->source, start);
  bool accepted;
  HeaderCode code = skip_header(w->source, &accepted);
  return code == HeaderCode::truncated ? 1 : code == HeaderCode::name_too_long ? 2 : 0;
}

int walk_deflate(int fd, off_t start, uint64_t *length, off_t *end) {
  WalkerPtr w = new_walker(fd, source_no_limit);
  if (!w) return -1;
  Source &s = w->source;
  source_seek(s, start);
  if (!walk_stream(*w, length)) {
    errno = s.error;
    return -1;
  }
  *end = s.at + off_t(s.pos);
  return 0;
}

int walk_member(int fd, off_t start, uint64_t *length, uint32_t *isize, off_t *end) {
  WalkerPtr w = new_walker(fd, source_no_limit);
  if (!w) return -1;
  if (walk_member_at(*w, start, length, isize) != 0) {
    errno = w->source.error;
    return -1;
  }
  *end = w->source.at + off_t(w->source.pos);
  return 0;
}

int walk_members(int fd, off_t start, off_t file_end, int *members, uint64_t *length, off_t *end) {
  *members = 0;
  *length = 0;
  *end = start;
  WalkerPtr w = new_walker(fd, file_end);
  if (!w) return -1;
  while (*end < file_end) {
    uint64_t member_length;
    uint32_t isize;
    if (walk_member_at(*w, *end, &member_length, &isize) != 0) {
      errno = w->source.error;
      return errno ? -1 : 1;
    }
    ++*members;
    *length += member_length;
    *end = w->source.at + off_t(w->source.pos);
  }
  return 0;
}

}  // namespace kapsa
