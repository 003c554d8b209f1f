// The DEFLATE walk against zlib's inflate: streams of zlib, libdeflate and
// kapsa's writers, the same streams damaged and cut, hand-made block headers,
// and files of several gzip members.
#include "gz/walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "gz/deflate.h"
#include "gz/runs.h"
#include "support.h"

using namespace kapsa;

namespace {

unsigned char *bytes(std::string &s) { return reinterpret_cast<unsigned char *>(&s[0]); }

// A file in memory for the walk to read.
struct DataFile {
  int fd = memfd_create("walk_test", 0);
  DataFile() { EXPECT_GE(fd, 0); }
  explicit DataFile(const std::string &data) { set(data); }
  ~DataFile() { close(fd); }
  void set(const std::string &data) {
    EXPECT_EQ(ftruncate(fd, 0), 0);
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), 0), ssize_t(data.size()));
  }
};

// Whether a stream is valid, and if so what it decodes to and where it ends.
struct Verdict {
  bool valid;
  uint64_t length;  // when valid
  uint64_t size;    // when valid: its compressed bytes
  bool operator==(const Verdict &o) const {
    return valid == o.valid && (!valid || (length == o.length && size == o.size));
  }
};

std::ostream &operator<<(std::ostream &os, const Verdict &v) {
  if (!v.valid) return os << "invalid";
  return os << v.length << " bytes from " << v.size;
}

// zlib's verdict on the raw stream at the start of data: inflated into a sink.
Verdict inflated(std::string data) {
  z_stream zs = {};
  EXPECT_EQ(inflateInit2(&zs, -15), Z_OK);
  zs.next_in = bytes(data);
  zs.avail_in = uInt(data.size());
  unsigned char sink[65536];
  int ret;
  do {
    zs.next_out = sink;
    zs.avail_out = sizeof sink;
    ret = inflate(&zs, Z_NO_FLUSH);
  } while (ret == Z_OK);
  Verdict v{ret == Z_STREAM_END, zs.total_out, zs.total_in};
  inflateEnd(&zs);
  return v;
}

// The walk's verdict on the stream at offset start of file.
Verdict walked(const DataFile &file, off_t start = 0) {
  uint64_t length = 0;
  off_t end = 0;
  errno = 12345;
  if (walk_deflate(file.fd, start, &length, &end) != 0) {
    EXPECT_EQ(errno, 0) << "invalid data must leave errno 0";
    return {false, 0, 0};
  }
  return {true, length, uint64_t(end - start)};
}

std::string zlib_stream(const std::string &data, int level, int strategy, int window = -15) {
  z_stream zs = {};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, window, 8, strategy), Z_OK);
  std::string out(deflateBound(&zs, data.size()) + 32, '\0');
  std::string in = data;
  zs.next_in = bytes(in);
  zs.avail_in = uInt(in.size());
  zs.next_out = bytes(out);
  zs.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string libdeflate_stream(const std::string &data, int level) {
  libdeflate_compressor *c = libdeflate_alloc_compressor(level);
  std::string out(libdeflate_deflate_compress_bound(c, data.size()) + 5, '\0');
  out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), &out[0], out.size()));
  libdeflate_free_compressor(c);
  return out;
}

// The data as the member compressor writes it: chunks compressed apart,
// all but the last made non-final and byte-aligned.
std::string spliced_stream(const std::string &data) {
  std::string out;
  size_t chunk = data.size() / 3 + 1;
  for (size_t at = 0; at < data.size() || at == 0; at += chunk) {
    std::string part = libdeflate_stream(data.substr(at, chunk), 9);
    if (at + chunk < data.size()) {
      DeflateEnd end;
      EXPECT_EQ(deflate_find_end(bytes(part), part.size(), &end), 0);
      part.resize(part.size() + 5);
      part.resize(deflate_splice(bytes(part), part.size() - 5, end));
    }
    out += part;
  }
  return out;
}

// A run stream of data, which must be one byte repeated.
std::string run_stream(const std::string &data) {
  std::string out(data.size() / 64 + 64, '\0');
  RunStream run;
  run_stream_begin(run, data.empty() ? 0 : data[0], bytes(out), out.size());
  run_stream_add(run, data.size());
  out.resize(run_stream_end(run));
  return out;
}

