// Checking before installing: --check in both modes, archives built with
// --verify, true sizes past 4 GiB, and the progress line on a terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support.h"

using test::Result;
using test::RunOptions;
using test::TempDir;

namespace {

struct Check : testing::Test {
  void SetUp() override {
    test::write_file(dir / "notes.txt", test::text_bytes(200000, 7));
    std::string good = test::read_file(test::build_archive(dir, "good.run", {"notes.txt"}));
    test::build_archive(dir, "raw.run", {"-a", "notes.txt"});
    auto damaged = [&](const std::string &name, std::string bytes) {
      test::write_file(dir / name, bytes, 0755);
    };
    std::string crc = good, length = good;
    crc[crc.size() - 8] ^= 1;
    length[length.size() - 4] ^= 1;
    damaged("crc.run", crc);
    damaged("length.run", length);
    damaged("cut.run", good.substr(0, good.size() - 1000));
    test::write_file(dir / "plain", "not an archive\n", 0755);
  }
  // The files of dir, to show that a check writes none.
  std::string files() { return test::sh("ls -A", test::at(dir.path)).out; }
  TempDir dir;
};

TEST_F(Check, ChecksEveryArchiveInBothModesAndWritesNothing) {
  struct Case {
    std::string archive, out, err;
  } cases[] = {
      {"good.run", ": OK\n", ""},
      {"raw.run", ": OK (raw payload: not checked)\n", ""},
      {"crc.run", "", "invalid compressed data--crc error"},
      {"length.run", "", "invalid compressed data--length error"},
      {"cut.run", "", "unexpected end of file"},
      {"plain", "", ""},
  };
  std::string before = files();
  for (const Case &c : cases) {
    // As the plain tool, naming the archive; as the archive itself.
    for (bool self : {false, true}) {
      if (self && c.archive == "plain") continue;  // not a program
      std::string name = "./" + c.archive;
      Result r = self ? test::run(dir / c.archive, {"--check"}, test::at(dir.path))
                      : test::kapsa({"--check", name}, test::at(dir.path));
      std::string prog = self ? dir / c.archive : test::kapsa_bin();
      std::string where = c.archive + (self ? " run" : " named");
      if (!c.out.empty()) {
        EXPECT_EQ(r.status, 0) << where << r.err;
        EXPECT_EQ(r.out, (self ? prog : name) + c.out) << where;
        EXPECT_EQ(r.err, "") << where;
        continue;
      }
      EXPECT_EQ(r.status, 1) << where;
      EXPECT_EQ(r.out, "") << where;
      if (c.err.empty()) {
        EXPECT_EQ(r.err, name + ": unable to find preamble magic value\n") << where;
      } else {
        EXPECT_EQ(r.err, "\n" + prog + ": " + (self ? prog : name) + ": " + c.err + "\n") << where;
      }
    }
  }
  EXPECT_EQ(files(), before);
}

// An archive of several inputs records how many members or frames it
// holds; cut exactly where one begins, it fails the listing, the check, a
// --verify run and an extraction, and nothing runs.
TEST_F(Check, AnArchiveCutWhereAMemberBeginsIsNoWholeArchive) {
  test::write_file(dir / "two", test::text_bytes(50000, 8));
  test::write_file(dir / "three", "three\n");
  struct Kind {
    const char *name;
    std::vector<std::string> args;
  } kinds[] = {{"gzip", {}}, {"zstd", {"--zstd=1"}}};
  for (const Kind &k : kinds) {
    SCOPED_TRACE(k.name);
    auto payload = [&](const std::string &run, std::vector<std::string> args) {
      args.insert(args.begin(), k.args.begin(), k.args.end());
      return test::payload_of(test::read_file(test::build_archive(dir, run, args)));
    };
    // Each member or frame is what an archive of its input alone holds.
    size_t first = payload("1.run", {"notes.txt"}).size();
    size_t second = payload("2.run", {"two"}).size();
    std::string whole = test::read_file(test::build_archive(
        dir, "w.run",
        [&] {
          std::vector<std::string> a = k.args;
          a.insert(a.end(), {"--verify", "-f", "cat > out", "-r", "touch ran", "notes.txt",
                             "two", "three"});
          return a;
        }()));
    EXPECT_NE(whole.find(",MEMBERS=3"), std::string::npos);
    EXPECT_EQ(test::read_file(dir / "1.run").find(",MEMBERS="), std::string::npos);
    size_t head = whole.size() - test::payload_of(whole).size();
    for (size_t cut : {head + first, head + first + second}) {
      test::write_file(dir / "c.run", whole.substr(0, cut), 0755);
      const std::string eof = ": c.run: unexpected end of file\n";
      for (const char *job : {"-l", "--check"}) {
        Result r = test::kapsa({job, "c.run"}, test::at(dir.path));
        EXPECT_EQ(r.status, 1) << job;
        EXPECT_EQ(r.err, "\n" + std::string(test::kapsa_bin()) + eof) << job;
      }
      Result r = test::kapsa({"-u", "c.run"}, test::at(dir.path));
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "\n" + std::string(test::kapsa_bin()) + eof);
      EXPECT_FALSE(test::exists(dir / "out"));
      EXPECT_FALSE(test::exists(dir / "ran"));
    }
  }
}

