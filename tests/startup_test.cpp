// What a new user meets first: archives read by their name, --help, the
// prerequisites script, arguments for the post-install command, quiet
// installs, texts shown as they run, and first inputs whose name cannot be
// the NAME item.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frame/args.h"
#include "support.h"

namespace {

using test::Result;
using test::RunOptions;
using test::TempDir;

const std::string version = "Version: @(#) kapsa 1.2    5/17/2001 \n";

struct FirstUse : testing::Test {
  TempDir dir;
  void SetUp() override { test::write_file(dir / "notes.txt", test::text_bytes(20000, 3)); }
  Result kapsa(const std::vector<std::string> &args) {
    return test::kapsa(args, test::at(dir.path));
  }
};

// --help begins with the usage line of its mode and gives every option of
// the option tables a line (the build options in the plain tool's help
// only), then the common command lines and the manual.
TEST_F(FirstUse, HelpGivesEveryOptionOfItsModeALine) {
  std::string a = test::build_archive(dir, "a.run", {"-C", "the comment", "notes.txt"});
  const std::string k = test::kapsa_bin();
  const std::string build_only = "apCrfVS";
  const std::vector<std::string> build_only_long = {"level", "threads", "arch", "verify", "zstd", "sign", "minisig",
                                                    "zstd-memory"};
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string head;
    bool building;
  } cases[] = {
      {k,
       {"--help"},
       version + "Usage: " + k +
           " [-huclva] [-p kapsa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
           "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] <files...>\n\n",
       true},
      {k, {"-u", "--help"}, version + "\n\n\nUsage: " + k + " [-hclnvtx]\n\n", false},
      {a, {"--help"}, version + "\nthe comment\n\nUsage: " + a + " [-hclnvtx]\n\n", false},
  };
  for (const Case &c : cases) {
    Result r = test::run(c.program, c.args, test::at(dir.path));
    SCOPED_TRACE(c.program + " " + c.args[0]);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.compare(0, c.head.size(), c.head), 0) << r.out;
    auto has_line = [&](const std::string &option) {
      for (const char *after : {" ", ", ", "=", "["})
        if (r.out.find("\n  " + option + after) != std::string::npos) return true;
      return r.out.find(", " + option + " ") != std::string::npos;
    };
    for (const char *p = kapsa::args_option_string; *p; p++) {
      if (*p == '+' || *p == ':') continue;
      bool wanted = c.building || build_only.find(*p) == std::string::npos;
      EXPECT_EQ(has_line(std::string("-") + *p), wanted) << "-" << *p;
    }
    for (const struct option *o = kapsa::args_long_options; o->name; o++) {
      bool wanted = c.building || std::find(build_only_long.begin(), build_only_long.end(),
                                            o->name) == build_only_long.end();
      EXPECT_EQ(has_line(std::string("--") + o->name), wanted) << "--" << o->name;
    }
    EXPECT_NE(r.out.find("\nCommon command lines:\n  " + c.program + " "), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 15), "\nSee kapsa(1).\n");
  }
}

