// The parallel decoder against the serial reader: on whole, cut, damaged,
// foreign and forged members, the same bytes out and the same words said.
#include "gz/chunks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "gz/reader.h"
#include "gz/runs.h"
#include "gz/stream.h"
#include "gz/writer.h"
#include "payload/payload.h"
#include "support.h"

using namespace kapsa;
using test::Result;
using test::TempDir;

namespace {

// What a decoder makes of the gzip member in the file at path, in a child
// (failures end the process): the header read, the data decoded by the
// parallel decoder with `threads` workers, or by the serial reader alone
// (threads 0), the trailer checked.  stdout: the decoded bytes.
Result decode(const std::string &path, int threads) {
  return test::in_child([&] {
    int fd = open(path.c_str(), O_RDONLY);
    struct stat st;
    fstat(fd, &st);
    Payload p;
    payload_begin(p, fd, 0, st.st_size, "", "in.gz", "kapsa");
    if (payload_read_header(p, false, false) != 0) return 2;
    Output out;
    output_begin(out, STDOUT_FILENO, "stdout", "kapsa", true, true, st.st_size, stream_consumed());
    if (threads > 0)
      chunks_inflate(out, threads);
    else
      inflate_member(out);
    check_member_trailer(out);
    return 0;
  });
}

// Decodes member both ways and expects the same status, bytes and messages.
void expect_serial(const TempDir &dir, const std::string &member, const std::string &what) {
  test::write_file(dir / "in.gz", member);
  Result serial = decode(dir / "in.gz", 0);
  Result parallel = decode(dir / "in.gz", 2);
  EXPECT_EQ(parallel.status, serial.status) << what;
  EXPECT_EQ(parallel.err, serial.err) << what;
  EXPECT_TRUE(parallel.out == serial.out)
      << what << ": " << parallel.out.size() << " bytes, serial " << serial.out.size();
}

// A member of data as a build writes it, with chunks of chunk_size bytes.
std::string kapsa_member(const TempDir &dir, const std::string &data, size_t chunk_size) {
  test::write_file(dir / "data", data);
  int in = open((dir / "data").c_str(), O_RDONLY);
  int fd = open((dir / "member.gz").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Sink out = sink_to(fd, "stdout", "kapsa");
  DeflateSettings settings = deflate_defaults;
  settings.chunk_size = chunk_size;
  write_gzip_member(in, "data", out, settings, "kapsa");
  close(in);
  close(fd);
  return test::read_file(dir / "member.gz");
}

// Where the pieces of a member end: after each marker (a byte below 0x20,
// then 00 00 FF FF).
std::vector<size_t> marker_ends(const std::string &m) {
  std::vector<size_t> ends;
  for (size_t at = m.find(std::string("\0\0\xff\xff", 4), 1); at != std::string::npos;
       at = m.find(std::string("\0\0\xff\xff", 4), at + 1))
    if ((unsigned char)m[at - 1] < 0x20) ends.push_back(at + 4);
  return ends;
}

// A gzip member around a raw DEFLATE stream of data.
std::string gzip_around(const std::string &deflate, const std::string &data) {
  std::string m("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  m += deflate;
  uint32_t crc =
      uint32_t(crc32(0, reinterpret_cast<const Bytef *>(data.data()), uInt(data.size())));
  uint32_t size = uint32_t(data.size());
  for (int i = 0; i < 4; i++) m += char(crc >> (8 * i));
  for (int i = 0; i < 4; i++) m += char(size >> (8 * i));
  return m;
}

// zlib's raw stream of data, flushed (an empty stored block, the
// dictionary kept) every `every` bytes.
std::string zlib_flushed(const std::string &data, size_t every, int level) {
  z_stream zs = {};
  deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()) + data.size() / every * 8 + 64, '\0');
  zs.next_out = reinterpret_cast<Bytef *>(&out[0]);
  zs.avail_out = uInt(out.size());
  for (size_t at = 0; at < data.size(); at += every) {
    size_t n = data.size() - at < every ? data.size() - at : every;
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + at));
    zs.avail_in = uInt(n);
    deflate(&zs, at + n == data.size() ? Z_FINISH : Z_SYNC_FLUSH);
  }
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A stored block of data (at most 65535 bytes), final or not.
std::string stored(const std::string &data, bool final) {
  std::string b(1, final ? '\x01' : '\x00');
  for (uint16_t v : {uint16_t(data.size()), uint16_t(~data.size())}) {
    b += char(v & 0xff);
    b += char(v >> 8);
  }
  return b + data;
}

