// The DEFLATE stream of one byte repeated.
#include "gz/runs.h"

namespace kapsa {

namespace {

constexpr int longest_match = 258;

// Appends count bits of value, lowest first.
void put_bits(RunStream &run, uint32_t value, int count) {
  run.bits |= uint64_t(value) << run.bit_count;
  run.bit_count += count;
  while (run.bit_count >= 8) {
    if (run.len < run.capacity)
      run.out[run.len++] = static_cast<unsigned char>(run.bits);
    else
      run.overflow = true;
    run.bits >>= 8;
    run.bit_count -= 8;
  }
}

// Appends a Huffman code of length bits: codes go most significant bit first.
void put_code(RunStream &run, uint32_t code, int length) {
  uint32_t reversed = 0;
  for (int i = 0; i < length; i++) reversed |= ((code >> i) & 1u) << (length - 1 - i);
  put_bits(run, reversed, length);
}

// The canonical codes of the literal/length code of runs.h's table.
void put_symbol(RunStream &run, int symbol) {
  if (symbol == 285)
    put_code(run, 0, 1);  // 0
  else if (symbol < 256)
    put_code(run, 2, 2);  // 10: the run's byte, the one literal with a code
  else if (symbol <= 258)
    put_code(run, uint32_t(48 + symbol - 256), 6);  // 110000 ..
  else
    put_code(run, uint32_t(102 + symbol - 259), 7);  // 1100110 ..
}

// The code-length code: symbols 0, 1, 2, 6, 7, 16, 17, 18, three bits each,
// canonical codes 0 to 7 in that order.
void put_length_symbol(RunStream &run, int symbol) {
  static constexpr int order[] = {0, 1, 2, 6, 7, 16, 17, 18};
  for (int i = 0; i < 8; i++)
    if (order[i] == symbol) put_code(run, uint32_t(i), 3);
}

// Code lengths of count zeros.
void put_zero_lengths(RunStream &run, int count) {
  while (count >= 11) {
    int n = count < 138 ? count : 138;
    put_length_symbol(run, 18);
    put_bits(run, uint32_t(n - 11), 7);
    count -= n;
  }
  if (count >= 3) {
    put_length_symbol(run, 17);
    put_bits(run, uint32_t(count - 3), 3);
    count = 0;
  }
  while (count-- > 0) put_length_symbol(run, 0);
}

// The length symbol, its extra bits and their count for a match of length.
void length_code(int length, int *symbol, uint32_t *extra, int *extra_bits) {
  static constexpr int base[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static constexpr int bits[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  int i = 28;
  while (base[i] > length) i--;
  *symbol = 257 + i;
  *extra = uint32_t(length - base[i]);
  *extra_bits = bits[i];
}

void put_match(RunStream &run, int length) {
  int symbol, extra_bits;
  uint32_t extra;
  length_code(length, &symbol, &extra, &extra_bits);
  put_symbol(run, symbol);
  put_bits(run, extra, extra_bits);
  put_code(run, 0, 1);  // distance 1: the one distance code
}

}  // namespace

void run_stream_begin(RunStream &run, unsigned char byte, unsigned char *out, size_t capacity) {
  run = RunStream{out, capacity, 0, 0, 0, byte, 0, false, false, 0};
  put_bits(run, 1, 1);          // BFINAL
  put_bits(run, 2, 2);          // BTYPE: dynamic codes
  put_bits(run, 286 - 257, 5);  // HLIT: 286 literal/length codes
  put_bits(run, 1 - 1, 5);      // HDIST: one distance code
  put_bits(run, 18 - 4, 4);     // HCLEN: 18 code-length code lengths
  // The code-length code's lengths, in the format's order 16, 17, 18, 0, 8,
  // 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1.
  static constexpr int order[] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1};
  for (int symbol : order) {
    bool used = symbol <= 2 || symbol == 6 || symbol == 7 || symbol >= 16;
    put_bits(run, used ? 3 : 0, 3);
  }
  // The literal/length code lengths: the byte 2, 256..258 6, 259..284 7,
  // 285 1; then the distance code's one length, 1.
  put_zero_lengths(run, byte);
  put_length_symbol(run, 2);
  put_zero_lengths(run, 255 - byte);
  for (int i = 0; i < 3; i++) put_length_symbol(run, 6);
  put_length_symbol(run, 7);
  for (int i = 0; i < 4; i++) {
    put_length_symbol(run, 16);  // the previous length 6 more times
    put_bits(run, 6 - 3, 2);
  }
  put_length_symbol(run, 7);  // 26 lengths of 7 in all
  put_length_symbol(run, 1);  // 285
  put_length_symbol(run, 1);  // distance code 0
}

void run_stream_add(RunStream &run, uint64_t count) {
  run.pending += count;
  if (!run.started && run.pending > 0) {
    put_symbol(run, run.byte);
    run.pending--;
    run.started = true;
  }
  while (run.pending >= longest_match) {
    // A match of 258 at distance 1 is two zero bits (both codes are 0):
    // as many as fit a put at a time.
    uint64_t matches = run.pending / longest_match;
    if (matches > 16) matches = 16;
    put_bits(run, 0, int(2 * matches));
    run.pending -= matches * longest_match;
  }
}

size_t run_stream_end(RunStream &run) {
  if (run.pending >= 3) {
    put_match(run, int(run.pending));
  } else {
    for (uint64_t i = 0; i < run.pending; i++) put_symbol(run, run.byte);
  }
  run.pending = 0;
  put_symbol(run, 256);  // end of block
  run.padding = run.bit_count > 0 ? 8 - run.bit_count : 0;
  if (run.padding) put_bits(run, 0, run.padding);
  return run.overflow ? 0 : run.len;
}

}  // namespace kapsa