// An archive is read by the name it is given, executable or not; only a
// name that names no file is looked for through PATH.
TEST_F(FirstUse, AnArchiveIsReadByItsNameWhateverItsMode) {
  test::build_archive(dir, "app.run", {"-f", "cat > got", "notes.txt"});
  chmod((dir / "app.run").c_str(), 0644);
  std::string notes = test::read_file(dir / "notes.txt");
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"-l", "app.run"}, ""},
      {{"--check", "app.run"}, "app.run: OK\n"},
      {{"-u", "app.run"}, ""},
  };
  for (const Case &c : cases) {
    Result r = kapsa(c.args);
    EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
    if (!c.out.empty()) {
      EXPECT_EQ(r.out, c.out);
    }
  }
  EXPECT_EQ(test::read_file(dir / "got"), notes);

  // A local damaged file of the same name as a good archive in PATH: the
  // local one is checked.
  ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
  ASSERT_EQ(rename((dir / "app.run").c_str(), (dir / "bin/app.run").c_str()), 0);
  chmod((dir / "bin/app.run").c_str(), 0755);
  std::string bytes = test::read_file(dir / "bin/app.run");
  test::write_file(dir / "app.run", bytes.substr(0, bytes.size() - 100), 0644);
  RunOptions o = test::at(dir.path);
  o.env["PATH"] = dir / "bin";
  Result damaged = test::kapsa({"--check", "app.run"}, o);
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.err.find("app.run: unexpected end of file"), std::string::npos) << damaged.err;
  Result from_path = test::kapsa({"--check", "app.run"}, [&] {
    RunOptions p = o;
    p.cwd = "/";
    return p;
  }());
  EXPECT_EQ(from_path.out, "app.run: OK\n") << from_path.err;
  Result nothing = test::kapsa({"-l", "nothing.run"}, o);
  EXPECT_EQ(nothing.status, 1);
  EXPECT_EQ(nothing.err, std::string(test::kapsa_bin()) +
                             ": unable to find kapsa to build preamble\n"
                             "nothing.run: unable to find preamble magic value\n");

  // On a noexec mount.
  std::string reason;
  if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
  o = test::at(dir.path);
  o.env["D"] = dir.path;
  Result noexec = test::in_mount_namespace(
      "mkdir $D/ne && mount -t tmpfs -o size=4m,noexec tmpfs $D/ne\n"
      "cp $D/bin/app.run $D/ne/app.run && cd $D/ne\n"
      "$K -l app.run > /dev/null && $K --check app.run && $K -u app.run && cmp got $D/notes.txt\n",
      o);
  EXPECT_EQ(noexec.status, 0) << noexec.err;
  EXPECT_EQ(noexec.out, "app.run: OK\n");
}

// The prerequisites script against a fake dpkg-query, apt-get, dpkg, id and
// sudo that record their calls.
TEST_F(FirstUse, ThePrerequisitesScriptInstallsOnlyWhatIsMissing) {
  std::string fake = dir / "fake";
  ASSERT_EQ(mkdir(fake.c_str(), 0755), 0);
  auto script = [&](const std::string &name, const std::string &body) {
    test::write_file(fake + "/" + name, "#!/bin/sh\n" + body, 0755);
  };
  // Installed for amd64: everything but what $MISSING names, which only
  // arm64 has (as multiarch may leave it).
  script("dpkg-query",
         "for p; do :; done\n"
         "for m in $MISSING; do [ \"$m\" = \"$p\" ] && echo 'install ok installed arm64' && exit; "
         "done\n"
         "echo 'install ok installed amd64'\n");
  // The simulation removes what $REMOVES names, which the wanted package
  // conflicts with.
  script("apt-get",
         "echo \"apt-get $*\" >> $LOG\n"
         "case \"$*\" in *' -s '*) [ -n \"$REMOVES\" ] && echo \"Remv $REMOVES [1.0]\" ;; esac\n"
         "exit 0\n");
  script("apt-cache", "echo \"Conflicts: $REMOVES\"\n");
  script("dpkg",
         "case $1 in --print-foreign-architectures) echo arm64 ;; "
         "--print-architecture) echo amd64 ;; esac\n");
  script("id", "echo $FAKE_UID\n");
  script("sudo", "exit 1\n");
  struct Case {
    std::string missing, uid, removes;
    int status;
    std::string log, err;
  } cases[] = {
      {"", "0", "", 0, "", ""},
      {"musl-dev libdeflate-dev", "1000", "", 1, "",
       "scripts/prerequisites: missing Debian packages for 'demo': libdeflate-dev musl-dev\n"
       "scripts/prerequisites: run as root: apt-get install -y --no-remove libdeflate-dev "
       "musl-dev\n"},
      {"libdeflate-dev", "0", "", 0,
       "apt-get -o DPkg::Lock::Timeout=600 update -q\n"
       "apt-get -o DPkg::Lock::Timeout=600 -s -q install -y libdeflate-dev\n"
       "apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-remove libdeflate-dev\n",
       "scripts/prerequisites: installing libdeflate-dev\n"},
      // What would remove an installed package is said, and nothing installed.
      {"libdeflate-dev", "0", "busybox", 1,
       "apt-get -o DPkg::Lock::Timeout=600 update -q\n"
       "apt-get -o DPkg::Lock::Timeout=600 -s -q install -y libdeflate-dev\n",
       "scripts/prerequisites: installing libdeflate-dev\n"
       "scripts/prerequisites: installing libdeflate-dev would remove installed packages; nothing "
       "was installed:\n"
       "scripts/prerequisites:   busybox (installed) conflicts with libdeflate-dev (wanted)\n"
       "scripts/prerequisites: remove the installed ones yourself if they can go, then run this "
       "again\n"},
  };
  for (const Case &c : cases) {
    RunOptions o;
    o.cwd = KAPSA_SOURCE_DIR;
    o.env["PATH"] = fake + ":/usr/bin:/bin";
    o.env["MISSING"] = c.missing;
    o.env["FAKE_UID"] = c.uid;
    o.env["REMOVES"] = c.removes;
    o.env["LOG"] = dir / "log";
    unlink((dir / "log").c_str());
    Result r = test::sh("sh scripts/prerequisites demo", o);
    EXPECT_EQ(r.status, c.status) << c.missing;
    EXPECT_EQ(test::read_file(dir / "log"), c.log) << c.missing;
    EXPECT_EQ(r.err, c.err) << c.missing;
  }
}