// Bits as the walk reads them, separated by spaces: "v/n" is the number v
// in n bits, lowest first (header fields, extra bits); a string of 0s and
// 1s is a Huffman code, its first bit first; "xHH.." are whole bytes.  The
// last byte is padded with zeros.
std::string bits(const std::string &text) {
  std::string out;
  unsigned count = 0;
  auto put = [&](unsigned bit) {
    if (count % 8 == 0) out += '\0';
    out.back() = char(out.back() | bit << (count % 8));
    count++;
  };
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    size_t slash = token.find('/');
    if (token[0] == 'x') {
      for (size_t i = 1; i + 1 < token.size(); i += 2) {
        unsigned value = unsigned(std::stoul(token.substr(i, 2), nullptr, 16));
        for (int b = 0; b < 8; b++) put(value >> b & 1);
      }
    } else if (slash != std::string::npos) {
      unsigned long value = std::stoul(token.substr(0, slash));
      int n = std::stoi(token.substr(slash + 1));
      for (int b = 0; b < n; b++) put(unsigned(value >> b & 1));
    } else {
      for (char c : token) put(c == '1');
    }
  }
  return out;
}

TEST(Walk, StreamsOfEveryWriterMeasureAsZlibInflatesThem) {
  std::string mixed = test::text_bytes(30000, 2) + test::random_bytes(70000, 3) +
                      std::string(100000, '\0') + test::text_bytes(20000, 4);
  struct Input {
    const char *name;
    std::string data;
  } inputs[] = {
      {"empty", ""},
      {"one byte", "a"},
      {"text", test::text_bytes(120000, 1)},
      {"random", test::random_bytes(100000, 5)},
      {"zeros", std::string(400000, '\0')},
      {"mixed", mixed},
  };
  struct Writer {
    std::string name;
    std::function<std::string(const std::string &)> make;
  };
  std::vector<Writer> writers = {
      {"spliced chunks", spliced_stream},
  };
  for (int level : {0, 1, 6, 9})
    writers.push_back({"zlib level " + std::to_string(level), [level](const std::string &d) {
                         return zlib_stream(d, level, Z_DEFAULT_STRATEGY);
                       }});
  for (int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED})
    writers.push_back({"zlib strategy " + std::to_string(strategy),
                       [strategy](const std::string &d) { return zlib_stream(d, 6, strategy); }});
  for (int level = 1; level <= 12; level++)
    writers.push_back({"libdeflate level " + std::to_string(level),
                       [level](const std::string &d) { return libdeflate_stream(d, level); }});

  DataFile file;
  auto check = [&](const std::string &where, const std::string &stream) {
    // Something before the stream, and bytes after it that do not belong.
    file.set("xyz" + stream + "\xff\x03\x00");
    Verdict zlib = inflated(stream + "\xff\x03\x00");
    EXPECT_TRUE(zlib.valid) << where;
    EXPECT_EQ(walked(file, 3), zlib) << where;
    // The stream in a gzip member.
    file.set(bits("x1f8b0800 x00000000 x0003") + stream + bits("x00000000 x04030201"));
    uint64_t length = 0;
    uint32_t isize = 0;
    off_t end = 0;
    EXPECT_EQ(walk_member(file.fd, 0, &length, &isize, &end), 0) << where;
    EXPECT_EQ(length, zlib.length) << where;
    EXPECT_EQ(isize, 0x01020304u) << where;
    EXPECT_EQ(end, off_t(10 + stream.size() + 8)) << where;
  };
  for (const Writer &w : writers)
    for (const Input &in : inputs) check(w.name + ", " + in.name, w.make(in.data));
  for (size_t n : {1, 2, 3, 258, 259, 261, 516, 517, 100000, 3000000})
    for (char c : {'\0', 'k'}) check("run of " + std::to_string(n), run_stream(std::string(n, c)));
  // Streams that end around the end of the walk's first 64 KiB read: a
  // stored block, then a fixed one of eight literals.
  std::string fixed = "1/1 1/2 ";
  for (int i = 0; i < 8; i++) fixed += "10010001 ";
  fixed = bits(fixed + "0000000");
  for (size_t n = 65500; n < 65536; n++) {
    std::string stored = bits("x00") + char(n) + char(n >> 8) + char(~n) + char(~n >> 8);
    check("ending at " + std::to_string(n + 5 + fixed.size()),
          stored + std::string(n, 's') + fixed);
  }
}

