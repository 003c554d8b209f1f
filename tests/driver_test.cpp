// What an archive, a lock holder, a thread count or a disk can do against
// the program: hostile sizes, a space check for the member extracted, locks
// that never hang in silence, memory bounded at any --threads, and read
// errors that name themselves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

using test::Result;
using test::RunOptions;
using test::TempDir;

bool sanitizer_report(const std::string &err) {
  return err.find("Sanitizer") != std::string::npos ||
         err.find("runtime error") != std::string::npos;
}

struct Hostile : testing::Test {
  TempDir dir;
  void SetUp() override { test::write_file(dir / "notes.txt", test::text_bytes(30000, 5)); }
  RunOptions here() { return test::at(dir.path); }
};

// A SIZE= item that is not one plain decimal below 2^63 matching the first
// member's trailer: the listing, --check and an extraction refuse the
// archive before anything is made or started.
TEST_F(Hostile, SizeItemsThatCannotBeTrustedAreRefusedEverywhere) {
  const char *bad[] = {"SIZE=9223372036854775807",
                       "SIZE=18446744073709551616",
                       "SIZE=-1",
                       "SIZE=12a",
                       "SIZE=",
                       "SIZE=30000,SIZE=30000",
                       "SIZE=12345",
                       "SIZE=+30000"};
  for (const char *items : bad) {
    SCOPED_TRACE(items);
    // A "," in -S's argument starts an item of its own.
    test::build_archive(
        dir, "a.run",
        {"-S", std::string("x,") + items, "-f", "cat > out", "-r", "touch ran", "notes.txt"});
    const std::string message = "a.run: damaged archive: SIZE= does not match the trailer\n";
    for (const char *job : {"-l", "--check"}) {
      Result r = test::kapsa({job, "a.run"}, here());
      EXPECT_EQ(r.status, 1) << job;
      EXPECT_EQ(r.out, "") << job;
      EXPECT_EQ(r.err, message) << job;
    }
    Result x = test::kapsa({"-u", "a.run"}, here());
    EXPECT_EQ(x.status, 1);
    EXPECT_EQ(x.err, message);
    EXPECT_FALSE(test::exists(dir / "out"));
    EXPECT_FALSE(test::exists(dir / "ran"));
  }
  // The largest size whose low 32 bits are the trailer's: trusted, and its
  // ratio computed without overflow.
  long long huge = 30000 + (((1LL << 31) - 1) << 32);
  test::build_archive(dir, "a.run",
                      {"-S", "x,SIZE=" + std::to_string(huge), "-f", "cat > out", "notes.txt"});
  Result r = test::kapsa({"-l", "a.run"}, here());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(sanitizer_report(r.err)) << r.err;
  EXPECT_NE(r.out.find(std::to_string(huge) + "  99.9% notes.txt\n"), std::string::npos) << r.out;
}