struct Chunks : testing::Test {
  TempDir dir;
  // Text, a run of zeros over several chunks, noise, text: chunks of 64 KiB
  // give pieces of every kind, the automatic choice's joins among them.
  std::string data = test::text_bytes(150000, 3) + std::string(400000, '\0') +
                     test::random_bytes(100000, 4) + test::text_bytes(200000, 5);
  std::string member = kapsa_member(dir, data, 65536);
};

TEST_F(Chunks, AWholeMemberDecodesToItsData) {
  ASSERT_GE(marker_ends(member).size(), 7u);
  test::write_file(dir / "in.gz", member);
  for (int threads : {2, 5}) {
    Result r = decode(dir / "in.gz", threads);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == data) << threads;
  }
}

TEST_F(Chunks, ACutAtOrNearEveryBoundaryGivesTheSerialResult) {
  std::vector<size_t> ends = marker_ends(member);
  for (size_t piece = 0; piece < ends.size(); piece++) {
    if (!test::sampled(piece, ends.size())) continue;
    for (long delta : {-5L, -4L, -1L, 0L, 1L}) {
      std::string cut = member.substr(0, size_t(long(ends[piece]) + delta));
      expect_serial(dir, cut, "cut at " + std::to_string(long(ends[piece]) + delta));
    }
  }
  // Cut in the trailer, and after the whole data.
  for (size_t keep : {size_t(1), size_t(4), size_t(8)})
    expect_serial(dir, member.substr(0, member.size() - keep), "trailer cut");
}

TEST_F(Chunks, AFlippedByteInEveryPieceGivesTheSerialResult) {
  std::vector<size_t> ends = marker_ends(member);
  size_t begin = 10;
  for (size_t piece = 0; piece < ends.size(); piece++) {
    size_t end = ends[piece];
    if (!test::sampled(piece, ends.size())) {
      begin = end;
      continue;
    }
    // The piece's first byte, its middle, the byte of the stored block's
    // header, its LEN, and the byte after the marker.
    for (size_t at : {begin, (begin + end) / 2, end - 5, end - 4, end}) {
      for (unsigned char mask : {0x01, 0xff}) {
        std::string bad = member;
        bad[at] = char(bad[at] ^ mask);
        expect_serial(dir, bad, "byte " + std::to_string(at) + " ^ " + std::to_string(mask));
      }
    }
    begin = end;
  }
}

TEST_F(Chunks, ForeignAndForgedStreamsGiveTheSerialResult) {
  std::string text = test::text_bytes(300000, 9);
  // A marker inside stored data, a few bytes before the block ends (the
  // block long enough to be read in pieces).
  for (size_t tail : {0, 1, 5, 40}) {
    std::string inside = text.substr(0, 20000) + std::string("\x05\x00\x00\xff\xff", 5) +
                         std::string(tail, 'x');
    expect_serial(dir, gzip_around(stored(inside, true), inside), "stored block with a marker");
  }
  std::string marked = text.substr(0, 60000);
  for (size_t at = 1000; at < marked.size(); at += 7000)
    marked.replace(at, 5, "\x10\x00\x00\xff\xff", 5);
  struct Case {
    const char *what;
    std::string member;
  } cases[] = {
      // Blocks that refer across their markers: zlib's flushes keep the window.
      {"zlib, flushed", gzip_around(zlib_flushed(text, 20000, 6), text)},
      {"zlib, stored, flushed", gzip_around(zlib_flushed(marked, 3000, 0), marked)},
      {"zlib, stored markers", gzip_around(zlib_flushed(marked, marked.size(), 0), marked)},
      // Two members: only the first is decoded.
      {"two members", member + member},
      {"two foreign members", gzip_around(zlib_flushed(text, 50000, 9), text) +
                                  gzip_around(zlib_flushed(text, 7, 1), text)},
  };
  for (const Case &c : cases) expect_serial(dir, c.member, c.what);
  test::write_file(dir / "in.gz", cases[1].member);
  EXPECT_TRUE(decode(dir / "in.gz", 2).out == marked);
}

