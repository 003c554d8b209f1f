// The splice that joins independently compressed DEFLATE streams into one,
// checked on streams of zlib and libdeflate and read back by zlib.
#include "gz/deflate.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "support.h"

using namespace kapsa;

namespace {

const unsigned char *bytes(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

// A raw stream from zlib.  memLevel 1 makes blocks of a few hundred
// symbols, so that most streams hold several blocks.
std::string zlib_stream(const std::string &data, int level, int strategy) {
  z_stream zs = {};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -15, 1, strategy), Z_OK);
  std::string out(deflateBound(&zs, data.size()), '\0');
  zs.next_in = const_cast<unsigned char *>(bytes(data));
  zs.avail_in = uInt(data.size());
  zs.next_out = reinterpret_cast<unsigned char *>(&out[0]);
  zs.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string libdeflate_stream(const std::string &data, int level) {
  libdeflate_compressor *c = libdeflate_alloc_compressor(level);
  std::string out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
  out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), &out[0], out.size()));
  libdeflate_free_compressor(c);
  return out;
}

// What zlib inflates from stream, or "<refused>" unless stream is one whole
// DEFLATE stream with nothing after it.
std::string inflate_whole(const std::string &stream, size_t expected) {
  z_stream zs = {};
  EXPECT_EQ(inflateInit2(&zs, -15), Z_OK);
  std::string out(expected + 1, '\0');
  zs.next_in = const_cast<unsigned char *>(bytes(stream));
  zs.avail_in = uInt(stream.size());
  zs.next_out = reinterpret_cast<unsigned char *>(&out[0]);
  zs.avail_out = uInt(out.size());
  int ret = inflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  bool whole = ret == Z_STREAM_END && zs.avail_in == 0;
  inflateEnd(&zs);
  return whole ? out : "<refused>";
}

TEST(Splice, AStreamSplicedBeforeAnotherInflatesToBoth) {
  struct Maker {
    const char *name;
    std::string (*make)(const std::string &);
  } makers[] = {
      {"stored", [](const std::string &d) { return zlib_stream(d, 0, Z_DEFAULT_STRATEGY); }},
      {"fixed", [](const std::string &d) { return zlib_stream(d, 9, Z_FIXED); }},
      {"dynamic", [](const std::string &d) { return zlib_stream(d, 9, Z_DEFAULT_STRATEGY); }},
      {"libdeflate", [](const std::string &d) { return libdeflate_stream(d, 6); }},
  };
  const std::string after = test::text_bytes(3000, 99);
  const std::string after_stream = zlib_stream(after, 6, Z_DEFAULT_STRATEGY);
  bool padding_seen[8] = {};
  for (const Maker &m : makers) {
    for (size_t len = 0; len < 3000; len += 97) {
      std::string data = test::text_bytes(len, unsigned(len));
      std::string stream = m.make(data);
      std::string where = std::string(m.name) + ", " + std::to_string(len) + " bytes";
      DeflateEnd end;
      ASSERT_EQ(deflate_find_end(bytes(stream), stream.size(), &end), 0) << where;
      padding_seen[end.unused_bits] = true;
      std::string spliced = stream + "\xa5\xa5\xa5\xa5\xa5";  // the room, not zeroed
      spliced.resize(
          deflate_splice(reinterpret_cast<unsigned char *>(&spliced[0]), stream.size(), end));
      EXPECT_EQ(spliced.size(), stream.size() + (end.unused_bits < 3 ? 5 : 4)) << where;
      EXPECT_TRUE(inflate_whole(spliced + after_stream, len + after.size()) == data + after)
          << where;
    }
  }
  for (int bits = 0; bits < 8; bits++)
    EXPECT_TRUE(padding_seen[bits]) << "no stream ended with " << bits << " padding bits";
}

TEST(Splice, FindEndRefusesWhatIsNotOneWholeStream) {
  std::string whole = zlib_stream(test::text_bytes(5000, 7), 9, Z_DEFAULT_STRATEGY);
  struct Case {
    const char *what;
    std::string bytes;
  } cases[] = {
      {"nothing", ""},
      {"a stream cut short", whole.substr(0, whole.size() - 1)},
      {"a byte after the end", whole + "x"},
      {"a reserved block type", "\x07\x00"},
      {"a non-final block alone", std::string("\x00\x00\x00\xff\xff", 5)},
  };
  for (const Case &c : cases) {
    DeflateEnd end;
    EXPECT_EQ(deflate_find_end(bytes(c.bytes), c.bytes.size(), &end), -1) << c.what;
  }
}

// The automatic choice, block by block: level 6 where level 9 would walk its
// chains for nothing and gzip -9 would not (numbers, even with a long line
// of text among them, and in the blocks an eight-block sample skips), level
// 9 elsewhere (many kinds of literals, noise, few symbols in random order,
// short inputs).
TEST(Deflate, TheAutomaticChoiceBoundsTheSearchWhereNumbersWouldSlowLevel9) {
  auto numbers = [](size_t size, int header_every) {
    std::string s;
    for (int i = 1000000; s.size() < size; i++)
      s += i % header_every
               ? std::to_string(i) + "\n"
               : "# Sphinx of black quartz, JUDGE MY VOW; 2 + 2 = 4? [ok] {yes} ~!@$%^&*_|\n";
    s.resize(size);
    return s;
  };
  const size_t block = deflate_rule_block, blocks = 128;
  // Text where the old eight-block sample looked (k * blocks / 8), numbers elsewhere.
  std::string sampled = numbers(blocks * block, 1 << 30);
  std::string text = test::random_bytes(8 * block, 5);  // printable, 95 kinds
  for (auto &c : text) c = char(32 + (unsigned char)c % 95);
  for (size_t k = 0; k < 8; k++)
    sampled.replace(k * blocks / 8 * block, block, text, k * block, block);
  std::string sampled_levels(blocks, '6');
  for (size_t k = 0; k < 8; k++) sampled_levels[k * blocks / 8] = '9';
  std::string two_symbols = test::random_bytes(4 * block, 7);
  for (auto &c : two_symbols) c = "ab"[c & 1];
  struct Case {
    const char *name;
    std::string data;
    std::string levels;  // one digit a block
  } cases[] = {
      {"numbers", numbers(4 * block, 1 << 30), "6666"},
      {"numbers with a header line", numbers(4 * block, 100), "6666"},
      {"text where the sample looked", sampled, sampled_levels},
      {"text", text.substr(0, 4 * block), "9999"},
      {"random", test::random_bytes(4 * block, 13), "9999"},
      {"two symbols", two_symbols, "9999"},
      {"short numbers", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n", "9"},
  };
  std::vector<uint16_t> counts(deflate_rule_slots), last(deflate_rule_slots);
  for (const Case &c : cases) {
    std::string levels;
    for (size_t at = 0; at < c.data.size(); at += block)
      levels +=
          char('0' + deflate_block_level(bytes(c.data) + at, std::min(block, c.data.size() - at),
                                          counts.data(), last.data()));
    EXPECT_EQ(levels, c.levels) << c.name;
  }
}

}  // namespace
