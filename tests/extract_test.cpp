// Extraction with the real binary: archives run in fresh directories, with
// exact stdout, stderr, status and files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "extract/command.h"
#include "support.h"

using test::Result;
using test::RunOptions;
using test::TempDir;

namespace {

const std::string banner = "\nSelf-Extracting archive file\n\nPlease wait...\n";

struct Extract : testing::Test {
  void SetUp() override {
    mkdir(src.c_str(), 0755);
    mkdir(out.c_str(), 0755);
    test::write_file(src + "/notes.txt", notes);
    test::write_file(src + "/more.bin", more);
  }
  // Builds an archive from files in src; returns its path.
  std::string archive(const std::vector<std::string> &args, const std::string &name = "a.run") {
    return test::build_archive(dir, name, args);
  }
  // Runs the archive in the empty directory out.
  Result run(const std::string &archive, const std::vector<std::string> &args = {},
             const std::string &input = "") {
    RunOptions o = test::at(out);
    o.input = input;
    if (input.empty()) o.input_devnull = true;
    return test::run(archive, args, o);
  }
  std::string in_out(const std::string &name) { return test::read_file(out + "/" + name); }

  TempDir dir;
  std::string src = dir.path, out = dir / "out";
  std::string notes = test::text_bytes(300000, 5), more = test::random_bytes(70000, 6);
};

TEST_F(Extract, ACompressedArchiveWritesItsStoredNameInTheCurrentDirectory) {
  std::string a = archive({"notes.txt"});
  Result r = run(a);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, banner);
  EXPECT_TRUE(in_out("notes.txt") == notes);
  // -c: the stored name is not used; the payload goes to "stdout" through
  // the extract command.  -u: the named archive is extracted.
  Result c = run(a, {"-c"});
  EXPECT_EQ(c.status, 0) << c.err;
  EXPECT_TRUE(in_out("stdout") == notes);
  unlink((out + "/notes.txt").c_str());
  Result u = test::kapsa({"-u", a, "ignored"}, test::at(out));
  EXPECT_EQ(u.status, 0) << u.err;
  EXPECT_TRUE(in_out("notes.txt") == notes);
}