// ./app.run -- ARG... and kapsa -u app.run -- ARG... hand the arguments to
// the post-install command as its "$@"; an option after the archive's name
// is refused, not dropped.
TEST_F(FirstUse, PostInstallArgumentsArriveIntact) {
  // The arguments go to the last command of the line: a script's.
  test::write_file(dir / "show.sh", "for a; do printf '[%s]\\n' \"$a\"; done > args\n");
  std::string a =
      test::build_archive(dir, "a.run", {"-f", "cat > /dev/null", "-r", "sh show.sh", "notes.txt"});
  const std::vector<std::string> args = {
      "--prefix=/opt/my app", "it's", "\"q\"", "$HOME", "", "a\\b"};
  const std::string expected = "[--prefix=/opt/my app]\n[it's]\n[\"q\"]\n[$HOME]\n[]\n[a\\b]\n";
  std::vector<std::string> direct = {"--"};
  direct.insert(direct.end(), args.begin(), args.end());
  Result r = test::run(a, direct, test::at(dir.path));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir / "args"), expected);
  std::vector<std::string> named = {"-u", "a.run", "ignored", "--"};
  named.insert(named.end(), args.begin(), args.end());
  unlink((dir / "args").c_str());
  r = kapsa(named);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir / "args"), expected);
  // Without "--" the command runs as before, without arguments.
  unlink((dir / "args").c_str());
  EXPECT_EQ(test::run(a, {"word"}, test::at(dir.path)).status, 0);
  EXPECT_EQ(test::read_file(dir / "args"), "");
  unlink((dir / "args").c_str());
  // A line that ends in a comment still hands them over; one that cannot
  // take them (it ends in "&&") is refused before anything is made.
  std::string commented = test::build_archive(
      dir, "c.run", {"-f", "cat > out", "-r", "sh show.sh # setup\n", "notes.txt"});
  r = test::run(commented, direct, test::at(dir.path));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir / "args"), expected);
  unlink((dir / "args").c_str());
  unlink((dir / "out").c_str());
  std::string open = test::build_archive(
      dir, "o.run", {"-f", "cat > out", "-r", "sh show.sh &&", "notes.txt"});
  r = test::run(open, {"--", "touch ran"}, test::at(dir.path));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, open + ": the arguments after -- cannot be given to the post-install command: "
                          "it does not end in a simple command: sh show.sh &&\n");
  EXPECT_FALSE(test::exists(dir / "out"));
  EXPECT_FALSE(test::exists(dir / "touch ran"));
  for (const char *late : {"-n", "--quiet", "-x"}) {
    Result refused = kapsa({"-u", "a.run", late});
    EXPECT_EQ(refused.status, 1) << late;
    EXPECT_EQ(refused.err, std::string(test::kapsa_bin()) +
                               ": options go before the archive name: " + late + "\n");
    EXPECT_FALSE(test::exists(dir / "args")) << late;
  }
}

