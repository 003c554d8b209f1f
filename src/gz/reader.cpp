// Reading one gzip member: header fields, inflate loop, trailer checks, and
// the diagnosis of a bad Huffman code set.
#include "gz/reader.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "frame/options.h"
#include "gz/stream.h"

namespace kapsa {

time_t member_time = 0;
int framing_bytes = 0;

namespace {

// Bytes of the member consumed since reset_streams.
uint32_t consumed() { return stream.in_total - (stream.in_len - stream.in_pos); }

uint32_t get_short() {
  uint32_t low = uint32_t(next_input_byte());
  return low | uint32_t(next_input_byte()) << 8;
}

uint32_t get_long() {
  uint32_t low = get_short();
  return low | get_short() << 16;
}

void skip_text() {
  while (next_input_byte() != 0) {
  }
}

// ---- Telling an incomplete code set from an over-subscribed one ----------
//
// zlib rejects both with the same message.  The header of the failing
// dynamic block is read again from the archive file and its code lengths
// counted: a set whose codes leave part of the code space unused (and whose
// longest code is longer than one bit, which inflate accepts) is incomplete.

constexpr int max_code_bits = 15;

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
  int symbol[320];
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

// Reads the dynamic block header at bit `bit` of `data` and says which of its
// code sets is incomplete: 1 literal/length, 2 distance, 0 neither (or the
// header could not be read).
int find_incomplete_set(const unsigned char *data, size_t size, int bit) {
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  BitReader in{data, size, 0, bit, false};
  in.get(1);  // BFINAL
  if (in.get(2) != 2) return 0;
  int nlen = in.get(5) + 257, ndist = in.get(5) + 1, ncode = in.get(4) + 4;
  int lengths[320] = {0};
  for (int i = 0; i < ncode; i++) lengths[order[i]] = in.get(3);
  if (in.failed || nlen > 286 || ndist > 30) return 0;
  Huffman lencode;
  build_huffman(lencode, lengths, 19);
  int all[320] = {0};
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
  if (incomplete(all, nlen)) return 1;
  if (incomplete(all + nlen, ndist)) return 2;
  return 0;
}

// Where the block being inflated began: a byte of the input file and a bit.
struct BlockStart {
  off_t byte;  // -1 when the input cannot be read again
  int bit;
};

// Prints which code set is incomplete, when the header of the block at
// start can be read again from fd and tells.
void report_incomplete_set(int fd, BlockStart start) {
  if (start.byte < 0) return;
  unsigned char header[1024];
  ssize_t n = pread(fd, header, sizeof header, start.byte);
  if (n <= 0) return;
  int set = find_incomplete_set(header, size_t(n), start.bit);
  if (set == 1) fputs(" incomplete literal tree\n", stderr);
  if (set == 2) fputs(" incomplete distance tree\n", stderr);
}

// Releases the inflater on every way out, the fuzzing build's throw too.
struct InflateGuard {
  z_stream *zs;
  ~InflateGuard() { inflateEnd(zs); }
};

}  // namespace

int read_member_header() {
  reset_streams();
  int id1 = next_input_byte();
  int id2 = next_input_byte();
  framing_bytes = 0;
  if (id1 != 0x1f || (id2 != 0x8b && id2 != 0x9e)) {
    fprintf(stderr, "%s: can only handle GZIP compression method\n", options.program_name);
    options.exit_code = 1;
    return -1;
  }
  int method = next_input_byte();  // CM
  if (method != 8) {
    fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n",
            options.program_name, options.input_name, method);
    options.exit_code = 1;
    return -1;
  }
  int flags = next_input_byte();  // FLG
  uint32_t mtime = get_long();    // MTIME
  if (mtime != 0) member_time = time_t(mtime);
  next_input_byte();   // XFL
  next_input_byte();   // OS
  if (flags & 0x02) {  // part number
    unsigned part = get_short();
    if (options.verbose)
      fprintf(stderr, "%s: %s: part number %u\n", options.program_name, options.input_name, part);
  }
  if (flags & 0x04) {  // extra field
    unsigned length = get_short();
    if (options.verbose)
      fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", options.program_name,
              options.input_name, length);
    while (length--) next_input_byte();
  }
  if (flags & 0x08) {  // stored name
    if (options.to_stdout && !options.list_mode) {
      skip_text();
    } else {
      for (size_t i = 0;; i++) {
        int c = next_input_byte();
        if (i == text_size - 1 && c != 0) fatal_error("corrupted input -- file name too large");
        options.payload_name[i] = char(c);
        if (c == 0) break;
      }
    }
  }
  if (flags & 0x10) skip_text();  // comment
  framing_bytes = int(consumed()) + 8;
  return 8;
}

