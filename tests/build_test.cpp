// The command line of the real binary: usage texts, option errors, exit
// statuses, and the bytes of a raw archive.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support.h"

using test::kapsa;
using test::Result;
using test::RunOptions;
using test::TempDir;

namespace {

const std::string version = "Version: @(#) kapsa 1.2    5/17/2001 \n";

std::string build_usage(const std::string &name) {
  return version + "Usage: " + name +
         " [-huclva] [-p kapsa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
         "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] <files...>\n";
}

std::string extract_usage(const std::string &name, const std::string &comment) {
  return version + "\n" + comment + "\n\nUsage: " + name + " [-hclnvtx]\n" +
         "    -h: show this help\n"
         "    -u: use as utility to decompress archive specified on command-line\n"
         "    -l: list compression statistics\n"
         "    -c: extract to stdout instead of archive name\n"
         "    -x: extract only. do not deflate the archive\n"
         "    -n: do not run install command after deflating archive\n"
         "    -t: temp path for decompression if archive allows\n"
         "    -v: verbose output\n";
}

struct Cli : testing::Test {
  RunOptions in_dir() {
    RunOptions o;
    o.cwd = dir.path;
    return o;
  }
  RunOptions as_kapsa() {
    RunOptions o = in_dir();
    o.argv0 = "kapsa";
    o.env["PATH"] =
        std::string(test::kapsa_bin()).substr(0, std::string(test::kapsa_bin()).rfind('/'));
    return o;
  }
  TempDir dir;
};

TEST_F(Cli, NoArgumentsPrintsTheUsageAndAsksForFiles) {
  Result r = kapsa({}, as_kapsa());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, build_usage("kapsa") + "kapsa: what files do you want to compress?\n");
}

TEST_F(Cli, HelpAndOptionErrorsPrintTheUsageAndExit1) {
  for (auto args : std::vector<std::vector<std::string>>{{"-h"}, {"-?"}, {"-v", "-h", "f"}}) {
    Result r = kapsa(args, as_kapsa());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, build_usage("kapsa"));
  }
  Result bad = kapsa({"-z"}, as_kapsa());
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "kapsa: invalid option -- 'z'\n" + build_usage("kapsa"));
  Result missing = kapsa({"-C"}, as_kapsa());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "kapsa: option requires an argument -- 'C'\n" + build_usage("kapsa"));
  Result u = kapsa({"-u", "-h"}, as_kapsa());
  EXPECT_EQ(u.err, extract_usage("kapsa", ""));
}

TEST_F(Cli, HelpAndVersionAskedForGoToStandardOutput) {
  test::write_file(dir / "f", "x");
  std::string a = test::build_archive(dir, "a.run", {"-C", "the comment", "f"});
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {test::kapsa_bin(), {"--version"}, version},
      {a, {"--version"}, version},
  };
  for (const Case &c : cases) {
    Result r = test::run(c.program, c.args, in_dir());
    EXPECT_EQ(r.status, 0) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.err, "") << c.args[0];
  }
}

TEST_F(Cli, RawArchiveHoldsImageMagicFeaturesTextsAndFiles) {
  test::write_file(dir / "f1", "first file\n");
  test::write_file(dir / "f2", std::string("second\0file", 11));
  std::string a = test::build_archive(dir, "a.run",
                                      {"-a", "-C", "note", "-V", "/opt", "-S", "sub", "f1", "f2"});
  std::string image = test::read_file(test::kapsa_bin());
  std::string expected = image + test::magic() + "NOCOMPR,VFYFS=/opt,FSSUB=sub,NAME=f1" + '\0' +
                         "note" + '\0' + '\0' + '\0' + "first file\n" +
                         std::string("second\0file", 11);
  EXPECT_TRUE(test::read_file(a) == expected) << "archive bytes differ";

  Result help = test::run(a, {"-h"}, in_dir());
  EXPECT_EQ(help.status, 1);
  EXPECT_EQ(help.err, extract_usage(a, "note"));
}

