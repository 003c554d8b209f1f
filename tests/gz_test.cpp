// gzip members: what the writer produces, what the reader accepts and
// refuses, checked against peers we did not write (gzip, Python's gzip).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "payload/payload.h"
#include "gz/deflate.h"
#include "gz/reader.h"
#include "gz/stream.h"
#include "gz/writer.h"
#include "support.h"

using namespace kapsa;
using test::Result;
using test::TempDir;

namespace {

// Decodes the gzip member open on in (in.gz, a file) into out through the
// payload door, as an extraction does.  stdout: "name|framing|mtime" after
// the header.  Returns 2 when the header was refused.
int decode_member(int in, int out, bool verbose, bool keep_name, long long *decoded = nullptr) {
  struct stat st;
  if (fstat(in, &st) != 0) return 3;
  Payload p;
  payload_begin(p, in, 0, st.st_size, "", "in.gz", "kapsa");
  if (payload_read_header(p, verbose, keep_name) != 0) return 2;
  printf("%s|%d|%ld\n", p.name, stream.framing_bytes, long(stream.member_time));
  fflush(stdout);
  long long n = payload_decode(p, out, p.name, true);
  if (decoded) *decoded = n;
  return 0;
}

struct Gz : testing::Test {
  void SetUp() override { stream.member_time = 0; }

