// Listing archives with the real binary: the preamble lines, the statistics
// line, several archives in one run, and every failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support.h"

using test::Result;
using test::RunOptions;
using test::TempDir;

namespace {

struct Listing : testing::Test {
  void SetUp() override {
    test::write_file(dir / "notes.txt", test::text_bytes(50000, 3));
    test::write_file(dir / "more.bin", test::random_bytes(3000, 4));
  }
  RunOptions opts() {
    RunOptions o = test::at(dir.path);
    o.env["TZ"] = "UTC";
    return o;
  }
  Result list(const std::vector<std::string> &args) {
    std::vector<std::string> all = {"-l"};
    all.insert(all.end(), args.begin(), args.end());
    return test::kapsa(all, opts());
  }
  // The statistics line of a compressed archive, worked out from its bytes.
  std::string stats(const std::string &archive, uint32_t uncompressed, const std::string &name,
                    bool verbose = false) {
    std::string bytes = test::read_file(archive);
    long long compressed = (long long)test::payload_of(bytes).size();
    long long framing = 10 + (long long)name.size() + 1 + 8;
    long long num = uncompressed - (compressed - framing);
    long long tenths =
        uncompressed < 2147483 ? num * 1000 / uncompressed : num / (uncompressed / 1000);
    char line[200];
    std::string prefix;
    if (verbose) {
      uint32_t crc;
      memcpy(&crc, bytes.data() + bytes.size() - 8, 4);
      snprintf(line, sizeof line, "defla %08x Jan  1 00:00 ", crc);
      prefix = line;
    }
    snprintf(line, sizeof line, "%9lld %9u %c%2lld.%1lld%% %s\n", compressed, uncompressed,
             tenths < 0 ? '-' : ' ', llabs(tenths) / 10, llabs(tenths) % 10, name.c_str());
    return prefix + line;
  }
  TempDir dir;
};

const std::string header = "compressed  uncompr. ratio uncompressed_name\n";

TEST_F(Listing, ACompressedArchiveShowsItsTextsAndOneStatisticsLine) {
  std::string a =
      test::build_archive(dir, "a.run", {"-C", "my note", "-r", "sh ./post.sh", "notes.txt"});
  Result r = list({"a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Feature: NAME=notes.txt\n"
            "Comment: my note\n"
            "    Run: sh ./post.sh\n"
            "Extract: cat > %p/%o\n" +
                header + stats(a, 50000, "notes.txt"));
  // The archive lists itself, with or without -u, and whatever files follow.
  for (auto args :
       std::vector<std::vector<std::string>>{{"-l"}, {"-l", "other"}, {"-u", "-l", "x"}}) {
    Result self = test::run(a, args, opts());
    EXPECT_EQ(self.status, 0) << self.err;
    EXPECT_EQ(self.out, r.out);
  }
}

TEST_F(Listing, VerboseAddsMethodCrcAndDate) {
  std::string a = test::build_archive(dir, "a.run", {"-f", "tar xf -", "notes.txt"});
  Result r = list({"-v", "a.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Feature: NAME=notes.txt\n"
            "Comment: Self-Extracting archive file\n"
            "    Run: \n"
            "Extract: tar xf -\n"
            "method  crc     date  time  " +
                header + stats(a, 50000, "notes.txt", true));
}

TEST_F(Listing, TwoArchivesShareOneColumnHeaderAndKeepTheirOwnFigures) {
  std::string a = test::build_archive(dir, "a.run", {"notes.txt"});
  std::string b = test::build_archive(dir, "b.run", {"more.bin", "notes.txt"});
  Result r = list({"a.run", "b.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string texts_a =
      "Feature: NAME=notes.txt\nComment: Self-Extracting archive file\n    Run: \nExtract: cat > "
      "%p/%o\n";
  // Several members: the feature list holds the first one's size (for the
  // space check) and their number; the line shows the first member's name,
  // the last one's size.
  std::string texts_b =
      "Feature: NAME=more.bin,SIZE=" + std::to_string(test::read_file(dir / "more.bin").size()) +
      ",MEMBERS=2\nComment: Self-Extracting archive file\n    Run: \nExtract: cat > %p/%o\n";
  EXPECT_EQ(r.out, texts_a + header + stats(a, 50000, "notes.txt") + texts_b +
                       stats(b, 50000, "more.bin"));
}

TEST_F(Listing, ARawArchiveHasNoStatistics) {
  test::build_archive(dir, "raw.run", {"-a", "-C", "c", "notes.txt"});
  Result r = list({"raw.run"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Feature: NOCOMPR,NAME=notes.txt\n"
            "Comment: c\n"
            "    Run: \n"
            "Extract: cat > %p/%o\n"
            "Statistics unavailable because data was not compressed\n");
}

TEST_F(Listing, AnEmptyFeatureListPrintsNoFeatureLine) {
  std::string member =
      test::payload_of(test::read_file(test::build_archive(dir, "a.run", {"notes.txt"})));
  std::string hand =
      test::read_file(test::kapsa_bin()) + test::magic() + std::string("\0c\0\0\0", 5) + member;
  test::write_file(dir / "hand.run", hand, 0755);
  Result r = list({"hand.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Comment: c\n    Run: \nExtract: cat > %p/%o\n" + header +
                       stats(dir / "hand.run", 50000, "notes.txt"));
}

TEST_F(Listing, FailuresAreReportedAndTheOthersStillListed) {
  test::build_archive(dir, "a.run", {"notes.txt"});
  test::write_file(dir / "plain", "no archive here", 0644);
  test::write_file(dir / "tool", "no archive here", 0755);
  Result r = list({"plain", "./nosuch", "nowhere", "tool", "a.run"});
  EXPECT_EQ(r.status, 1);
  // A file is read by its name whatever its mode; a name that names no file
  // is looked for through PATH.
  const std::string kapsa = test::kapsa_bin();
  EXPECT_EQ(r.err,
            "plain: unable to find preamble magic value\n"
            "./nosuch: No such file or directory\n"
            "./nosuch: unable to find preamble magic value\n" +
                kapsa +
                ": unable to find kapsa to build preamble\n"
                "nowhere: unable to find preamble magic value\n"
                "tool: unable to find preamble magic value\n");
  EXPECT_NE(r.out.find("Feature: NAME=notes.txt"), std::string::npos);
  // An archive without the execute bit is listed by its name.
  chmod((dir / "a.run").c_str(), 0644);
  EXPECT_EQ(list({"./a.run"}).status, 0);
  EXPECT_EQ(list({"a.run"}).status, 0);
}

TEST_F(Listing, ABadGzipHeaderFailsBeforeAnythingIsPrinted) {
  std::string raw = test::read_file(test::build_archive(dir, "raw.run", {"-a", "notes.txt"}));
  raw.replace(raw.find("NOCOMPR,"), 8, "XOCOMPR,");
  test::write_file(dir / "bad.run", raw, 0755);
  Result r = list({"bad.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, std::string(test::kapsa_bin()) + ": can only handle GZIP compression method\n");
}

TEST_F(Listing, ThePlainToolListsItselfAndHasNoPreamble) {
  Result r = list({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(test::kapsa_bin()) + ": unable to find preamble magic value\n");
  test::build_archive(dir, "a.run", {"notes.txt"});
  Result u = test::kapsa({"-u", "-l", "a.run"}, opts());
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.err, r.err);
}

TEST_F(Listing, AListingThatCannotBeWrittenFails) {
  std::string a = test::build_archive(dir, "a.run", {"notes.txt"});
  struct Case {
    std::string command, err;
  } cases[] = {
      {"kapsa -l a.run > /dev/full", "stdout: No space left on device\n"},
      {"./a.run -l >&-", "stdout: Bad file descriptor\n"},
  };
  RunOptions o = opts();
  o.env["PATH"] =
      std::string(test::kapsa_bin()).substr(0, std::string(test::kapsa_bin()).rfind('/')) +
      ":/usr/bin:/bin";
  for (const Case &c : cases) {
    Result r = test::sh(c.command, o);
    EXPECT_EQ(r.status, 1) << c.command;
    EXPECT_EQ(r.err, c.err) << c.command;
  }
}

TEST_F(Listing, ADamagedPreambleIsNamedAsSuch) {
  std::string bytes = test::read_file(test::kapsa_bin()) + test::magic() + "F" + '\0' +
                      std::string(1500, 'c') + '\0' + '\0' + '\0';
  test::write_file(dir / "damaged.run", bytes, 0755);
  Result r = list({"damaged.run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "damaged.run: damaged archive: a preamble text is longer than 1023 characters\n"
            "damaged.run: unable to find preamble magic value\n");
}

TEST_F(Listing, SizesPast2GiBArePrintedWhole) {
  // A member header, a 3 GiB hole, and a trailer claiming 3.5 GiB.
  std::string head = test::read_file(test::kapsa_bin()) + test::magic() +
                     std::string("\0c\0\0\0", 5) +
                     std::string("\x1f\x8b\x08\x08\0\0\0\0\x02\x03", 10) + "big" + '\0';
  std::string path = dir / "big.run";
  test::write_file(path, head, 0755);
  const long long hole = 3LL << 30;
  uint32_t trailer[2] = {0x12345678u, 3584u << 20};
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, trailer, 8, off_t(head.size() + hole)), 8);
  close(fd);
  Result r = list({"big.run"});
  EXPECT_EQ(r.status, 0) << r.err;
  long long compressed = 10 + 4 + hole + 8;
  long long uncompressed = 3584LL << 20;
  long long tenths = (uncompressed - (compressed - 22)) / (uncompressed / 1000);
  char line[200];
  snprintf(line, sizeof line, "%9lld %9lld  %2lld.%1lld%% big\n", compressed, uncompressed,
           tenths / 10, tenths % 10);
  EXPECT_EQ(r.out.substr(r.out.find(header) + header.size()), line);
  EXPECT_EQ(std::string(line), "3221225494 3758096384  14.2% big\n");
}

}  // namespace