TEST_F(Cli, LevelAndThreadsTakeWholeNumbersInRange) {
  test::write_file(dir / "f", test::text_bytes(300000, 9));
  struct Bad {
    const char *option, *line;
  } bad[] = {
      {"--level=0", "kapsa: invalid --level value: '0' (1 to 12)\n"},
      {"--level=13", "kapsa: invalid --level value: '13' (1 to 12)\n"},
      {"--level=+5", "kapsa: invalid --level value: '+5' (1 to 12)\n"},
      {"--level=5x", "kapsa: invalid --level value: '5x' (1 to 12)\n"},
      {"--level=", "kapsa: invalid --level value: '' (1 to 12)\n"},
      {"--threads=0", "kapsa: invalid --threads value: '0' (1 to 256)\n"},
      {"--threads=257", "kapsa: invalid --threads value: '257' (1 to 256)\n"},
      {"--threads=99999999999999999999",
       "kapsa: invalid --threads value: '99999999999999999999' (1 to 256)\n"},
      {"--threads", "kapsa: option '--threads' requires an argument\n"},
  };
  for (const Bad &b : bad) {
    Result r = kapsa({"-C", "c", b.option}, as_kapsa());
    EXPECT_EQ(r.status, 1) << b.option;
    EXPECT_EQ(r.out, "") << b.option;
    EXPECT_EQ(r.err, b.line + build_usage("kapsa")) << b.option;
  }
  // The level changes the payload and the thread count does not; on text
  // of many kinds of bytes the default is level 9.  An archive accepts and
  // ignores both.
  auto payload = [&](const std::vector<std::string> &args) {
    return test::payload_of(test::read_file(test::build_archive(dir, "a.run", args)));
  };
  std::string fast = payload({"--level=1", "f"});
  std::string small = payload({"--level", "12", "--threads=1", "f"});
  EXPECT_LT(small.size(), fast.size());
  EXPECT_TRUE(payload({"--level=12", "--threads", "2", "f"}) == small);
  test::write_file(dir / "prose", test::read_file(KAPSA_SOURCE_DIR "/README.md"));
  EXPECT_TRUE(payload({"--level=9", "prose"}) == payload({"prose"}));
  payload({"f"});
  Result x = test::run(dir / "a.run", {"--level=3", "--threads=1", "-x"}, in_dir());
  EXPECT_EQ(x.status, 0) << x.err;
  EXPECT_TRUE(x.out == test::read_file(dir / "f"));
}