TEST_F(Extract, ExtractOnlyWritesToStdoutAndRunsNothing) {
  std::string a = archive({"-C", "", "-r", "touch ran", "notes.txt"});
  Result r = run(a, {"-x", "-v"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == notes);
  EXPECT_EQ(r.err, banner + "Deflating notes.txt...\n");
  EXPECT_FALSE(test::exists(out + "/ran"));
  EXPECT_FALSE(test::exists(out + "/notes.txt"));
}

TEST_F(Extract, AnEmptyCommentIsNotShown) {
  // -C "" leaves the comment empty, and the build gives it the default; a
  // hand-made archive can carry an empty one.
  std::string member = test::payload_of(test::read_file(archive({"notes.txt"})));
  std::string hand =
      test::read_file(test::kapsa_bin()) + test::magic() + std::string("\0\0\0\0", 4) + member;
  test::write_file(dir / "hand.run", hand, 0755);
  Result r = run(dir / "hand.run");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(in_out("notes.txt") == notes);
}

TEST_F(Extract, ARawArchiveTakesItsNameFromTheFeatureListAndStreamsAllFiles) {
  std::string a = archive({"-a", "-C", "raw one", "notes.txt", "more.bin"});
  Result r = run(a, {"-v"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "\nraw one\n\nPlease wait...\nDeflating notes.txt...\n");
  EXPECT_TRUE(in_out("notes.txt") == notes + more);
}

// Every kind of payload takes its output name the same way: the stored
// name (gzip) or the NAME item read as a whole item (an -S value holding
// "NAME=" names nothing), and "stdout" under -c.
TEST_F(Extract, EveryKindNamesItsOutputAlikeAndObeysMinusC) {
  struct Case {
    const char *kind;
    std::vector<std::string> args;
  } cases[] = {{"gzip", {}}, {"zstd", {"--zstd=1"}}, {"raw", {"-a"}}};
  for (const Case &c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-S", "NAME=evil", "notes.txt"});
    std::string a = archive(args);
    for (const char *flag : {"", "-c"}) {
      SCOPED_TRACE(std::string(c.kind) + " " + flag);
      test::remove_tree(out);
      mkdir(out.c_str(), 0755);
      Result r = run(a, *flag ? std::vector<std::string>{flag} : std::vector<std::string>{});
      EXPECT_EQ(r.status, 0) << r.err;
      const char *written = *flag ? "stdout" : "notes.txt";
      EXPECT_TRUE(in_out(written) == notes);
      EXPECT_FALSE(test::exists(out + "/evil"));
      EXPECT_FALSE(test::exists(out + (*flag ? "/notes.txt" : "/stdout")));
    }
  }
}

TEST_F(Extract, AnEmptyRawPayloadFailsWithoutAMessage) {
  test::write_file(src + "/empty", "");
  std::string a = archive({"-a", "-C", "c", "-r", "touch ran", "empty"});
  Result r = run(a);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nc\n\nPlease wait...\n");
  EXPECT_FALSE(test::exists(out + "/ran"));
}

TEST_F(Extract, OnlyTheFirstMemberIsExtracted) {
  std::string a = archive({"more.bin", "notes.txt"});
  Result r = run(a);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(in_out("more.bin") == more);
  EXPECT_FALSE(test::exists(out + "/notes.txt"));
}

TEST_F(Extract, ARealInstallerArrivesWholeBeforeItsPostInstallRuns) {
  // A tree with an install script that checks the tree and records the
  // environment it was given.
  std::string tree = dir / "pkg";
  mkdir(tree.c_str(), 0755);
  mkdir((tree + "/lib").c_str(), 0755);
  test::write_file(tree + "/lib/big.dat", test::random_bytes(2 << 20, 9));
  test::write_file(tree + "/README", notes);
  test::write_file(tree + "/install.sh",
                   "set -e\n"
                   "test -f pkg/lib/big.dat\n"
                   "cmp -s pkg/lib/big.dat pkg/lib/big.dat\n"
                   "echo run >> installs.log\n"
                   "env | grep -E '^(NAME|VFYFS|FSSUB|NOCOMPR|CUSTOM|EMPTY)=' | sort > env.txt\n",
                   0755);
  ASSERT_EQ(test::sh("tar cf pkg.tar pkg", test::at(dir.path)).status, 0);
  std::string a = archive(
      {"-f", "tar xf -", "-r", "sh ./pkg/install.sh", "-S", "sub,CUSTOM=a=b,EMPTY", "pkg.tar"});
  Result r = run(a);
  EXPECT_EQ(r.status, 0) << r.err;
  Result diff = test::sh("diff -r " + tree + " " + out + "/pkg");
  EXPECT_EQ(diff.status, 0) << diff.out;
  EXPECT_EQ(in_out("installs.log"), "run\n");
  EXPECT_EQ(in_out("env.txt"), "CUSTOM=a=b\nEMPTY=\nFSSUB=sub\nNAME=pkg.tar\n");
}

TEST_F(Extract, VerboseWithoutATerminalShowsTheCommandButDoesNotRunIt) {
  std::string a = archive({"-r", "touch ran", "notes.txt"});
  Result r = run(a, {"-v"}, "y\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "This archive requires more processing using the following command:\n"
            "    touch ran\n"
            "but stdin is not a terminal. So forget it.\n");
  EXPECT_EQ(r.err, banner + "Deflating notes.txt...\n");
  EXPECT_FALSE(test::exists(out + "/ran"));
}

TEST_F(Extract, TheVerboseQuestionOnATerminal) {
  std::string a = archive({"-C", "", "-r", "echo ran >> log", "notes.txt"});
  const std::string asked = banner +
                            "Deflating notes.txt...\n"
                            "This archive requires more processing using the following command:\n"
                            "    echo ran >> log\n"
                            "OK to run the command? ";
  struct Case {
    std::string input, after_question;
    bool runs;
  } cases[] = {
      {"y\n", "", true},
      {"No thanks\n", "", false},
      {"maybe\nYes\n", "\n? (y/n): ", true},
      {"\x04", "", false},  // end of input counts as no
  };
  for (const Case &c : cases) {
    unlink((out + "/log").c_str());
    Result r = test::run_on_terminal(a, {"-v"}, c.input, out);
    EXPECT_EQ(r.status, 0) << c.input;
    EXPECT_EQ(r.out.substr(0, asked.size()), asked) << r.out;
    EXPECT_EQ(r.out.substr(std::min(asked.size(), r.out.size())), c.after_question) << c.input;
    EXPECT_EQ(test::exists(out + "/log"), c.runs) << c.input;
  }
}

TEST_F(Extract, AFailureAfterTheAnswerYesIsNotReportedButFailsTheRun) {
  std::string a = archive({"-r", "exit 3", "notes.txt"});
  Result r = test::run_on_terminal(a, {"-v"}, "y\n", out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.substr(r.out.size() - std::min<size_t>(r.out.size(), 23)),
            "OK to run the command? ");
}

TEST_F(Extract, APostInstallFailureIsReportedAndFailsTheRun) {
  std::string a = archive({"-C", "", "-r", "exit 3", "notes.txt"});
  Result r = run(a);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, banner + a + ": final processing of notes.txt failed\nCommand: exit 3\n");
  // Killed by a signal: no message, but not a success either.
  std::string k = archive({"-C", "", "-r", "kill -9 $$", "notes.txt"}, "k.run");
  Result killed = run(k);
  EXPECT_EQ(killed.status, 1);
  EXPECT_EQ(killed.err, banner);
  // -n: the post-install command does not run.
  Result n = run(a, {"-n"});
  EXPECT_EQ(n.status, 0) << n.err;
}

TEST_F(Extract, AFailingExtractCommandIsAFailedRun) {
  // Small payload: the command takes it and fails; large payload into a
  // command that reads nothing: the run must end, non-zero, not hang.
  std::string small = archive({"-C", "", "-f", "cat > /dev/full", "-r", "touch ran", "more.bin"});
  Result r = run(small);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, banner + "cat: write error: No space left on device\n" + small +
                       ": extraction command failed: cat > /dev/full\n");
  EXPECT_FALSE(test::exists(out + "/ran"));
  for (const char *command : {"true", "head -c 10 > f", "exit 0"}) {
    std::string big = archive({"-C", "", "-f", command, "-r", "touch ran", "notes.txt"}, "big.run");
    Result b = run(big);
    EXPECT_EQ(b.status, 1) << command;
    EXPECT_EQ(b.err, banner + "\n" + big + ": notes.txt: Broken pipe\n") << command;
    EXPECT_FALSE(test::exists(out + "/ran")) << command;
  }
}

