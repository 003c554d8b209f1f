// Writing the preamble and finding it again: the streaming magic search,
// the preamble texts, and files that are not archives.
#include "archive/preamble.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support.h"

using namespace kapsa;
using test::TempDir;

namespace {

struct Locator : testing::Test {
  off_t unused = 0;
  Preamble preamble = {};  // what the locator read
  // The locator, for the messages of "kapsa".
  int find_preamble(const char *name, bool as_named, off_t *offset) {
    return kapsa::find_preamble(name, as_named, &preamble, offset, "kapsa");
  }
  int write_preamble(const char *extractor, int fd) {
    Sink sink = sink_to(fd, "stdout", "kapsa");
    return kapsa::write_preamble(extractor, preamble, sink, "kapsa");
  }
  // Writes data to a file (executable, so that it is located) and runs the
  // locator on it; returns the descriptor's position or -1.
  off_t find(const std::string &data) {
    std::string path = dir / "archive";
    test::write_file(path, data, 0755);
    off_t offset = -1;
    int fd = find_preamble(path.c_str(), false, &offset);
    if (fd < 0) return -1;
    off_t pos = lseek(fd, 0, SEEK_CUR);
    EXPECT_EQ(pos, offset);
    close(fd);
    return pos;
  }
  static std::string texts(const std::string &f, const std::string &c, const std::string &r,
                           const std::string &e) {
    return f + '\0' + c + '\0' + r + '\0' + e + '\0';
  }
  TempDir dir;
  const std::string magic = test::magic();
};

TEST(Magic, IsElevenFixedBytesAndNeverInTheProgramsFiles) {
  EXPECT_EQ(test::magic(), std::string("kapsa+ma") + "gik");
  for (const char *bin : {test::kapsa_bin(), "/proc/self/exe"}) {
    std::string image = test::read_file(bin);
    ASSERT_GT(image.size(), 10000u) << bin;
    EXPECT_EQ(image.find(test::magic()), std::string::npos) << bin << " holds the magic";
  }
}

TEST_F(Locator, ReadsTheFourTextsAndStopsAtThePayload) {
  std::string head =
      "\x7f"
      "ELF image bytes";
  off_t pos =
      find(head + magic + texts("NOCOMPR,NAME=x", "note", "run it", "tar xf -") + "PAYLOAD");
  EXPECT_EQ(pos, off_t(head.size() + magic.size() + 36));
  EXPECT_STREQ(preamble.features, "NOCOMPR,NAME=x");
  EXPECT_STREQ(preamble.comment, "note");
  EXPECT_STREQ(preamble.run_command, "run it");
  EXPECT_STREQ(preamble.extract_command, "tar xf -");
}

TEST_F(Locator, FindsTheMagicWhereverItStands) {
  // At the very start, at the very end, across the boundary of two reads of
  // 8,191 bytes, and the first of two occurrences.
  EXPECT_EQ(find(magic), off_t(magic.size()));
  EXPECT_STREQ(preamble.features, "");
  for (size_t split = 1; split < magic.size(); split++) {
    std::string head(8191 - split, 'x');
    EXPECT_EQ(find(head + magic + texts("F", "", "", "")), off_t(8191 - split + 11 + 5)) << split;
    EXPECT_STREQ(preamble.features, "F");
  }
  std::string twice =
      "ab" + magic + texts("first", "", "", "") + magic + texts("second", "", "", "");
  EXPECT_EQ(find(twice), off_t(2 + 11 + 9));
  EXPECT_STREQ(preamble.features, "first");
}

TEST_F(Locator, APartialMatchThatBreaksDoesNotHideTheTrueOne) {
  // "kapsa" and "k" directly before the magic, a prefix broken by the first
  // byte of the magic, and a broken partial match split across two reads.
  for (std::string prefix :
       {std::string("k"), magic.substr(0, 5), magic.substr(0, 9), magic.substr(0, 9) + "k",
        std::string(8185, 'z') + magic.substr(0, 7)}) {
    off_t pos = find(prefix + magic + texts("ok", "", "", ""));
    EXPECT_EQ(pos, off_t(prefix.size() + 11 + 6)) << prefix.size();
    EXPECT_STREQ(preamble.features, "ok");
  }
}

TEST_F(Locator, FilesWithoutACompleteMagicGiveMinusOneSilently) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(find(""), -1);
  EXPECT_EQ(find(magic.substr(0, 10)), -1);
  EXPECT_EQ(find("kapsa kapsa+" + magic.substr(0, 10)), -1);
  EXPECT_EQ(find(std::string(100000, 'k')), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(find(std::string(11, 'x')), -1);
}

TEST_F(Locator, AMissingNulEndsTheTextAtTheEndOfTheFile) {
  std::string data = magic + std::string("FEAT") + '\0' + "comm";
  EXPECT_EQ(find(data), off_t(data.size()));
  EXPECT_STREQ(preamble.features, "FEAT");
  EXPECT_STREQ(preamble.comment, "comm");
  EXPECT_STREQ(preamble.run_command, "");
  EXPECT_STREQ(preamble.extract_command, "");
}

TEST_F(Locator, ATextOf1023CharactersFitsAndOneOf1024MarksTheArchiveDamaged) {
  std::string fits(1023, 'c');
  EXPECT_GE(find(magic + texts("", fits, "r", "")), 0);
  EXPECT_EQ(std::string(preamble.comment), fits);
  EXPECT_STREQ(preamble.run_command, "r");
  EXPECT_EQ(preamble.damaged, 0);
  std::string too_long(1024, 'c');
  EXPECT_EQ(find(magic + texts("", too_long, "rm -rf /tmp/x", "")), -1);
  EXPECT_EQ(preamble.damaged, 1);
  EXPECT_EQ(strlen(preamble.comment), 1023u);
  EXPECT_STREQ(preamble.run_command, "");  // nothing after the bad text is taken
}

TEST_F(Locator, NonRegularFilesAreNotArchives) {
  std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/null", (dir / "null").c_str()), 0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(find_preamble(dir.path.c_str(), false, &unused), -1);
  EXPECT_EQ(find_preamble("./null", false, &unused),
            -1);  // a name with a leading "." skips the execute test
  EXPECT_EQ(find_preamble(fifo.c_str(), false, &unused),
            -1);  // must not block waiting for a writer
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(err, "");
}

TEST_F(Locator, ANameThatCannotBeLocatedOrOpenedIsReported) {
  std::string plain = dir / "plain";
  test::write_file(plain, magic + texts("", "", "", ""), 0644);
  testing::internal::CaptureStderr();
  EXPECT_EQ(find_preamble(plain.c_str(), false, &unused), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kapsa: unable to find kapsa to build preamble\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(find_preamble("./no/such/file", false, &unused), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "./no/such/file: No such file or directory\n");
}

TEST_F(Locator, WritePreambleWritesImageMagicAndTexts) {
  std::string image = "#!/bin/sh\nexit 0\n";
  test::write_file(dir / "ex", image, 0755);
  strcpy(preamble.comment, "Self-Extracting archive file");
  std::string out_path = dir / "out";
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(out, 0);
  ASSERT_EQ(write_preamble((dir / "ex").c_str(), out), 0);
  close(out);
  std::string written = test::read_file(out_path);
  EXPECT_EQ(written.size(), image.size() + 43);
  EXPECT_EQ(written, image + magic + texts("", "Self-Extracting archive file", "", ""));
}

TEST_F(Locator, WritePreambleReportsAMissingOrUnusableExtractor) {
  test::write_file(dir / "noexec", "data", 0644);
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_preamble((dir / "noexec").c_str(), 1), -1);
  EXPECT_EQ(write_preamble(("./" + std::string("no-such-extractor")).c_str(), 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kapsa: unable to find kapsa to build preamble\n"
            "./no-such-extractor: No such file or directory\n");
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  test::write_file(dir / "ex", "image", 0755);
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_preamble((dir / "ex").c_str(), full), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "stdout: No space left on device\n");
  close(full);
}

}  // namespace