// A piece counts when it ends at a block boundary; a run is walked.
TEST(ChunksPiece, ARunIsWalkedAndAPieceEndingInsideABlockIsADoubt) {
  ChunksKeys keys;
  chunks_prepare(&keys);
  z_stream zs = {};
  ASSERT_EQ(inflateInit2(&zs, -15), Z_OK);
  std::vector<unsigned char> in(chunks_in_max), out(chunks_out_max + 1);
  struct Case {
    std::string piece;
    PieceEnd end;
    uint64_t count;
  } cases[] = {
      {stored("abc", false) + stored("", false), PieceEnd::joined, 3},
      {stored("abc", false), PieceEnd::joined, 3},  // any block boundary will do
      {stored("abc", true), PieceEnd::ended, 3},
      {stored("abc", true) + "more", PieceEnd::ended, 3},
      // Cut at a marker inside a stored block's data.
      {stored(std::string("ab\x05\x00\x00\xff\xff" "cdefgh", 13), false).substr(0, 12),
       PieceEnd::doubt, 0},
      {stored("abc", false).substr(0, 6), PieceEnd::doubt, 0},
  };
  for (const Case &c : cases) {
    memcpy(in.data(), c.piece.data(), c.piece.size());
    Piece p = chunks_decode_piece(&zs, keys, in.data(), c.piece.size(), out.data());
    EXPECT_EQ(int(p.end), int(c.end)) << c.piece.size();
    if (p.end != PieceEnd::doubt) {
      EXPECT_EQ(p.out_len, c.count);
    }
  }
  // A run of 300 MB of one byte, spliced as a build splices it, or final.
  for (bool final : {false, true}) {
    RunStream run;
    run_stream_begin(run, 0x41, in.data(), in.size() - 8);
    run_stream_add(run, 300000000);
    size_t size = run_stream_end(run);
    if (!final) size = deflate_splice(in.data(), size, DeflateEnd{0, 0, run.padding});
    Piece p = chunks_decode_piece(&zs, keys, in.data(), size, out.data());
    EXPECT_EQ(int(p.end), int(PieceEnd::run));
    EXPECT_EQ(p.count, 300000000u);
    EXPECT_EQ(p.byte, 0x41);
    EXPECT_EQ(p.final, final);
    if (final) {
      EXPECT_EQ(p.used, size);
    }
  }
  inflateEnd(&zs);
}

// An input larger than the window is cut into frames by its size alone,
// and the frames are compressed at once: the same archive at any number of
// threads, from a file (each compressor reads its part) or a tree's stream
// (the build feeds the parts), and it unpacks to its input.
TEST(ZstdFrames, AnyThreadCountGivesTheSameArchive) {
  TempDir dir;
  std::string data = test::text_bytes(5 << 20, 11) + test::random_bytes(300000, 12);
  mkdir((dir / "tree").c_str(), 0755);
  test::write_file(dir / "tree/f", data);
  test::write_file(dir / "f", data);
  for (const char *input : {"f", "tree"}) {
    std::string first;
    for (const char *threads : {"--threads=1", "--threads=2", "--threads=3"}) {
      std::string a = test::build_archive(dir, std::string(input) + threads + ".run",
                                          {"--zstd=3", "--zstd-memory=8", threads, input});
      std::string archive = test::read_file(a);
      if (first.empty()) first = archive;
      EXPECT_TRUE(archive == first) << input << " " << threads;
    }
    std::string payload = test::payload_of(first);
    size_t frames = 0;
    for (size_t at = payload.find("\x28\xb5\x2f\xfd"); at != std::string::npos;
         at = payload.find("\x28\xb5\x2f\xfd", at + 1))
      frames++;
    EXPECT_EQ(frames, 3u) << input;  // windows of 2 MiB
    // The frames are counted, so an archive cut where the last one begins
    // is not taken for a whole one.
    std::string cut = dir / "cut.run";
    test::write_file(cut, first.substr(0, first.rfind("\x28\xb5\x2f\xfd")), 0755);
    Result c = test::run(cut, {"--check"}, test::at(dir.path));
    EXPECT_EQ(c.status, 1) << input;
    EXPECT_EQ(c.err, "\n" + cut + ": " + cut + ": unexpected end of file\n") << input;
  }
  test::RunOptions o = test::at(dir.path);
  o.stdout_file = dir / "out";
  Result x = test::run(dir / "f--threads=2.run", {"-x"}, o);
  EXPECT_EQ(x.status, 0) << x.err;
  EXPECT_TRUE(test::read_file(dir / "out") == data);
  Result t =
      test::run(dir / "tree--threads=2.run", {"--target=" + dir / "installed"}, test::at(dir.path));
  EXPECT_EQ(t.status, 0) << t.err;
  EXPECT_TRUE(test::read_file(dir / "installed/f") == data);
}

}  // namespace