// Several members: the space check asks room for the first one, which is
// what an extraction unpacks, not for the last one's trailer.
TEST_F(Hostile, TheSpaceCheckOfSeveralMembersAsksForTheFirst) {
  std::string reason;
  if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
  test::write_file(dir / "big.bin", test::text_bytes(30 << 20, 6));
  test::write_file(dir / "small.txt", "small\n");
  test::build_archive(dir, "two.run",
                      {"-V", dir / "small", "-f", "cat > " + dir / "small/big.bin", "-r",
                       "touch ran", "big.bin", "small.txt"});
  RunOptions o = here();
  o.env["D"] = dir.path;
  Result r = test::in_mount_namespace(
      "mkdir $D/small && mount -t tmpfs -o size=5m tmpfs $D/small\n"
      "cd $D && { ./two.run || echo status $?; } && ls -A small\n",
      o);
  EXPECT_EQ(r.out, "status 1\n");
  EXPECT_NE(r.err.find("Please make at least 31Mb available in " + dir / "small.\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(test::exists(dir / "ran"));
}

// The lock: a run that must wait says so after a second and goes on when
// the lock is released; a post-install command that runs its own archive
// again does not wait for its parent; KAPSA_DIR has no doubled slash.
TEST_F(Hostile, LocksNeverHangInSilence) {
  ASSERT_EQ(mkdir((dir / "fs").c_str(), 0755), 0);
  std::string a = test::build_archive(
      dir, "a.run",
      {"-V", dir / "fs/", "-S", "app", "-f", "mkdir -p fs/app && cat > fs/app/notes.txt", "-r",
       "echo \"$KAPSA_DIR\" > dir.txt", "notes.txt"});
  Result waited = test::sh("flock -x a.run sleep 2 & sleep 0.3; ./a.run; echo status $?", here());
  EXPECT_EQ(waited.out, "status 0\n");
  EXPECT_EQ(waited.err,
            "./a.run: waiting for another run of this archive to end\n"
            "\nSelf-Extracting archive file\n\nPlease wait...\n");
  EXPECT_EQ(test::read_file(dir / "dir.txt"), dir / "fs/app\n");

  test::remove_tree(dir / "fs/app");
  test::build_archive(
      dir, "again.run",
      {"-V", dir / "fs", "-S", "app", "-f", "mkdir -p fs/app && cat > fs/app/notes.txt", "-r",
       "./again.run -n", "notes.txt"});
  RunOptions o = here();
  o.timeout_seconds = 20;
  Result again = test::run(dir / "again.run", {}, o);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find(dir / "fs/app: extraction directory exists!"), std::string::npos)
      << again.err;
  EXPECT_EQ(again.err.find("waiting"), std::string::npos) << again.err;
}

// Memory does not grow with --threads: 256 threads under a 1 GB address
// space limit, and two under a limit that leaves room for two chunks only,
// give the bytes of one thread.
TEST_F(Hostile, AnyThreadCountFitsTheMemoryAndGivesTheSameBytes) {
  if (!KAPSA_STATIC_PROGRAM) GTEST_SKIP() << "address space limits and the sanitizers do not mix";
  ASSERT_EQ(truncate((dir / "notes.txt").c_str(), 300 << 20), 0);
  auto build = [&](const std::string &limit, const std::string &threads) {
    return test::sh("ulimit -v " + limit + " && '" + test::kapsa_bin() + "' --threads=" + threads +
                        " notes.txt > " + threads + "-" + limit + ".run",
                    here());
  };
  ASSERT_EQ(build("unlimited", "1").status, 0);
  std::string one = test::read_file(dir / "1-unlimited.run");
  for (auto [limit, threads] : {std::pair{"1000000", "256"}, std::pair{"32000", "2"}}) {
    Result r = build(limit, threads);
    EXPECT_EQ(r.status, 0) << limit << " " << r.err;
    EXPECT_TRUE(test::read_file(dir / (std::string(threads) + "-" + limit + ".run")) == one)
        << limit;
  }
}

// A read that fails while the preamble is searched names itself: it is
// neither "no preamble" nor a build.
TEST_F(Hostile, AReadErrorIsNeverTakenForNoPreamble) {
  // /proc/self/mem reads fail with EIO at offset 0.
  for (const char *job : {"-l", "--check"}) {
    Result r = test::kapsa({job, "/proc/self/mem"}, here());
    EXPECT_EQ(r.status, 1) << job;
    EXPECT_EQ(r.err, "/proc/self/mem: Input/output error\n") << job;
  }
  // The program's own file, through a preloaded read that fails.
  RunOptions o = here();
  o.env["LD_PRELOAD"] = KAPSA_FAULT_SHIM;
  o.env["KAPSA_EIO_PATH"] = KAPSA_DYNAMIC_BIN;
  o.env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"notes.txt"}}) {
    Result r = test::run(KAPSA_DYNAMIC_BIN, args, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(KAPSA_DYNAMIC_BIN) + ": Input/output error\n");
  }
}

}  // namespace