TEST_F(Cli, OptionsStopAtTheFirstFileArgument) {
  test::write_file(dir / "f", "x");
  RunOptions o = in_dir();
  o.stdout_file = dir / "a.run";
  Result r = kapsa({"-a", "f", "-a"}, o);
  EXPECT_EQ(r.status, 1);  // "-a" is an input file, and there is none of that name
  EXPECT_EQ(r.err, "-a: No such file or directory\n");
  test::write_file(dir / "-a", "y");
  r = kapsa({"-a", "f", "-a"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string archive = test::read_file(dir / "a.run");
  EXPECT_NE(archive.find("NOCOMPR,NAME=f"), std::string::npos);
  EXPECT_EQ(archive.substr(archive.size() - 2), "xy");
}

// A first argument ending in "/" is a directory: packed alone, it is a tree
// named after it; with other inputs the build is refused.
TEST_F(Cli, AFirstFileEndingInSlashIsATreeOrRefused) {
  mkdir((dir / "d").c_str(), 0755);
  test::write_file(dir / "f", "x");
  RunOptions o = as_kapsa();
  o.stdout_file = dir / "a.run";
  Result r = kapsa({"-a", "d/", "f"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "d/: a directory is packed alone: kapsa [options] d/ > app.run\n");
  EXPECT_EQ(test::read_file(dir / "a.run"), "");
  r = kapsa({"-a", "d/"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(test::read_file(dir / "a.run").find(std::string("NOCOMPR,TREE,NAME=d,SIZE=10240") + '\0'),
            std::string::npos);
}

TEST_F(Cli, AFailingWriteFailsTheBuild) {
  test::write_file(dir / "f1", "data");
  RunOptions o = in_dir();
  o.stdout_file = "/dev/full";
  Result r = kapsa({"-a", "f1"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "stdout: No space left on device\n");
}

TEST_F(Cli, AMissingInputIsReportedAndTheBuildWritesNothing) {
  test::write_file(dir / "f1", "payload-bytes");
  RunOptions o = in_dir();
  o.stdout_file = dir / "a.run";
  Result r = kapsa({"-a", "nosuch", "f1"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "nosuch: No such file or directory\n");
  EXPECT_EQ(test::read_file(dir / "a.run"), "");
}

TEST_F(Cli, ABuildNeverReadsItsOwnOutput) {
  test::write_file(dir / "f1", "payload-bytes");
  // The second run of `kapsa -a * > pkg.run` finds pkg.run among its inputs
  // (a file size limit stops a build that would feed on itself).
  Result r = test::sh("ulimit -f 20000; '" + std::string(test::kapsa_bin()) +
                          "' -a * > pkg.run && '" + test::kapsa_bin() + "' -a * > pkg.run",
                      in_dir());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pkg.run: input file is the archive being written\n");
  EXPECT_EQ(test::read_file(dir / "pkg.run"), "");  // refused before anything was written
}

TEST_F(Cli, ABuildWarnsOfFilesAnExtractionWillNotUnpackAndRefusesATerminal) {
  test::write_file(dir / "f1", "one");
  test::write_file(dir / "f2", "two");
  struct Case {
    std::vector<std::string> args;
    std::string err;
    int status;
  } cases[] = {
      {{"f1", "f2"},
       "kapsa: warning: an extraction unpacks only the first file; not unpacked: f2 (pack the "
       "files into one file, a tar, first)\n",
       0},
      {{"f1", "nosuch", "f2"}, "nosuch: No such file or directory\n", 1},  // nothing written
      {{"-a", "f1", "f2"}, "", 0},  // a raw payload streams every file
      {{"nosuch", "f1"}, "nosuch: No such file or directory\n", 1},  // one member only
  };
  for (const Case &c : cases) {
    RunOptions o = as_kapsa();
    o.stdout_file = dir / "a.run";
    Result r = kapsa(c.args, o);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
  }
  Result tty = test::run_on_terminal(test::kapsa_bin(), {"f1"}, "", dir.path);
  EXPECT_EQ(tty.status, 1);
  EXPECT_EQ(tty.out, std::string(test::kapsa_bin()) +
                         ": an archive is not written to a terminal: redirect the output to a "
                         "file\n");
}

TEST_F(Cli, OverLongTextsAreRefusedNotCut) {
  std::string long_text(1024, 'x');
  test::write_file(dir / "f", "x");
  for (const char *opt : {"-C", "-r", "-f", "-p"}) {
    Result r = kapsa({opt, long_text, "f"}, as_kapsa());
    EXPECT_EQ(r.status, 1) << opt;
    EXPECT_EQ(r.out, "") << opt;
    EXPECT_EQ(r.err,
              std::string("kapsa: argument of ") + opt + " too long (at most 1023 characters)\n");
  }
  Result t = kapsa({"-u", "-t", long_text, "f"}, as_kapsa());
  EXPECT_EQ(t.status, 1);
  EXPECT_EQ(t.err, "kapsa: argument of -t too long (at most 1023 characters)\n");

  std::string value(250, 'v');
  Result item = kapsa({"-V", value, "f"}, as_kapsa());
  EXPECT_EQ(item.status, 1);
  EXPECT_EQ(item.err,
            "kapsa: feature item too long (at most 255 characters): VFYFS=" + value + "\n");
  std::vector<std::string> many;
  for (int i = 0; i < 5; i++) many.insert(many.end(), {"-S", std::string(200, 's')});
  many.push_back("f");
  Result list = kapsa(many, as_kapsa());
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.err, "kapsa: feature list too long (at most 1023 characters)\n");
}

TEST_F(Cli, ExtractModeOptionsSeeTheModeInForce) {
  // -t before -u is ignored by the plain tool; after -u it is taken (and
  // checked).  -V and -S consume their argument in extract mode.
  std::string long_text(2000, 't');
  Result before = kapsa({"-t", long_text, "-u", "-h"}, as_kapsa());
  EXPECT_EQ(before.err, extract_usage("kapsa", ""));
  Result comment = kapsa({"-u", "-C", "shown", "-V", "x", "-S", "y", "-a", "-h"}, as_kapsa());
  EXPECT_EQ(comment.err, extract_usage("kapsa", "shown"));
  Result no_file = kapsa({"-u"}, as_kapsa());
  EXPECT_EQ(no_file.status, 1);
  EXPECT_EQ(no_file.err, extract_usage("kapsa", "Self-Extracting archive file"));
}

TEST_F(Cli, ABuildWithoutALocatableProgramStops) {
  test::write_file(dir / "f", "x");
  RunOptions o = in_dir();
  o.stdout_file = dir / "a.run";
  Result r = kapsa({"-p", "no-such-extractor", "f"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(test::kapsa_bin()) + ": unable to find kapsa to build preamble\n");
  EXPECT_EQ(test::read_file(dir / "a.run"), "");
}

TEST_F(Cli, AProgramOfTheSameNameInTheCurrentDirectoryIsNotTakenForTheRunningOne) {
  // An archive named "kapsa" in the current directory must neither turn the
  // plain tool into an extractor nor become the image of a build.
  test::write_file(dir / "f", "x");
  std::string other = test::build_archive(dir, "other.run", {"-a", "-C", "other", "f"});
  rename(other.c_str(), (dir / "kapsa").c_str());
  RunOptions o = as_kapsa();
  o.stdout_file = dir / "new.run";
  Result r = kapsa({"-a", "f"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string image = test::read_file(test::kapsa_bin());
  EXPECT_EQ(test::read_file(dir / "new.run").substr(0, image.size()), image);
}

}  // namespace