TEST(Walk, DamagedAndCutStreamsGetZlibsVerdict) {
  std::string text = test::text_bytes(1500, 7);
  std::string stored = zlib_stream(test::random_bytes(200, 8), 0, Z_DEFAULT_STRATEGY);
  stored[0] = 0;  // not the last block
  struct Sample {
    const char *name;
    std::string stream;
  } samples[] = {
      {"dynamic", zlib_stream(text, 9, Z_DEFAULT_STRATEGY)},
      {"fixed", zlib_stream(text.substr(0, 300), 9, Z_FIXED)},
      {"libdeflate", libdeflate_stream(text + std::string(700, 'z'), 12)},
      {"stored, empty stored, fixed", stored + bits("x000000ffff 1/1 1/2 10010001 0000000")},
      {"run", run_stream(std::string(5000, 'r'))},
  };
  DataFile file;
  for (const Sample &s : samples) {
    ASSERT_TRUE(inflated(s.stream).valid) << s.name;
    for (size_t at = 0; at < s.stream.size(); at++) {
      for (int bit = 0; bit < 8; bit++) {
        std::string damaged = s.stream;
        damaged[at] = char(damaged[at] ^ (1 << bit));
        file.set(damaged);
        ASSERT_EQ(walked(file), inflated(damaged)) << s.name << ", byte " << at << " bit " << bit;
      }
    }
    for (size_t size = 0; size <= s.stream.size(); size++) {
      std::string cut = s.stream.substr(0, size);
      file.set(cut);
      ASSERT_EQ(walked(file), inflated(cut)) << s.name << ", cut to " << size;
    }
  }
}

// The start of a final dynamic block with hlit and hdist, whose code-length
// code gives 0, 1, 2, 3, 4, 16, 17 and 18 three bits each: 000 001 010 011
// 100 101 110 111.
std::string dynamic(int hlit, int hdist) {
  return "1/1 2/2 " + std::to_string(hlit) + "/5 " + std::to_string(hdist) +
         "/5 14/4 3/3 3/3 3/3 3/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 3/3 0/3 3/3 0/3 3/3 0/3 3/3 ";
}

