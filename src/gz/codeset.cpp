// Telling an incomplete Huffman code set from an over-subscribed one.
//
// zlib rejects both with the same message.  The header of the failing
// dynamic block is read again from the archive file and its code lengths
// counted: a set whose codes leave part of the code space unused (and whose
// longest code is longer than one bit, which inflate accepts) is incomplete.
#include "gz/codeset.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "io/fdio.h"

namespace kapsa {

namespace {

constexpr int max_code_bits = 15;
constexpr int code_length_codes = 19;   // codes of the code-length code
constexpr int max_literal_codes = 286;  // literal/length codes of a block
constexpr int max_distance_codes = 30;  // distance codes of a block
constexpr int max_codes = max_literal_codes + max_distance_codes;

struct BitReader {
  const unsigned char *data;
  size_t size;
  size_t pos;   // byte
  int bit;      // next bit of data[pos], 0 = least significant
  bool failed;  // ran past the data

  int get(int count) {
    int value = 0;
    for (int i = 0; i < count; i++) {
      if (pos >= size) {
        failed = true;
        return 0;
      }
      value |= ((data[pos] >> bit) & 1) << i;
      if (++bit == 8) {
        bit = 0;
        pos++;
      }
    }
    return value;
  }
};

// Canonical Huffman code for decoding: codes per length and symbols in order.
struct Huffman {
  int count[max_code_bits + 1];
  int symbol[max_codes];
};

void build_huffman(Huffman &h, const int *lengths, int n) {
  memset(h.count, 0, sizeof h.count);
  for (int i = 0; i < n; i++) h.count[lengths[i]]++;
  int offset[max_code_bits + 2] = {0};
  for (int len = 1; len <= max_code_bits; len++) offset[len + 1] = offset[len] + h.count[len];
  for (int i = 0; i < n; i++)
    if (lengths[i]) h.symbol[offset[lengths[i]]++] = i;
}

// Decodes one symbol, its code read a bit at a time from the first bit.
int decode(BitReader &in, const Huffman &h) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= max_code_bits; len++) {
    code |= in.get(1);
    if (in.failed) return -1;
    int count = h.count[len];
    if (code - count < first) return h.symbol[index + (code - first)];
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return -1;
}

// Whether the code set of n lengths is incomplete in a way inflate refuses.
bool incomplete(const int *lengths, int n) {
  int count[max_code_bits + 1] = {0};
  int longest = 0;
  for (int i = 0; i < n; i++) {
    count[lengths[i]]++;
    if (lengths[i] > longest) longest = lengths[i];
  }
  long left = 1;
  for (int len = 1; len <= max_code_bits; len++) {
    left = (left << 1) - count[len];
    if (left < 0) return false;  // over-subscribed
  }
  return left > 0 && longest > 1;
}

// Reads the dynamic block header at bit `bit` of `data` and says whether its
// code set `set` is incomplete (false too when the header cannot be read).
bool set_is_incomplete(const unsigned char *data, size_t size, int bit, CodeSet set) {
  static const int order[code_length_codes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};
  BitReader in{data, size, 0, bit, false};
  in.get(1);  // BFINAL
  if (in.get(2) != 2) return 0;
  int nlen = in.get(5) + 257, ndist = in.get(5) + 1, ncode = in.get(4) + 4;
  int lengths[code_length_codes] = {0};
  for (int i = 0; i < ncode; i++) lengths[order[i]] = in.get(3);
  if (in.failed || nlen > max_literal_codes || ndist > max_distance_codes) return 0;
  Huffman lencode;
  build_huffman(lencode, lengths, code_length_codes);
  int all[max_codes] = {0};
  for (int i = 0; i < nlen + ndist;) {
    int sym = decode(in, lencode);
    if (sym < 0) return 0;
    if (sym < 16) {
      all[i++] = sym;
      continue;
    }
    int value = 0, repeat;
    if (sym == 16) {
      if (i == 0) return 0;
      value = all[i - 1];
      repeat = 3 + in.get(2);
    } else if (sym == 17) {
      repeat = 3 + in.get(3);
    } else {
      repeat = 11 + in.get(7);
    }
    if (in.failed || i + repeat > nlen + ndist) return 0;
    while (repeat--) all[i++] = value;
  }
  return set == CodeSet::literals ? incomplete(all, nlen) : incomplete(all + nlen, ndist);
}

}  // namespace

bool codeset_refused(const char *zlib_message, CodeSet *set) {
  if (!zlib_message) return false;
  if (strcmp(zlib_message, "invalid literal/lengths set") == 0) {
    *set = CodeSet::literals;
    return true;
  }
  if (strcmp(zlib_message, "invalid distances set") == 0) {
    *set = CodeSet::distances;
    return true;
  }
  return false;
}

// Prints which code set is incomplete, when the header of the block at
// start can be read again from fd and tells.
void codeset_report_incomplete(int fd, BlockStart start, CodeSet set) {
  if (start.byte < 0) return;
  unsigned char header[1024];
  size_t n = fdio_read_at(fd, start.byte, header, sizeof header);
  if (n == 0) return;
  if (!set_is_incomplete(header, size_t(n), start.bit, set)) return;
  fputs(set == CodeSet::literals ? " incomplete literal tree\n" : " incomplete distance tree\n",
        stderr);
}

}  // namespace kapsa
