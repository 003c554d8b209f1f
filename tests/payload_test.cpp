// Damaged archives and failing resources: archives cut at every length and
// changed byte by byte, writes that fail, odd inputs, odd names for the
// program, signals, and the descriptors the commands inherit.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "archive/check.h"
#include "archive/listing.h"
#include "archive/preamble.h"
#include "base/options.h"
#include "extract/driver.h"
#include "support.h"

using test::Result;
using test::RunOptions;
using test::TempDir;

namespace {

bool sanitizer_report(const std::string &err) {
  return err.find("Sanitizer") != std::string::npos ||
         err.find("runtime error") != std::string::npos;
}

struct Damaged : testing::Test {
  void SetUp() override {
    // A tiny extractor image keeps the archives small: they are extracted
    // with `kapsa -u` and need not run themselves.
    test::write_file(dir / "tiny", "#!/bin/sh\n", 0755);
    test::write_file(dir / "notes.txt", test::text_bytes(1500, 21));
    test::write_file(dir / "second", test::text_bytes(700, 22));
  }
  std::string build(const std::vector<std::string> &args, const std::string &name) {
    std::vector<std::string> all = {"-p", "./tiny"};
    all.insert(all.end(), args.begin(), args.end());
    return test::read_file(test::build_archive(dir, name, all));
  }
  // Lists and extracts (to stdout) the archive bytes as ./name, each in a
  // forked child of this process that calls the listing or the extraction
  // directly: thousands of runs without the cost of starting a program.
  std::pair<Result, Result> try_archive(const std::string &bytes, const std::string &name,
                                        bool list = true) {
    test::write_file(dir / name, bytes, 0755);
    std::string path = "./" + name;
    // Each run builds its own run record.
    auto fresh = [&] {
      if (chdir(dir.path.c_str()) != 0) _exit(126);
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      // The code's fatal errors end the child through exit(): it ends here,
      // with that status and its output flushed, as a child that returns
      // does in in_child.  What the test process left to run at exit is
      // skipped: in the sanitizer build, the leak check of the whole heap
      // inherited from it and the unregistering of its globals made up most
      // of these tests' time.  The end-to-end tests run the sanitizer build
      // of the program itself, leak check included, on damaged archives.
      on_exit(
          [](int status, void *) {
            fflush(stdout);
            fflush(stderr);
            _exit(status);
          },
          nullptr);
      kapsa::Options options = {};
      options.program_name = "kapsa";
      return options;
    };
    Result listed;
    if (list)
      listed = test::in_child([&] {
        kapsa::Options options = fresh();
        options.list_mode = 1;
        kapsa::Archive a;
        kapsa::Listing listing;
        if (kapsa::archive_open(path.c_str(), true, false, "kapsa", &a) == 0)
          kapsa::list_archive(a, options, listing);
        else
          options.exit_code = 1;
        return options.exit_code;
      });
    Result extracted = test::in_child([&] {
      kapsa::Options options = fresh();
      options.extract_only = 1;
      kapsa::Archive a;
      if (kapsa::archive_open(path.c_str(), true, false, "kapsa", &a) != 0) return 1;
      return kapsa::extract_archive(a, options) == 0 ? 0 : 1;
    });
    // The check must agree with the extraction: a failure with the
    // extraction's own last words, an OK only where the extraction succeeds
    // (a raw payload is not checked), and nothing written either way.
    size_t entries = count_entries();
    Result checked = test::in_child([&] {
      kapsa::Options options = fresh();
      options.check_mode = 1;
      kapsa::Archive a;
      if (kapsa::archive_open(path.c_str(), true, false, "kapsa", &a) == 0)
        kapsa::check_archive(a, options);
      else
        options.exit_code = 1;
      return options.exit_code;
    });
    std::string where = name + " checked: ";
    if (checked.status != 0) {
      EXPECT_EQ(checked.status, extracted.status) << where << checked.err;
      EXPECT_EQ(checked.out, "") << where;
      EXPECT_EQ(extracted.err.substr(extracted.err.size() -
                                     std::min(extracted.err.size(), checked.err.size())),
                checked.err)
          << where;
    } else if (checked.out == path + ": OK\n") {
      EXPECT_EQ(extracted.status, 0) << where << extracted.err;
    } else {
      EXPECT_EQ(checked.out, path + ": OK (raw payload: not checked)\n") << where;
    }
    EXPECT_EQ(count_entries(), entries) << where << "files made";
    unlink((dir / name).c_str());
    return {listed, extracted};
  }
  size_t count_entries() {
    size_t n = 0;
    if (DIR *d = opendir(dir.path.c_str())) {
      while (readdir(d)) n++;
      closedir(d);
    }
    return n;
  }
  TempDir dir;
};

// One test for each kind of archive (named by the parameter), so that they
// run side by side.
struct DamagedCut : Damaged, testing::WithParamInterface<std::string> {};

TEST_P(DamagedCut, ArchivesCutAtEveryLengthFailCleanly) {
  struct Kind {
    std::string name, bytes, extracted;
    bool compressed;
  };
  std::string notes = test::read_file(dir / "notes.txt"), second = test::read_file(dir / "second");
  // Raw data is copied as it comes, whatever its length: two short files
  // give every case that long ones do.
  std::string head = notes.substr(0, 150), tail = second.substr(0, 70);
  test::write_file(dir / "head", head);
  test::write_file(dir / "tail", tail);
  std::vector<Kind> kinds = {
      {"gz", build({"notes.txt"}, "gz.run"), notes, true},
      {"raw", build({"-a", "head", "tail"}, "raw.run"), head + tail, false},
      {"two", build({"notes.txt", "second"}, "two.run"), notes, true},
  };
  size_t image = test::read_file(dir / "tiny").size();
  for (Kind &k : kinds) {
    if (k.name != GetParam()) continue;
    size_t offset = k.bytes.size() - test::payload_of(k.bytes).size();
    // An archive of several members records their number: cut anywhere,
    // even where the second begins, it is not whole.
    size_t first_end = k.bytes.size();
    for (size_t cut = 0; cut <= k.bytes.size(); cut++) {
      if (!test::sampled(cut, k.bytes.size() + 1)) continue;
      std::string name = k.name + "-" + std::to_string(cut);
      auto [listed, extracted] = try_archive(k.bytes.substr(0, cut), name);
      std::string where = k.name + " cut at " + std::to_string(cut) + ": ";
      EXPECT_LE(listed.status, 1) << where << listed.err;
      EXPECT_LE(extracted.status, 1) << where << extracted.err;
      EXPECT_FALSE(sanitizer_report(listed.err + extracted.err))
          << where << listed.err << extracted.err;
      if (cut < image + 11) {
        EXPECT_EQ(extracted.err, "./" + name + ": unable to find preamble magic value\n") << where;
        continue;
      }
      if (!k.compressed) {
        // A raw payload has no length of its own: what is there is copied.
        if (cut <= offset) {
          EXPECT_EQ(extracted.status, 1) << where;
        } else if (extracted.status == 0) {
          EXPECT_TRUE(extracted.out == k.extracted.substr(0, cut - offset)) << where;
        }
        continue;
      }
      if (cut >= first_end) {
        EXPECT_EQ(extracted.status, 0) << where << extracted.err;
        EXPECT_TRUE(extracted.out == k.extracted) << where;
        continue;
      }
      // Payload the extraction needs is missing.
      EXPECT_EQ(extracted.status, 1) << where;
      // A feature list cut inside its SIZE= item is refused as damaged.
      if (cut < offset &&
          (extracted.err == "./" + name + ": damaged archive: SIZE= does not match the trailer\n" ||
           extracted.err == "./" + name + ": damaged archive: MEMBERS= does not match the payload\n"))
        continue;
      const std::string eof = "\nkapsa: ./" + name + ": unexpected end of file\n";
      EXPECT_EQ(
          extracted.err.substr(extracted.err.size() - std::min(extracted.err.size(), eof.size())),
          eof)
          << where << extracted.err;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, DamagedCut, testing::Values("gz", "raw", "two"),
                         [](const testing::TestParamInfo<std::string> &kind) { return kind.param; });

TEST_F(Damaged, EveryChangedByteOfACompressedPayloadIsCaughtOrHarmless) {
  test::write_file(dir / "small.txt", test::text_bytes(600, 23));
  std::string original = test::read_file(dir / "small.txt");
  std::string bytes = build({"small.txt"}, "small.run");
  size_t offset = bytes.size() - test::payload_of(bytes).size();
  // What a caught change may say last: the reader's fatal reports, or a
  // refused header followed by the driver's own line.
  const std::regex caught(
      "(\nkapsa: \\./m[0-9]+: (invalid compressed data--(format violated|crc error|length error)"
      "|unexpected end of file|corrupted input -- file name too large)\n"
      "|kapsa: (\\./m[0-9]+: unknown method [0-9]+ -- get newer version of gzip|can only handle "
      "GZIP "
      "compression method)\n\\./m[0-9]+: unknown compression method\n)$");
  const unsigned char changes[] = {0x01, 0x80, 0xff};
  for (size_t i = 0; i < (bytes.size() - offset) * 3; i++) {
    // Sampled bytes, each with its three changes.
    if (!test::sampled(i / 3, bytes.size() - offset)) continue;
    size_t at = offset + i / 3;
    std::string changed = bytes;
    changed[at] = char(changed[at] ^ changes[i % 3]);
    Result r = try_archive(changed, "m" + std::to_string(i), false).second;
    std::string where =
        "byte " + std::to_string(at - offset) + " ^ " + std::to_string(changes[i % 3]) + ": ";
    if (r.status == 0) {
      EXPECT_TRUE(r.out == original) << where << "a success with different output";
    } else {
      EXPECT_EQ(r.status, 1) << where << r.err;
      EXPECT_TRUE(std::regex_search(r.err, caught)) << where << r.err;
    }
  }
}

TEST_F(Damaged, AMagicInsideThePayloadDoesNotConfuseTheSearch) {
  // The payload is itself an archive: its magic comes after the real one.
  std::string inner = build({"notes.txt"}, "inner.run");
  for (auto args : std::vector<std::vector<std::string>>{{"-C", "outer", "inner.run"},
                                                         {"-a", "-C", "outer", "inner.run"}}) {
    std::string outer = test::read_file(test::build_archive(dir, "outer.run", args));
    auto [listed, extracted] = try_archive(outer, "outer-copy");
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_TRUE(extracted.out == inner);
    EXPECT_NE(listed.out.find("Comment: outer\n"), std::string::npos) << listed.out;
  }
}

TEST(Faults, ExtractingToAFullDeviceFails) {
  TempDir dir;
  test::write_file(dir / "notes.txt", test::text_bytes(100000, 3));
  std::string a = test::build_archive(dir, "a.run", {"-C", "", "notes.txt"});
  std::string raw = test::build_archive(dir, "raw.run", {"-a", "notes.txt"});
  RunOptions o = test::at(dir.path);
  o.stdout_file = "/dev/full";
  for (const std::string &archive : {a, raw}) {
    Result r = test::run(archive, {"-x"}, o);
    EXPECT_EQ(r.status, 1) << archive;
    std::string end = "\n" + archive + ": notes.txt: No space left on device\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), end.size())), end) << r.err;
  }
}

TEST(Faults, InputsThatCannotBeReadFailTheBuild) {
  TempDir dir;
  test::write_file(dir / "f", "data");
  mkdir((dir / "d").c_str(), 0755);
  RunOptions o = test::at(dir.path);
  o.stdout_file = dir / "a.run";
  Result r = test::kapsa({"f/x", "d", "nosuch", "f"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "f/x: Not a directory\nd: Is a directory\nnosuch: No such file or directory\n");
  // Every input is opened before anything is written: nothing is.
  EXPECT_EQ(test::read_file(dir / "a.run"), "");
}

TEST(Faults, ArchivesThatAreNotFilesAreRefused) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0755), 0);
  mkdir((dir / "dir").c_str(), 0755);
  RunOptions o = test::at(dir.path);
  o.timeout_seconds = 20;
  for (const char *name : {"./fifo", "./dir", "dir"}) {
    for (const char *list : {"-l", "-x"}) {
      Result r = test::kapsa({"-u", list, name}, o);
      if (std::string(list) == "-l") r = test::kapsa({"-l", name}, o);
      EXPECT_EQ(r.status, 1) << name << list;
      EXPECT_EQ(r.err, std::string(name) + ": unable to find preamble magic value\n")
          << name << list;
    }
  }
  Result null = test::kapsa({"-u", "/dev/null"}, o);
  EXPECT_EQ(null.status, 1);
  EXPECT_EQ(null.err, "/dev/null: unable to find preamble magic value\n");
}

TEST(Faults, TheProgramFindsItsOwnFileWhateverItsNameSays) {
  TempDir dir;
  test::write_file(dir / "f", "payload");
  std::string a = test::build_archive(dir, "a.run", {"-C", "the archive", "f"});
  // Called "kapsa" with no such program in PATH: still the plain tool.
  RunOptions o = test::at(dir.path);
  o.argv0 = "kapsa";
  o.env["PATH"] = "/nonexistent";
  o.stdout_file = dir / "b.run";
  Result built = test::kapsa({"-a", "f"}, o);
  EXPECT_EQ(built.status, 0) << built.err;
  std::string image = test::read_file(test::kapsa_bin());
  EXPECT_EQ(test::read_file(dir / "b.run").substr(0, image.size()), image);
  // The plain tool named after an archive stays the plain tool; the archive
  // named after the plain tool stays the archive.
  RunOptions named = test::at(dir.path);
  named.argv0 = a;
  Result plain = test::kapsa({"-h"}, named);
  EXPECT_NE(plain.err.find("[-huclva]"), std::string::npos) << plain.err;
  named.argv0 = test::kapsa_bin();
  Result archive = test::run(a, {"-h"}, named);
  EXPECT_NE(archive.err.find("\nthe archive\n"), std::string::npos) << archive.err;
}

TEST(Faults, NoWayOutLeavesTheLinkOrARunningCommandBehind) {
  // The extract command says when it has started, takes its time, reads the
  // payload to its end and says when it has ended.  The payload is large, so
  // that the signal finds the run writing into the pipe.  Each way out must
  // wait for the command before it removes the link and ends.
  struct Case {
    int sig;             // sent to the extraction alone; 0: none
    bool broken_stderr;  // standard error is a pipe whose reader has gone
    bool corrupt;        // the payload fails its checks after the data
    int status;          // exit status; -1: death by sig; 0 with sig: the caller ignores sig
  } cases[] = {
      {SIGINT, false, false, -1},  {SIGTERM, false, false, -1},   {SIGHUP, false, false, -1},
      {SIGQUIT, false, false, -1}, {SIGALRM, false, false, -1},   {SIGXCPU, false, false, -1},
      {SIGXFSZ, false, false, -1}, {SIGVTALRM, false, false, -1}, {SIGPROF, false, false, -1},
      {SIGUSR1, false, false, -1}, {SIGUSR2, false, false, -1},   {SIGPIPE, false, false, -1},
      {0, true, false, 0},         {0, false, true, 1},           {SIGHUP, false, false, 0},
  };
  TempDir dir;
  mkdir((dir / "fs").c_str(), 0755);
  test::write_file(dir / "f", test::random_bytes(1 << 20, 4));
  std::string command =
      "touch " + dir / "started" + "; sleep 0.2; cat > /dev/null; touch " + dir / "ended";
  std::string good =
      test::build_archive(dir, "a.run", {"-V", dir / "fs", "-S", "app", "-f", command, "f"});
  std::string bytes = test::read_file(good);
  bytes[bytes.size() - 8] ^= 1;  // the stored CRC
  test::write_file(dir / "bad.run", bytes, 0755);
  for (const Case &c : cases) {
    for (const char *name : {"started", "ended", "tmp"}) test::remove_tree(dir / name);
    mkdir((dir / "tmp").c_str(), 0755);
    std::string a = c.corrupt ? dir / "bad.run" : good;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close_range(3, ~0U, 0);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      int lost[2];
      if (c.broken_stderr && pipe(lost) == 0) {
        dup2(lost[1], 2);
        close(lost[0]);
      } else {
        dup2(null, 2);
      }
      signal(SIGPIPE, SIG_DFL);
      if (c.sig && c.status == 0) signal(c.sig, SIG_IGN);  // nohup
      execl(a.c_str(), a.c_str(), "-t", (dir / "tmp").c_str(), (char *)nullptr);
      _exit(127);
    }
    if (c.sig) {
      for (int i = 0; i < 500 && !test::exists(dir / "started"); i++) usleep(10000);
      ASSERT_TRUE(test::is_symlink(dir / "fs/app")) << "the link stands while the command runs";
      kill(pid, c.sig);
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::string what = c.sig ? strsignal(c.sig) : c.broken_stderr ? "lost stderr" : "bad CRC";
    if (c.status < 0)
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << what << ": " << status;
    else
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << what << ": " << status;
    EXPECT_TRUE(test::exists(dir / "ended")) << what << ": the command ended before the run";
    EXPECT_FALSE(test::exists(dir / "fs/app")) << what;
    EXPECT_TRUE(test::exists(dir / "tmp/app")) << what << ": the directory made for the data stays";
  }
}

TEST(Faults, CommandsInheritOnlyTheStandardDescriptors) {
  // Each command lists its own descriptors: the standard three, and the one
  // that ls opens to read the list.  Anything inherited would show up too.
  TempDir dir;
  test::write_file(dir / "f", "small payload");
  std::string a = test::build_archive(
      dir, "a.run",
      {"-f", "ls /proc/self/fd; cat > /dev/null", "-r", "exec ls /proc/self/fd", "f"});
  Result r = test::run(a, {}, test::at(dir.path));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\n1\n2\n3\n0\n1\n2\n3\n");
}

}  // namespace