TEST(Walk, HandMadeBlocksGetZlibsVerdict) {
  const std::string zeros97 = "111 75/7 111 0/7 ";      // lengths 0 for symbols 0 .. 96
  const std::string zeros158 = "111 127/7 111 9/7 ";    // 98 .. 255, after zeros97 and 97
  const std::string zeros256 = "111 127/7 111 107/7 ";  // 0 .. 255
  // Literals: 'a' 10, end of block 11, length 3 (257) 0; then the lengths
  // of the distance codes.
  const std::string match_code = dynamic(1, 0) + zeros97 + "010 " + zeros158 + "010 001 ";
  struct Case {
    const char *name;
    std::string bits;
    bool valid;
    uint64_t length = 0;  // when valid
  } cases[] = {
      {"a literal and the end of the block",
       dynamic(0, 0) + zeros97 + "001 " + zeros158 + "001 000   0 1", true, 1},
      {"the end-of-block code alone, of one bit", dynamic(0, 0) + zeros256 + "001 000  0", true, 0},
      {"the end-of-block code alone, of two bits", dynamic(0, 0) + zeros256 + "010 000  00", false},
      {"no end-of-block code", dynamic(0, 0) + zeros97 + "001 " + zeros158 + "000 000  0 0", false},
      {"literal codes over-subscribed",
       dynamic(0, 0) + zeros97 + "001 001 111 127/7 111 8/7 001 000  0", false},
      {"286 literal/length codes", dynamic(29, 0) + zeros256 + "001 111 18/7 000  0", true, 0},
      {"287 literal/length codes", dynamic(30, 0) + zeros256 + "001 111 19/7 000  0", false},
      {"30 distance codes", dynamic(0, 29) + zeros256 + "001 111 19/7  0", true, 0},
      {"31 distance codes", dynamic(0, 30) + zeros256 + "001 111 20/7  0", false},
      {"16 before any length", dynamic(0, 0) + "101 0/2 111 127/7 111 104/7 001 000  0", false},
      {"a repeat past the last length", dynamic(0, 0) + zeros256 + "001 110 0/3  0", false},
      {"a repeat from literal into distance lengths", dynamic(1, 1) + zeros256 + "001 110 0/3  0",
       true, 0},
      {"code-length code over-subscribed", "1/1 2/2 0/5 0/5 0/4 1/3 1/3 1/3 0/3 0/64", false},
      {"code-length code of one one-bit code", "1/1 2/2 0/5 0/5 0/4 1/3 0/3 0/3 0/3 0/64", false},
      {"code-length code with no code",
       "1/1 2/2 0/5 0/5 0/4 0/3 0/3 0/3 0/3 0/64 0/64 0/64 0/64 0/64 0/64", false},
      {"one distance code of one bit", match_code + "001  10 0 0 11", true, 4},
      {"the distance code left out", match_code + "001  10 0 1 11", false},
      {"one distance code of two bits", match_code + "010  10 0 00 11", false},
      {"no distance code, literals only", match_code + "000  10 11", true, 1},
      {"no distance code, a match", match_code + "000  10 0 0 11", false},
      {"a match before any literal", match_code + "001  0 0 10 11", false},
      {"distance 2 after two bytes",
       dynamic(1, 1) + zeros97 + "010 " + zeros158 + "010 001 001 001  10 10 0 1 11", true, 5},
      {"distance 2 after one byte",
       dynamic(1, 1) + zeros97 + "010 " + zeros158 + "010 001 001 001  10 0 1 11", false},
      {"fixed: a literal, a match, the end", "1/1 1/2 10010001 0000001 00000 0000000", true, 4},
      {"fixed: length symbol 286", "1/1 1/2 10010001 11000110 00000 0000000", false},
      {"fixed: length symbol 287", "1/1 1/2 10010001 11000111 00000 0000000", false},
      {"fixed: distance symbol 30", "1/1 1/2 10010001 0000001 11110 0000000", false},
      {"fixed: distance symbol 31", "1/1 1/2 10010001 0000001 11111 0000000", false},
      {"fixed: no end of block", "1/1 1/2 10010001", false},
      {"stored", "x010500faff68656c6c6f", true, 5},
      {"stored, NLEN not the complement of LEN", "x010500fbff68656c6c6f", false},
      {"stored, empty", "x010000ffff", true, 0},
      {"stored, cut in its bytes", "x010500faff6865", false},
      {"block type 3", "1/1 3/2 0/13", false},
      {"a block that is not the last, then nothing", "0/1 1/2 0000000", false},
      {"an empty stored block, then the last", "x000000ffff 1/1 1/2 0000000", true, 0},
  };
  DataFile file;
  for (const Case &c : cases) {
    std::string stream = bits(c.bits);
    Verdict expected{c.valid, c.length, c.valid ? stream.size() : 0};
    EXPECT_EQ(inflated(stream), expected) << c.name << " (zlib)";
    file.set(stream);
    EXPECT_EQ(walked(file), expected) << c.name;
  }
}

TEST(Walk, AFailedReadLeavesItsErrno) {
  int directory = open(".", O_RDONLY);
  ASSERT_GE(directory, 0);
  uint64_t length;
  uint32_t isize;
  int count;
  off_t end;
  errno = 0;
  EXPECT_EQ(walk_deflate(directory, 0, &length, &end), -1);
  EXPECT_EQ(errno, EISDIR);
  errno = 0;
  EXPECT_EQ(walk_member(directory, 0, &length, &isize, &end), -1);
  EXPECT_EQ(errno, EISDIR);
  errno = 0;
  EXPECT_EQ(walk_members(directory, 0, 100, &count, &length, &end), -1);
  EXPECT_EQ(errno, EISDIR);
  close(directory);
}

