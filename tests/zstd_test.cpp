// zstd payloads: round trips through the archive and the system's zstd,
// damaged frames, the listing, --check and the space check.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

using test::Result;
using test::RunOptions;
using test::TempDir;

struct Zstd : testing::Test {
  TempDir dir;
  std::string k = test::kapsa_bin();

  // Builds with args in dir into name; returns its payload.
  std::string build(const std::string &name, const std::vector<std::string> &args) {
    return test::payload_of(test::read_file(test::build_archive(dir, name, args)));
  }
  // What the system's zstd decodes from data ("<refused>" when it refuses).
  std::string system_decoded(const std::string &data) {
    test::write_file(dir / "p.zst", data);
    Result r = test::sh("zstd -q -dc p.zst > p.out", test::at(dir.path));
    return r.status == 0 ? test::read_file(dir / "p.out") : "<refused>";
  }
};

TEST_F(Zstd, RoundTripsAtEveryLevelAndThreadCountAgreeWithTheSystemZstd) {
  struct Input {
    const char *name;
    std::vector<std::string> parts;  // one input file each
  } inputs[] = {
      {"empty", {""}},
      {"one byte", {"x"}},
      {"incompressible", {test::random_bytes(300000, 31)}},
      {"several files", {test::text_bytes(100000, 32), "second\n", test::random_bytes(5000, 33)}},
      {"past one zstd job", {test::text_bytes(17 << 20, 34)}},
  };
  for (const Input &in : inputs) {
    std::vector<std::string> files;
    std::string whole;
    for (size_t i = 0; i < in.parts.size(); i++) {
      files.push_back("in" + std::to_string(i));
      test::write_file(dir / files.back(), in.parts[i]);
      whole += in.parts[i];
    }
    bool big = whole.size() > (1 << 20);
    for (int level : {1, 3, 19}) {
      if (big && level == 19) continue;  // minutes at level 19; levels 1 and 3 cut it the same
      std::string where = std::string(in.name) + " at level " + std::to_string(level);
      std::vector<std::string> args = {"--zstd=" + std::to_string(level), "--threads=1", "-f",
                                       "cat > out"};
      args.insert(args.end(), files.begin(), files.end());
      std::string one = build("a.run", args);
      args[1] = "--threads=2";
      EXPECT_TRUE(build("b.run", args) == one) << where << ": differs with 2 threads";
      EXPECT_TRUE(system_decoded(one) == whole) << where << ": the system's zstd";
      ASSERT_EQ(mkdir((dir / "x").c_str(), 0755), 0);
      Result r = test::run(dir / "a.run", {}, test::at(dir / "x"));
      EXPECT_EQ(r.status, 0) << where << r.err;
      EXPECT_TRUE(test::read_file(dir / "x/out") == whole) << where;
      test::remove_tree(dir / "x");
    }
  }
  // A frame of the system's zstd, placed behind a preamble, is extracted.
  test::write_file(dir / "f", test::text_bytes(200000, 35));
  std::string frame = test::sh("zstd -q -19 -c f", test::at(dir.path)).out;
  std::string bytes =
      test::read_file(test::build_archive(dir, "s.run", {"--zstd", "-f", "cat > out", "f"}));
  bytes = bytes.substr(0, bytes.size() - test::payload_of(bytes).size()) + frame;
  test::write_file(dir / "s.run", bytes, 0755);
  Result r = test::run(dir / "s.run", {"-x"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == test::read_file(dir / "f"));
}

// Every kind of damage: the message, status 1, no post-install, and nothing
// written past what was decoded before the fault.
TEST_F(Zstd, DamagedFramesFailWithTheirReasonAndRunNothing) {
  std::string data = test::text_bytes(600000, 36);
  test::write_file(dir / "f", data);
  std::string whole = test::read_file(test::build_archive(
      dir, "good.run", {"--zstd=3", "-f", "cat > out", "-r", "touch ran", "f"}));
  size_t payload = whole.size() - test::payload_of(whole).size();
  auto damaged = [&](std::string bytes, size_t at, unsigned char with) {
    bytes[at] = char(bytes[at] ^ with);
    return bytes;
  };
  // A frame header that asks for a 2 GiB window: descriptor 0xA8 (2^31).
  std::string huge = whole.substr(0, payload) +
                     std::string("\x28\xb5\x2f\xfd\x04\xa8\x09\x00\x00x\x00\x00\x00\x00", 14);
  // Run as itself, the archive is the program that speaks.
  const std::string eof = "\n" + dir / "bad.run: ";
  struct Case {
    const char *name;
    std::string bytes;
    std::string last_line;
  } cases[] = {
      {"a byte of the block data", damaged(whole, payload + 1000, 0x40), ""},
      {"the checksum", damaged(whole, whole.size() - 2, 0x01),
       "damaged payload: Restored data doesn't match checksum\n"},
      {"cut in the frame header", whole.substr(0, payload + 3), "unexpected end of file\n"},
      {"cut in the data", whole.substr(0, payload + 5000), "unexpected end of file\n"},
      {"cut in the checksum", whole.substr(0, whole.size() - 2), "unexpected end of file\n"},
      {"no frame at all", whole.substr(0, payload), "unexpected end of file\n"},
      {"a 2 GiB window", huge, "damaged payload: Frame requires too much memory for decoding\n"},
      {"garbage after the last frame", whole + "trailing garbage",
       "damaged payload: Unknown frame descriptor\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    test::write_file(dir / "bad.run", c.bytes, 0755);
    test::remove_tree(dir / "x");
    ASSERT_EQ(mkdir((dir / "x").c_str(), 0755), 0);
    Result r = test::run(dir / "bad.run", {}, test::at(dir / "x"));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(test::exists(dir / "x/ran"));
    std::string err = r.err.substr(r.err.find("Please wait...\n") + 15);
    if (c.last_line.rfind("damaged", 0) == 0)
      EXPECT_EQ(err, dir / "bad.run: " + c.last_line);
    else if (!c.last_line.empty())
      EXPECT_EQ(err, eof + dir / "bad.run: " + c.last_line);
    else
      EXPECT_NE(err.find(dir / "bad.run: damaged payload: "), std::string::npos) << err;
    std::string out = test::read_file(dir / "x/out");
    EXPECT_EQ(data.compare(0, out.size(), out), 0) << "the output is a prefix of the data";
    Result check = test::kapsa({"--check", "bad.run"}, test::at(dir.path));
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, "");
  }
}

TEST_F(Zstd, ListingCheckAndTheBuildOptions) {
  test::write_file(dir / "f", test::text_bytes(300000, 37));
  test::write_file(dir / "g", "more\n");
  test::build_archive(dir, "a.run", {"--zstd=9", "f", "g"});
  std::string bytes = test::read_file(dir / "a.run");
  long long payload = (long long)test::payload_of(bytes).size();
  Result list = test::kapsa({"-l", "a.run"}, test::at(dir.path));
  EXPECT_EQ(list.status, 0) << list.err;
  char line[128];
  snprintf(line, sizeof line, "%9lld %9d ", payload, 300005);
  EXPECT_NE(list.out.find("Feature: ZSTD,NAME=f,MEMBERS=2\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(std::string("compressed  uncompr. ratio uncompressed_name\n") + line),
            std::string::npos)
      << list.out;
  EXPECT_EQ(list.out.substr(list.out.size() - 3), " f\n");
  EXPECT_EQ(test::kapsa({"--check", "a.run"}, test::at(dir.path)).out,
            "a.run: OK (unpacking needs 6 MiB of memory)\n");
  // Options that do not go together.
  Result raw = test::kapsa({"--zstd", "-a", "f"}, test::at(dir.path));
  EXPECT_EQ(raw.status, 1);
  EXPECT_EQ(raw.err.rfind(k + ": --zstd compresses and -a stores the files raw: choose one\n", 0),
            0u);
  Result level = test::kapsa({"--zstd", "--level=5", "f"}, test::at(dir.path));
  EXPECT_EQ(level.status, 1);
  EXPECT_EQ(level.err, k + ": --level is the gzip level; give a zstd level as --zstd=LEVEL\n");
  Result bad = test::kapsa({"--zstd=23", "f"}, test::at(dir.path));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err.rfind(k + ": invalid --zstd value: '23' (1 to 22)\n", 0), 0u);
}

// The space check asks for the frames' content sizes.
TEST_F(Zstd, TheSpaceCheckAsksForTheFramesContent) {
  std::string reason;
  if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
  test::write_file(dir / "big", test::text_bytes(12 << 20, 38));
  test::build_archive(dir, "z.run",
                      {"--zstd=1", "-V", dir / "small", "-f", "cat > " + dir / "small/big", "big"});
  RunOptions o = test::at(dir.path);
  o.env["D"] = dir.path;
  Result r = test::in_mount_namespace(
      "mkdir $D/small && mount -t tmpfs -o size=4m tmpfs $D/small\n"
      "cd $D && { ./z.run || echo status $?; } && ls -A small\n",
      o);
  EXPECT_EQ(r.out, "status 1\n");
  EXPECT_NE(r.err.find("Please make at least 13Mb available in " + dir / "small.\n"),
            std::string::npos)
      << r.err;
}

// Skippable frames (any user data) are stepped over whole: before a frame
// they once hung the listing and the placement.
TEST_F(Zstd, SkippableFramesAreSteppedOverWhole) {
  std::string data = test::text_bytes(100000, 39);
  test::write_file(dir / "f", data);
  std::string whole = test::read_file(test::build_archive(dir, "a.run", {"--zstd=3", "f"}));
  std::string frame = test::payload_of(whole);
  std::string head = whole.substr(0, whole.size() - frame.size());
  for (const std::string &skip :
       {std::string("\x50\x2a\x4d\x18\x00\x00\x00\x00", 8),
        std::string("\x5e\x2a\x4d\x18\x05\x00\x00\x00" "abcde", 13)}) {
    test::write_file(dir / "s.run", head + skip + frame, 0755);
    RunOptions o = test::at(dir.path);
    o.timeout_seconds = 30;
    Result list = test::kapsa({"-l", "s.run"}, o);
    EXPECT_EQ(list.status, 0) << list.err;
    char line[64];
    snprintf(line, sizeof line, "%9zu %9zu ", frame.size() + skip.size(), data.size());
    EXPECT_NE(list.out.find(line), std::string::npos) << list.out;
    Result x = test::run(dir / "s.run", {"-x"}, o);
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_TRUE(x.out == data);
  }
}

// The memory an extraction of zstd frames needs is shown, a shortage said
// before anything is made, and --zstd-memory caps it.  An input read
// through a pipe gets the largest window (its size is unknown) and a
// warning.
TEST_F(Zstd, TheMemoryAnExtractionNeedsIsShownAndAShortageSaidFirst) {
  test::write_file(dir / "f", test::text_bytes(200000, 40));
  RunOptions o = test::at(dir.path);
  o.stdout_file = dir / "p.run";
  Result built = test::sh(
      "cat f | '" + k + "' --zstd=1 -f 'cat > out' -r 'touch ran' /dev/stdin", o);
  EXPECT_EQ(built.status, 0);
  EXPECT_EQ(built.err, k + ": warning: /dev/stdin is read through a pipe, and a zstd frame of "
                           "it records no size: the listing shows 0 bytes and the archive's space "
                           "check asks for 1 MB; build from a file to record the true size\n");
  o.stdout_file = dir / "c.run";
  EXPECT_EQ(test::sh("cat f | '" + k + "' --zstd=1 --zstd-memory=16 -f 'cat > out' /dev/stdin", o)
                .status,
            0);
  chmod((dir / "p.run").c_str(), 0755);
  chmod((dir / "c.run").c_str(), 0755);
  Result list = test::kapsa({"-l", "-v", "p.run", "c.run"}, test::at(dir.path));
  EXPECT_NE(list.out.find("stdin\nMemory: 134 MiB to unpack\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("stdin\nMemory: 14 MiB to unpack\n"), std::string::npos) << list.out;
  EXPECT_EQ(test::kapsa({"--check", "p.run"}, test::at(dir.path)).out,
            "p.run: OK (unpacking needs 134 MiB of memory)\n");
  Result small = test::kapsa({"--zstd", "--zstd-memory=7", "f"}, test::at(dir.path));
  EXPECT_EQ(small.status, 1);
  EXPECT_EQ(small.err.rfind(k + ": invalid --zstd-memory value: '7' (8 to 1048576)\n", 0), 0u);
  if (!KAPSA_STATIC_PROGRAM) GTEST_SKIP() << "a sanitizer's program cannot run under ulimit -v";
  // 96 MiB of address space: the capped archive fits, the other does not.
  for (const char *run : {"p.run", "c.run"}) {
    SCOPED_TRACE(run);
    Result r = test::sh(std::string("ulimit -v 98304 && ./") + run, test::at(dir.path));
    bool fits = std::string(run) == "c.run";
    EXPECT_EQ(r.status, fits ? 0 : 1) << r.err;
    if (!fits) {
      EXPECT_EQ(r.err, std::string("./") + run +
                           ": not enough memory to unpack: this archive needs 134 MiB\n");
      EXPECT_FALSE(test::exists(dir / "out"));
      EXPECT_FALSE(test::exists(dir / "ran"));
    }
  }
  // A memory cgroup of 64 MiB: said, where the kernel would kill it.
  std::string cgroup = test::sh(
      "p=$(sed -n 's/^[0-9]*:memory:\\(.*\\)/\\1/p' /proc/self/cgroup) && "
      "d=/sys/fs/cgroup/memory$p/kapsa-test-$$ && mkdir \"$d\" && "
      "echo 67108864 > \"$d/memory.limit_in_bytes\" && echo \"$d\"").out;
  if (cgroup.empty()) GTEST_SKIP() << "no memory cgroup of version 1 to make";
  cgroup.pop_back();
  Result r = test::sh("echo $$ > '" + cgroup + "/cgroup.procs' && exec ./p.run",
                      test::at(dir.path));
  rmdir(cgroup.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./p.run: not enough memory to unpack: this archive needs 134 MiB\n");
}

// kapsa killed while its compressor writes into the archive takes the
// compressor with it, whatever the signal.
TEST_F(Zstd, AKilledBuildLeavesNoCompressorRunning) {
  test::write_file(dir / "big", test::random_bytes(24 << 20, 41));
  for (const char *signal : {"TERM", "KILL"}) {
    SCOPED_TRACE(signal);
    Result r = test::sh(
        "'" + k + "' --zstd=19 big > z.run & kapsa=$!\n"
        "for i in $(seq 100); do c=$(pgrep -P $kapsa) && break; sleep 0.1; done\n"
        "test -n \"$c\" || { echo no compressor; exit 1; }\n"
        "kill -" + signal + " $kapsa; wait $kapsa\n"
        "for i in $(seq 50); do kill -0 $c 2>/dev/null || exit 0; sleep 0.1; done\n"
        "echo compressor $c still running; kill -9 $c; exit 1\n",
        test::at(dir.path));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
}

}  // namespace