int decompress_member(int in, int out) {
  options.archive_fd = in;
  options.out_fd = out;
  update_crc(nullptr, 0);

  z_stream zs = {};
  if (inflateInit2(&zs, -15) != Z_OK) fatal_error("out of memory");
  InflateGuard guard{&zs};

  // File offset of in_buf[0], to read a failing block's header again.
  off_t end_of_block = lseek(in, 0, SEEK_CUR);
  off_t buf_offset = end_of_block < 0 ? -1 : end_of_block - off_t(stream.in_len);
  BlockStart block{buf_offset < 0 ? -1 : buf_offset + off_t(stream.in_pos), 0};

  zs.next_in = stream.in_buf + stream.in_pos;
  zs.avail_in = stream.in_len - stream.in_pos;
  for (;;) {
    if (zs.avail_in == 0) {
      uint32_t previous = stream.in_len;
      refill_input();
      stream.in_pos = 0;
      if (buf_offset >= 0) buf_offset += previous;
      zs.next_in = stream.in_buf;
      zs.avail_in = stream.in_len;
    }
    zs.next_out = stream.out_window + stream.out_count;
    zs.avail_out = out_window_size - stream.out_count;
    int ret = inflate(&zs, Z_BLOCK);
    stream.out_count = out_window_size - zs.avail_out;
    stream.in_pos = stream.in_len - zs.avail_in;
    if (ret == Z_STREAM_END) break;
    if (ret == Z_MEM_ERROR) fatal_error("out of memory");
    if (ret != Z_OK && ret != Z_BUF_ERROR) {
      if (zs.msg && (strcmp(zs.msg, "invalid literal/lengths set") == 0 ||
                     strcmp(zs.msg, "invalid distances set") == 0))
        report_incomplete_set(in, block);
      fatal_error("invalid compressed data--format violated");
    }
    if ((zs.data_type & 128) && buf_offset >= 0) {
      // At a block boundary: the next block starts after the bits used.
      int unused = zs.data_type & 7;
      block.byte = buf_offset + off_t(stream.in_pos) - (unused ? 1 : 0);
      block.bit = unused ? 8 - unused : 0;
    }
    if (stream.out_count == out_window_size) flush_out_window();
  }
  flush_out_window();

  uint32_t stored_crc = get_long();   // CRC32
  uint32_t stored_size = get_long();  // ISIZE
  if (stored_crc != update_crc(stream.out_window, 0))
    fatal_error("invalid compressed data--crc error");
  if (stored_size != stream.out_total) fatal_error("invalid compressed data--length error");
  return 0;
}

off_t read_last_trailer(int fd, uint32_t *crc, uint32_t *isize) {
  errno = 0;
  off_t at = lseek(fd, -8, SEEK_END);
  if (at < 0) fatal_read_error();
  unsigned char trailer[8];
  size_t got = 0;
  while (got < 8) {
    ssize_t n = read(fd, trailer + got, 8 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fatal_read_error();
    got += size_t(n);
  }
  auto le32 = [](const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  };
  *crc = le32(trailer);
  *isize = le32(trailer + 4);
  return at;
}

}  // namespace kapsa