// A gzip member of data behind header (FLG's fields included).
std::string member(const std::string &header, const std::string &data) {
  std::string m = header + zlib_stream(data, 6, Z_DEFAULT_STRATEGY);
  uint32_t crc =
      uint32_t(crc32(0, reinterpret_cast<const Bytef *>(data.data()), uInt(data.size())));
  for (uint32_t v : {crc, uint32_t(data.size())})
    for (int i = 0; i < 4; i++) m += char(v >> (8 * i));
  return m;
}

TEST(Walk, MemberHeadersAreSkippedAsTheReaderAcceptsThem) {
  const std::string fixed = bits("x1f8b08");
  const std::string times = bits("x00000000 x00 x03");  // MTIME, XFL, OS
  struct Case {
    const char *name;
    std::string header;
    int header_status;  // walk_header's result
    bool valid;         // walk_member's verdict
  } cases[] = {
      {"plain", fixed + bits("x00") + times, 0, true},
      {"magic 1F 9E", bits("x1f9e08 x00") + times, 0, true},
      {"another magic", bits("x1f8c08 x00") + times, 0, false},
      {"method 7", bits("x1f8b07 x00") + times, 0, false},
      {"every field",
       fixed + bits("x1e") + times + bits("x0100 x0300 x616263") + "name" + std::string(1, '\0') +
           "comment" + std::string(1, '\0'),
       0, true},
      {"a name of 1,023 bytes", fixed + bits("x08") + times + std::string(1023, 'n') + '\0', 0,
       true},
      {"a name of 1,024 bytes", fixed + bits("x08") + times + std::string(1024, 'n') + '\0', 2,
       false},
      {"an extra field cut short", fixed + bits("x04") + times + bits("x0900"), 1, false},
  };
  DataFile file;
  for (const Case &c : cases) {
    std::string m = member(c.header, "hello, hello");
    file.set(c.header_status == 1 ? c.header : m);  // a header cut short: nothing after it
    EXPECT_EQ(walk_header(file.fd, 0), c.header_status) << c.name;
    uint64_t length = 0;
    uint32_t isize = 0;
    off_t end = 0;
    EXPECT_EQ(walk_member(file.fd, 0, &length, &isize, &end), c.valid ? 0 : -1) << c.name;
    if (c.valid) {
      EXPECT_EQ(length, 12u) << c.name;
      EXPECT_EQ(isize, 12u) << c.name;
      EXPECT_EQ(end, off_t(m.size())) << c.name;
    }
  }
}

TEST(Walk, MembersAreCountedUpToTheFirstIncompleteOne) {
  std::string plain = bits("x1f8b0800 x00000000 x00 x03");
  std::string data[] = {test::text_bytes(3000, 9), "", std::string(1000, 'q')};
  std::string members[] = {
      member(plain, data[0]),
      member(bits("x1f9e0818 x00000000 x00 x03") + "n" + '\0' + "c" + '\0', data[1]),
      member(plain, data[2]),
  };
  std::string whole = members[0] + members[1] + members[2];
  std::vector<off_t> boundaries{0};
  std::vector<uint64_t> lengths{0};
  for (int i = 0; i < 3; i++) {
    boundaries.push_back(boundaries.back() + off_t(members[i].size()));
    lengths.push_back(lengths.back() + data[i].size());
  }
  // Cut everywhere, and with bytes after the members that are no member.
  DataFile file(whole + "\x1f\x8b\x08");
  for (off_t cut = 0; cut <= off_t(whole.size()) + 3; cut++) {
    int complete = 0;
    while (complete < 3 && boundaries[complete + 1] <= cut) complete++;
    bool exact = boundaries[complete] == cut;
    int count = -1;
    uint64_t length = 0;
    off_t end = -1;
    ASSERT_EQ(walk_members(file.fd, 0, cut, &count, &length, &end), exact ? 0 : 1) << cut;
    EXPECT_EQ(count, complete) << cut;
    EXPECT_EQ(length, lengths[complete]) << cut;
    EXPECT_EQ(end, boundaries[complete]) << cut;
  }
}

}  // namespace