  // Writes file as one member, named as given on a command line.
  std::string compress(const std::string &path, const std::string &name) {
    int in = open(path.c_str(), O_RDONLY);
    int fd = open((dir / "member.gz").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Sink out = sink_to(fd, "stdout", "kapsa");
    write_gzip_member(in, name.c_str(), out, settings, "kapsa");
    close(in);
    close(fd);
    return test::read_file(dir / "member.gz");
  }
  DeflateSettings settings = deflate_defaults;

  // Reads the member in file `member` (in a child, since failures end the
  // process) into dir/out.  stdout: "name|framing|mtime" after the header.
  // out_path names another output file; out_fd, when not -1, is the output.
  Result inflate(const std::string &member, bool verbose = false, bool to_stdout = false,
                 const std::string &out_path = "", int out_fd = -1) {
    test::write_file(dir / "in.gz", member);
    return test::in_child([&] {
      int in = open((dir / "in.gz").c_str(), O_RDONLY);
      std::string path = out_path.empty() ? dir / "out" : out_path;
      int out = out_fd >= 0 ? out_fd : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      return decode_member(in, out, verbose, !to_stdout);
    });
  }

  std::string out() { return test::read_file(dir / "out"); }

  std::string peer_member(const std::string &kind, const std::string &data) {
    test::write_file(dir / "peer-in", data);
    Result r = test::gzip_peer({"make", kind, dir / "peer-in", dir / "peer.gz"});
    EXPECT_EQ(r.status, 0) << r.err;
    return test::read_file(dir / "peer.gz");
  }

  TempDir dir;
  const std::string text = test::text_bytes(200000);
};

const std::string header_bytes("\x1f\x8b\x08\x08\x00\x00\x00\x00\x02\x03", 10);

TEST_F(Gz, WriterHeaderNamesTheBaseNameAndTrailerHoldsCrcAndSize) {
  test::write_file(dir / "data", text);
  std::string m = compress(dir / "data", "some/dir/data.txt");
  EXPECT_EQ(m.substr(0, 10), header_bytes);
  EXPECT_EQ(m.substr(10, 9), std::string("data.txt\0", 9));
  uint32_t crc, size;
  memcpy(&crc, m.data() + m.size() - 8, 4);
  memcpy(&size, m.data() + m.size() - 4, 4);
  update_crc(nullptr, 0);
  EXPECT_EQ(crc, update_crc(reinterpret_cast<const unsigned char *>(text.data()), text.size()));
  EXPECT_EQ(size, text.size());
  EXPECT_LT(m.size(), text.size() / 2);
}

TEST_F(Gz, AnEmptyInputAndANameEndingInSlash) {
  test::write_file(dir / "empty", "");
  std::string m = compress(dir / "empty", "dir/");
  // header, empty name, an empty final block (03 00), CRC 0, ISIZE 0
  EXPECT_EQ(m, header_bytes + std::string("\0\x03\x00", 3) + std::string(8, '\0'));
  Result r = inflate(m);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "|19|0\n");
  EXPECT_EQ(out(), "");
}

TEST_F(Gz, SystemGzipAndPythonRestoreWhatTheWriterWrote) {
  for (auto data : {text, test::random_bytes(100000), std::string()}) {
    test::write_file(dir / "data", data);
    std::string m = compress(dir / "data", "path/to/stored-name");
    test::write_file(dir / "m.gz", m);
    Result gz = test::sh("gzip -dc m.gz > plain && gzip -lN m.gz | tail -1", test::at(dir.path));
    EXPECT_EQ(gz.status, 0) << gz.err;
    EXPECT_NE(gz.out.find("stored-name"), std::string::npos) << gz.out;
    EXPECT_TRUE(test::read_file(dir / "plain") == data);
    Result py = test::gzip_peer({"read", dir / "m.gz", dir / "py"});
    EXPECT_EQ(py.status, 0) << py.err;
    EXPECT_EQ(py.out, "stored-name\n");
    EXPECT_TRUE(test::read_file(dir / "py") == data);
  }
}

TEST_F(Gz, ReaderRestoresWhatTheWriterWrote) {
  test::write_file(dir / "data", text);
  Result r = inflate(compress(dir / "data", "d/data"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "data|" + std::to_string(10 + 5 + 8) + "|0\n");
  EXPECT_TRUE(out() == text);
  // With -c outside a listing the stored name is skipped.
  Result c = inflate(compress(dir / "data", "d/data"), false, true);
  EXPECT_EQ(c.out, "stdout|23|0\n");
}

TEST_F(Gz, ChunkedMembersReadBackAtEveryLevelAndThreadCount) {
  // Small chunks, so that a few kilobytes make many of them.
  const size_t chunk = 16384;
  struct Input {
    const char *name;
    std::string data;
  } inputs[] = {
      {"empty", ""},
      {"one byte", "x"},
      {"one chunk", test::text_bytes(chunk, 2)},
      {"one chunk and a byte", test::text_bytes(chunk + 1, 3)},
      {"many chunks", test::text_bytes(7 * chunk + 1000, 4)},
      {"incompressible", test::random_bytes(3 * chunk + 5, 5)},
      {"repetitive", std::string(5 * chunk + 17, 'a')},
      // Runs of one byte across chunks, one past the longest run, another
      // byte, and what follows them.
      {"runs", std::string(70 * chunk + 5, '\0') + std::string(2 * chunk, 'b') +
                   test::text_bytes(chunk / 2, 6) + std::string(chunk, '\0')},
      {"numbers",
       [] {
         std::string s;
         for (int i = 1; s.size() < 200000; i++) s += std::to_string(i) + "\n";
         return s;
       }()},
  };
  // Three levels asked for, and the automatic choice (0).
  for (int level : {1, deflate_default_level, 12, 0}) {
    std::string members, data;
    for (const Input &in : inputs) {
      std::string where = std::string(in.name) + " at level " + std::to_string(level);
      test::write_file(dir / "data", in.data);
      settings = {level ? level : deflate_default_level, 1, chunk, level == 0};
      std::string member = compress(dir / "data", "data");
      settings.threads = 2;
      EXPECT_TRUE(compress(dir / "data", "data") == member) << where << ": differs with 2 threads";
      Result r = inflate(member);
      EXPECT_EQ(r.status, 0) << where << ": " << r.err;
      EXPECT_TRUE(out() == in.data) << where;
      members += member;
      data += in.data;
    }
    // gzip and Python read every member of the concatenation.
    test::write_file(dir / "all.gz", members);
    Result gz = test::sh("gzip -t all.gz && gzip -dc all.gz > plain", test::at(dir.path));
    EXPECT_EQ(gz.status, 0) << "level " << level << ": " << gz.err;
    EXPECT_TRUE(test::read_file(dir / "plain") == data) << "gzip, level " << level;
    Result py = test::gzip_peer({"read", dir / "all.gz", dir / "py"});
    EXPECT_EQ(py.status, 0) << "level " << level << ": " << py.err;
    EXPECT_TRUE(test::read_file(dir / "py") == data) << "Python, level " << level;
  }
}

TEST_F(Gz, ReaderAcceptsMembersOfOtherWriters) {
  for (const char *level : {"-1", "-9"}) {
    test::write_file(dir / "g", text);
    ASSERT_EQ(test::sh(std::string("gzip -nc ") + level + " g > g.gz", test::at(dir.path)).status,
              0);
    Result r = inflate(test::read_file(dir / "g.gz"));
    EXPECT_EQ(r.status, 0) << level << r.err;
    EXPECT_EQ(r.out, "stdout|18|0\n") << level;
    EXPECT_TRUE(out() == text) << level;
  }
  struct Case {
    const char *kind, *header;
  } cases[] = {
      {"python", "stdout|18|1700000000\n"},
      {"fullflush", "stdout|18|0\n"},
      {"extra", "x.txt|35|0\n"},
      {"comment", "named|34|0\n"},
      {"magic9e", "old|22|0\n"},
      {"part", "parted|27|0\n"},
      {"flags", "flagged|26|0\n"},
      {"name=dir/sub/file", "dir/sub/file|31|0\n"},
  };
  for (const Case &c : cases) {
    Result r = inflate(peer_member(c.kind, text));
    EXPECT_EQ(r.status, 0) << c.kind << ": " << r.err;
    EXPECT_EQ(r.out, c.header) << c.kind;
    EXPECT_EQ(r.err, "") << c.kind;
    EXPECT_TRUE(out() == text) << c.kind;
  }
}

TEST_F(Gz, VerboseReportsThePartNumberAndTheExtraField) {
  EXPECT_EQ(inflate(peer_member("part", "x"), true).err, "kapsa: in.gz: part number 7\n");
  EXPECT_EQ(inflate(peer_member("extra", "x"), true).err,
            "kapsa: in.gz: extra field of 9 bytes ignored\n");
}

TEST_F(Gz, StoredNamesOf1023CharactersFitAndOf1024AreRefused) {
  std::string name1023(1023, 'n');
  Result fits = inflate(peer_member("name=" + name1023, "abc"));
  EXPECT_EQ(fits.status, 0) << fits.err;
  EXPECT_EQ(fits.out.substr(0, 1024), name1023 + "|");
  Result refused = inflate(peer_member("name=" + name1023 + "n", "abc"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "\nkapsa: in.gz: corrupted input -- file name too large\n");
}

TEST_F(Gz, BadMagicAndMethodAreRefusedWithoutEndingTheProcess) {
  Result magic = inflate("\x1f\x8c rest of it");
  EXPECT_EQ(magic.status, 2);
  EXPECT_EQ(magic.err, "kapsa: can only handle GZIP compression method\n");
  Result cm = inflate(peer_member("badcm", "x"));
  EXPECT_EQ(cm.status, 2);
  EXPECT_EQ(cm.err, "kapsa: in.gz: unknown method 7 -- get newer version of gzip\n");
}

TEST_F(Gz, DamagedMembersEndWithTheExactMessageAfterWritingTheData) {
  test::write_file(dir / "data", text);
  std::string good = compress(dir / "data", "data");
  size_t n = good.size();

  std::string crc = good;
  crc[n - 8] ^= 1;
  Result r = inflate(crc);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nkapsa: in.gz: invalid compressed data--crc error\n");
  EXPECT_TRUE(out() == text) << "the data is written before the check";

  std::string size = good;
  size[n - 1] ^= 1;
  r = inflate(size);
  EXPECT_EQ(r.err, "\nkapsa: in.gz: invalid compressed data--length error\n");
  EXPECT_TRUE(out() == text);

  const std::string eof = "\nkapsa: in.gz: unexpected end of file\n";
  for (size_t cut : {size_t(0), size_t(5), size_t(12), n / 2, n - 8, n - 3}) {
    r = inflate(good.substr(0, cut));
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_EQ(r.err, eof) << cut;
  }

  std::string bad_type = good;
  bad_type[15] = char(0x07);  // first block: final, type 3 (reserved)
  r = inflate(bad_type);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nkapsa: in.gz: invalid compressed data--format violated\n");
}

// The output goes out in windows of 32,768 bytes, one write each, in order:
// nothing decoded ahead of a fault is lost, and a failed write is
// reported before a fault found later in the input.
TEST_F(Gz, OutputLeavesInWholeWindowsUpToAFault) {
  std::string data = test::random_bytes(3 << 20, 4) + test::text_bytes(100000);
  test::write_file(dir / "data", data);
  std::string good = compress(dir / "data", "data");

  // A socket that keeps each write a record of its own.
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
  std::vector<ssize_t> writes;
  std::string piped;
  std::thread reader([&] {
    static char buf[2 << 20];
    for (ssize_t n; (n = recv(sv[1], buf, sizeof buf, 0)) > 0;) {
      writes.push_back(n);
      piped.append(buf, size_t(n));
    }
  });
  Result r = inflate(good, false, false, "", sv[0]);
  shutdown(sv[0], SHUT_WR);
  reader.join();
  close(sv[0]);
  close(sv[1]);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(piped == data);
  ASSERT_EQ(writes.size(), data.size() / 32768 + 1);
  for (size_t i = 0; i + 1 < writes.size(); i++) ASSERT_EQ(writes[i], 32768) << i;

  for (size_t cut : {good.size() / 3, good.size() - 20000}) {
    r = inflate(good.substr(0, cut));
    EXPECT_EQ(r.err, "\nkapsa: in.gz: unexpected end of file\n") << cut;
    std::string got = out();
    EXPECT_EQ(got.size() % 32768, 0u) << cut;
    EXPECT_GE(got.size() + 65536, cut) << "decoded data was lost";
    EXPECT_TRUE(got == data.substr(0, got.size())) << cut;

    r = inflate(good.substr(0, cut), false, false, "/dev/full");
    EXPECT_EQ(r.err, "\nkapsa: data: No space left on device\n") << cut;
  }
}

TEST_F(Gz, NothingAfterTheFirstTrailerIsRead) {
  test::write_file(dir / "data", text);
  std::string m = compress(dir / "data", "data");
  Result r = inflate(m + m + "trailing garbage");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(out() == text);
}

// Writes deflate bits, least significant first, and Huffman codes from their
// most significant bit, to build dynamic blocks with chosen code sets.
struct BitWriter {
  std::string bytes;
  int used = 8;
  void bits(unsigned value, int count) {
    for (int i = 0; i < count; i++) {
      if (used == 8) {
        bytes += '\0';
        used = 0;
      }
      bytes.back() = char(bytes.back() | (((value >> i) & 1) << used++));
    }
  }
  void code(unsigned code, int length) {
    for (int i = length - 1; i >= 0; i--) bits((code >> i) & 1, 1);
  }
};

// The start of a final dynamic block whose literal/length lengths are lit
// (257 entries) and distance lengths dist, each length 0, 1 or 2, coded with
// the code length code {0: "0", 1: "10", 2: "11"}.
BitWriter dynamic_block(const int (&lit)[257], const std::vector<int> &dist) {
  BitWriter w;
  w.bits(1, 1);  // BFINAL
  w.bits(2, 2);  // dynamic
  w.bits(0, 5);  // HLIT: 257
  w.bits(unsigned(dist.size() - 1), 5);
  w.bits(15, 4);  // HCLEN: all 19 code length codes
  const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  for (int sym : order) w.bits(sym == 0 ? 1 : sym == 1 || sym == 2 ? 2 : 0, 3);
  auto put = [&](int len) { len == 0 ? w.code(0, 1) : w.code(len == 1 ? 2 : 3, 2); };
  for (int len : lit) put(len);
  for (int len : dist) put(len);
  return w;
}

const std::string no_name_header = header_bytes.substr(0, 3) + std::string(7, '\0');

TEST_F(Gz, BadCodeSetsSayWhichTreeIsIncomplete) {
  const std::string violated = "\nkapsa: in.gz: invalid compressed data--format violated\n";
  auto header_only = [](BitWriter w) {
    w.bits(0, 16);  // enough bits for inflate to build the tables
    return no_name_header + w.bytes;
  };
  int lit[257] = {0};
  lit['A'] = 2;
  lit[256] = 2;  // two codes of two bits: half the code space unused
  Result r = inflate(header_only(dynamic_block(lit, {1})));
  EXPECT_EQ(r.err, " incomplete literal tree\n" + violated);

  lit['A'] = 1;
  lit[256] = 1;
  r = inflate(header_only(dynamic_block(lit, {2, 2})));
  EXPECT_EQ(r.err, " incomplete distance tree\n" + violated);

  lit['B'] = 1;  // three codes of one bit: over-subscribed, not incomplete
  r = inflate(header_only(dynamic_block(lit, {1})));
  EXPECT_EQ(r.err, violated);
  // zlib refuses the literal/length set first: the incomplete distance set
  // behind it is not the one that failed.
  r = inflate(header_only(dynamic_block(lit, {2, 2})));
  EXPECT_EQ(r.err, violated);
}

TEST_F(Gz, AnIncompleteSetWhoseLongestCodeIsOneBitIsAccepted) {
  // Literal 'A' is "0", end-of-block "1"; one distance code of one bit.
  int lit[257] = {0};
  lit['A'] = 1;
  lit[256] = 1;
  BitWriter w = dynamic_block(lit, {1});
  w.code(0, 1);  // 'A'
  w.code(0, 1);  // 'A'
  w.code(1, 1);  // end of block
  std::string trailer(8, '\0');
  update_crc(nullptr, 0);
  uint32_t crc = update_crc(reinterpret_cast<const unsigned char *>("AA"), 2), len = 2;
  memcpy(&trailer[0], &crc, 4);
  memcpy(&trailer[4], &len, 4);
  Result r = inflate(no_name_header + w.bytes + trailer);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(out(), "AA");
}

// Slow: compresses 4 GiB of zeros.
TEST_F(Gz, SlowAMemberPast4GiBStoresItsSizeModulo2To32) {
  // A sparse file reads as zeros without touching the disk.
  const off_t size = (off_t(1) << 32) + 12345;
  std::string big = dir / "big";
  int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
  int in = open(big.c_str(), O_RDONLY);
  fd = open((dir / "big.gz").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Sink out = sink_to(fd, "stdout", "kapsa");
  write_gzip_member(in, "big", out, settings, "kapsa");
  close(in);
  close(fd);
  unlink(big.c_str());
  std::string m = test::read_file(dir / "big.gz");
  uint32_t isize;
  memcpy(&isize, m.data() + m.size() - 4, 4);
  EXPECT_EQ(isize, 12345u);
  Result r = test::in_child([&] {
    int gz = open((dir / "big.gz").c_str(), O_RDONLY);
    long long decoded = 0;
    if (decode_member(gz, open("/dev/null", O_WRONLY), false, true, &decoded) != 0) return 2;
    printf("%u\n", uint32_t(decoded));
    return 0;
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "big|22|0\n12345\n");
}

}  // namespace

namespace {

TEST(GzBuild, ABuildWritesOneMemberPerFileThatGzipReadsBack) {
  TempDir dir;
  std::string f1 = test::text_bytes(70000, 7), f2 = test::random_bytes(5000, 8);
  test::write_file(dir / "f1", f1);
  mkdir((dir / "sub").c_str(), 0755);
  test::write_file(dir / "sub/f2", f2);
  std::string payload =
      test::payload_of(test::read_file(test::build_archive(dir, "a.run", {"f1", "sub/f2"})));
  test::write_file(dir / "payload.gz", payload);
  Result gz = test::sh("gzip -dc payload.gz > both", test::at(dir.path));
  EXPECT_EQ(gz.status, 0) << gz.err;
  EXPECT_TRUE(test::read_file(dir / "both") == f1 + f2);
  // The second member starts right after the first one's trailer.
  EXPECT_EQ(payload.substr(0, 13), header_bytes + std::string("f1\0", 3));
  size_t second = payload.find(header_bytes + "f2", 10);
  ASSERT_NE(second, std::string::npos);
  Result py = test::gzip_peer({"read", dir / "payload.gz", dir / "py"});
  EXPECT_EQ(py.out, "f1\n");
  test::write_file(dir / "second.gz", payload.substr(second));
  py = test::gzip_peer({"read", dir / "second.gz", dir / "py"});
  EXPECT_EQ(py.out, "f2\n");
  EXPECT_TRUE(test::read_file(dir / "py") == f2);
}

}  // namespace