TEST_F(Extract, ACommandThatEndsEarlyIsReportedByItsStatusNotByTiming) {
  // The payload is larger than a pipe holds, so the run meets the broken pipe
  // whether or not the command has been reaped yet: its status decides.
  for (const char *command : {"exit 3", "head -c 10 > f; exit 4"}) {
    std::string a = archive({"-C", "", "-f", command, "-r", "touch ran", "notes.txt"});
    for (int i = 0; i < 3; i++) {
      Result r = run(a);
      EXPECT_EQ(r.status, 1) << command;
      EXPECT_EQ(r.err, banner + a + ": extraction command failed: " + command + "\n") << command;
      EXPECT_FALSE(test::exists(out + "/ran")) << command;
    }
  }
}

TEST_F(Extract, ABadGzipHeaderIsAnUnknownMethod) {
  std::string raw = test::read_file(archive({"-a", "-C", "", "notes.txt"}));
  raw.replace(raw.find("NOCOMPR,"), 8, "XOCOMPR,");
  test::write_file(dir / "bad.run", raw, 0755);
  Result r = run(dir / "bad.run");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir / "bad.run: can only handle GZIP compression method\n" +
                       dir / "bad.run: unknown compression method\n");
}

TEST_F(Extract, NoPreambleAndADamagedOneAreRefused) {
  Result plain = test::kapsa({"-u", "notes.txt"}, test::at(src));
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err, "notes.txt: unable to find preamble magic value\n");
  std::string bytes =
      test::read_file(test::kapsa_bin()) + test::magic() + std::string(1030, 'f') + '\0';
  test::write_file(dir / "damaged.run", bytes, 0755);
  Result d = run(dir / "damaged.run");
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.err,
            dir / "damaged.run: damaged archive: a preamble text is longer than 1023 characters\n" +
                dir / "damaged.run: unable to find preamble magic value\n");
}

TEST_F(Extract, TheDefaultCommandWorksInAnyDirectoryAndForAnyName) {
  std::string odd_dir = dir / "dir with 'quotes' and $x";
  mkdir(odd_dir.c_str(), 0755);
  std::string odd_name = "it's $HOME & `date`.txt";
  test::write_file(src + "/" + odd_name, "odd\n");
  std::string a = archive({odd_name});
  Result r = test::run(a, {}, test::at(odd_dir));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(odd_dir + "/" + odd_name), "odd\n");
  std::string raw = archive({"-a", odd_name}, "raw.run");
  unlink((odd_dir + "/" + odd_name).c_str());
  r = test::run(raw, {}, test::at(odd_dir));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(odd_dir + "/" + odd_name), "odd\n");
  // The listing still shows the template.
  EXPECT_NE(test::run(a, {"-l"}).out.find("Extract: cat > %p/%o\n"), std::string::npos);
}

TEST_F(Extract, ACommandThatCannotBeStartedIsReported) {
  std::string a = archive({"-C", "", "-f", "cat > x", "notes.txt"});
  // No descriptor left for the pipe.
  Result r = test::sh("ulimit -n 4 && exec '" + a + "'", test::at(out));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cat > x: Too many open files\n");
}

// Command expansion, in this process.
struct Expand : testing::Test {
  void SetUp() override { ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr); }
  std::string expand(const std::string &command, bool quote = false) {
    char *e = kapsa::expand_command(command.c_str(), name.c_str(), "a.run", quote);
    std::string s = e ? e : "<null>";
    free(e);
    return s;
  }
  char cwd[4096];
  std::string name = "data.tar";  // the payload's
};

TEST_F(Expand, SubstitutesNameAndDirectoryAndKeepsOtherPercents) {
  EXPECT_EQ(expand("cat > %p/%o"), std::string("cat > ") + cwd + "/data.tar");
  EXPECT_EQ(expand("100%% %x %o%"), "100%% %x data.tar%");
  EXPECT_EQ(expand("%%o and %%p"), "%%o and %%p");
  EXPECT_EQ(expand(""), "");
  name = "it's";
  EXPECT_EQ(expand("cat > %o", true), "cat > 'it'\\''s'");
}

TEST_F(Expand, AnExpansionPast2047CharactersIsRefusedNotCut) {
  std::string fits(2047 - strlen("data.tar"), 'x');
  EXPECT_EQ(expand(fits + "%o").size(), 2047u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(expand(fits + "x%o"), "<null>");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.substr(0, err.find(':') + 1), "a.run:");
  EXPECT_NE(err.find("longer than 2047 characters"), std::string::npos);
}

}  // namespace