// --quiet: nothing on standard error when all goes well, the usual message
// when it does not.
TEST_F(FirstUse, QuietInstallsSayOnlyWhatWentWrong) {
  std::string good =
      test::build_archive(dir, "good.run", {"-C", "Banner", "-r", "echo post", "notes.txt"});
  std::string bytes = test::read_file(good);
  test::write_file(dir / "cut.run", bytes.substr(0, bytes.size() - 4), 0755);
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{good, "--quiet"}, 0, "post\n", ""},
      {{good, "--quiet", "-x"}, 0, test::read_file(dir / "notes.txt"), ""},
      {{"-u", "--quiet", good}, 0, "post\n", ""},
      {{dir / "cut.run", "--quiet"},
       1,
       "",
       "\n" + dir / "cut.run: " + dir / "cut.run: unexpected end of file\n"},
  };
  for (Case &c : cases) {
    bool named = c.args[0] == "-u";
    std::string program = named ? test::kapsa_bin() : c.args[0];
    std::vector<std::string> args(c.args.begin() + (named ? 0 : 1), c.args.end());
    Result r = test::run(program, args, test::at(dir / "out"));
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
  }
}

// The listing and the -v question show control characters escaped; plain
// texts are unchanged.
TEST_F(FirstUse, TextsWithControlCharactersAreShownEscaped) {
  struct Case {
    std::string text, shown;
  } cases[] = {
      {"rm -rf ~\r\x1b[Kecho hello", "rm -rf ~\\r\\e[Kecho hello"},
      {"a\tb\nc\x01\x7f\\d", "a\\tb\\nc\\001\\177\\\\d"},
      {"plain \\text", "plain \\text"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.shown);
    std::string a = test::build_archive(
        dir, "a.run", {"-C", c.text, "-r", c.text, "-f", c.text, "-V", c.text, "notes.txt"});
    Result list = kapsa({"-l", "a.run"});
    EXPECT_EQ(list.status, 0);
    std::string head = "Feature: VFYFS=" + c.shown + ",NAME=notes.txt\nComment: " + c.shown +
                       "\n    Run: " + c.shown + "\nExtract: " + c.shown + "\n";
    EXPECT_EQ(list.out.substr(0, head.size()), head);
  }
  // The banner keeps its lines and tabs; a stored name (here written into
  // the gzip header by hand) is escaped in the listing and in -x's note.
  std::string b = test::read_file(test::build_archive(
      dir, "b.run", {"-C", "Title\tv1\nline\x1b]0;owned\x07", "notes.txt"}));
  size_t stored = b.rfind("notes.txt");
  b.replace(stored, 9, "\x1b[2Jab\x07" "cd");
  test::write_file(dir / "b.run", b, 0755);
  Result shown = kapsa({"-u", "-x", "b.run"});
  EXPECT_EQ(shown.err, "\nTitle\tv1\nline\\e]0;owned\\007\n\nPlease wait...\n"
                       "Deflating \\e[2Jab\\007cd...\n");
  Result listed = kapsa({"-l", "b.run"});
  EXPECT_EQ(listed.out.substr(listed.out.rfind(' ')), " \\e[2Jab\\007cd\n");
  std::string a = test::build_archive(
      dir, "q.run", {"-f", "cat > /dev/null", "-r", "true\r\x1b[Kecho safe", "notes.txt"});
  RunOptions o = test::at(dir.path);
  o.input_devnull = true;
  Result ask = test::run(a, {"-v"}, o);
  EXPECT_EQ(ask.out,
            "This archive requires more processing using the following command:\n"
            "    true\\r\\e[Kecho safe\n"
            "but stdin is not a terminal. So forget it.\n");
}

// A first input whose name would split into feature items is refused before
// anything is written; the same names as later inputs are fine.
TEST_F(FirstUse, AFirstInputNameThatCannotBeTheNameItemIsRefused) {
  struct Case {
    std::string name, shown;
  } cases[] = {{"data,PATH=.", ","}, {"x\"y", "\""}, {"x\\y", "\\"}, {"x\ny", "\\n"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.shown);
    test::write_file(dir / c.name, "payload\n");
    RunOptions o = test::at(dir.path);
    o.stdout_file = dir / "a.run";
    Result r = test::kapsa({c.name, "notes.txt"}, o);
    EXPECT_EQ(r.status, 1);
    std::string name = c.shown == "\\n" ? "x\\ny" : c.name;
    EXPECT_EQ(r.err, name + ": this name cannot be the payload's NAME item (it holds '" + c.shown +
                         "'); rename the file or pack it into a tar\n");
    EXPECT_EQ(test::read_file(dir / "a.run"), "");
    Result later = test::kapsa({"-a", "notes.txt", c.name}, o);
    EXPECT_EQ(later.status, 0) << later.err;
  }
}

}  // namespace