// A check of many archives tests each in a child of its own; killed, it
// takes the child along, and no verdict comes after it.
TEST_F(Check, AKilledCheckOfSeveralArchivesLeavesNoCheckRunning) {
  std::string many;
  for (int i = 0; i < 3000; i++) many += " good.run";
  Result r = test::sh("setsid '" + std::string(test::kapsa_bin()) + "' --check" + many +
                          " > verdicts & k=$!\n"
                          "sleep 0.5; kill -TERM $k; wait $k\n"
                          "n=$(wc -l < verdicts); sleep 0.5\n"
                          "test $(wc -l < verdicts) = $n || { echo verdicts came later; exit 1; }\n"
                          "! ps -o stat= -g $k | grep -v '^Z' || { echo a check runs; exit 1; }\n",
                      test::at(dir.path));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(Check, AVerifyArchiveThatIsDamagedStartsNothing) {
  mkdir((dir / "out").c_str(), 0755);
  std::vector<std::string> args = {
      "-C",  "",          "-V",       dir / "fs", "-S",
      "app", "-t",        "",         "-f",       "touch " + dir / "started; cat > data",
      "-r",  "touch ran", "--verify", "notes.txt"};
  args.erase(args.begin() + 6, args.begin() + 8);  // no -t in a build
  std::string a = test::build_archive(dir, "v.run", args);
  mkdir((dir / "fs").c_str(), 0755);
  mkdir((dir / "tmp").c_str(), 0755);
  std::string bytes = test::read_file(a);
  EXPECT_NE(bytes.find(std::string("VERIFY,NAME=notes.txt") + '\0'), std::string::npos);
  bytes[bytes.size() - 5000] ^= 0x10;  // in the deflate data
  test::write_file(dir / "bad.run", bytes, 0755);
  RunOptions o = test::at(dir / "out");
  o.input_devnull = true;
  Result r = test::run(dir / "bad.run", {"-t", dir / "tmp"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("Please wait"), std::string::npos) << r.err;
  EXPECT_FALSE(test::exists(dir / "started"));
  EXPECT_FALSE(test::exists(dir / "fs/app"));
  EXPECT_FALSE(test::exists(dir / "tmp/app"));
  EXPECT_EQ(test::sh("ls -A", test::at(dir / "out")).out, "");
  // Undamaged, it extracts as any archive does; -x skips the check.
  Result good = test::run(a, {"-t", dir / "tmp"}, o);
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(good.err, "\nSelf-Extracting archive file\n\nPlease wait...\n");
  EXPECT_TRUE(test::read_file(dir / "out/data") == test::read_file(dir / "notes.txt"));
  EXPECT_TRUE(test::exists(dir / "out/ran"));
  Result salvage = test::run(dir / "bad.run", {"-x"}, o);
  EXPECT_EQ(salvage.status, 1);
  EXPECT_GT(salvage.out.size(), 100000u) << "what can be read is written";
}

}  // namespace

namespace {

// What a terminal shows after text: carriage returns go back to the start of
// the line, and "ESC [ K" erases from there to its end.
std::string on_screen(const std::string &text) {
  std::vector<std::string> lines(1);
  size_t col = 0;
  for (size_t i = 0; i < text.size(); i++) {
    std::string &line = lines.back();
    if (text[i] == '\r') {
      col = 0;
    } else if (text[i] == '\n') {
      lines.emplace_back();
      col = 0;
    } else if (text.compare(i, 3, "\033[K") == 0) {
      line.resize(std::min(line.size(), col));
      i += 2;
    } else {
      if (col < line.size())
        line[col] = text[i];
      else
        line += text[i];
      col++;
    }
  }
  std::string screen;
  for (size_t i = 0; i < lines.size(); i++) screen += lines[i] + (i + 1 < lines.size() ? "\n" : "");
  return screen;
}

TEST_F(Check, ALongExtractionShowsItsProgressOnATerminalOnly) {
  test::write_file(dir / "big.bin", test::random_bytes(3 << 20, 8));
  // An extract command that takes its time: about two seconds.
  std::string slow = test::build_archive(
      dir, "slow.run",
      {"-f", "for i in $(seq 48); do head -c 65536 > /dev/null; sleep 0.04; done; cat > /dev/null",
       "big.bin"});
  const std::string banner = "\nSelf-Extracting archive file\n\nPlease wait...\n";
  Result tty = test::run_on_terminal(slow, {}, "", dir.path);
  EXPECT_EQ(tty.status, 0);
  EXPECT_NE(tty.out.find("% "), std::string::npos) << "no progress line";
  EXPECT_NE(tty.out.find(" MB/s "), std::string::npos);
  EXPECT_EQ(on_screen(tty.out), banner);
  // Not a terminal: not a byte of it.  A short transfer: nothing either.
  Result file = test::run(slow, {}, test::at(dir.path));
  EXPECT_EQ(file.err, banner);
  Result quick = test::run_on_terminal(dir / "good.run", {}, "", dir.path);
  EXPECT_EQ(quick.out, banner);
}

}  // namespace
