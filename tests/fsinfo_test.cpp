// Free-space queries: the megabyte arithmetic, real filesystems, and tmpfs
// filesystems of known size mounted in a private mount namespace.
#include "lib/fsinfo.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "support.h"

using namespace kapsa;

namespace {

TEST(Fsinfo, MegabytesDropRemaindersAndCountWhole512ByteUnits) {
  struct Case {
    uint64_t fragment_size, fragments;
    int64_t megabytes;
  };
  const Case cases[] = {
      {1024, 204800, 200},
      {4096, 1000, 3},
      {512, 2047, 0},
      {512, 2048, 1},
      {256, 4096, 2},
      {1000, 2048, 1},
      {1000, 2047, 0},
      {1536, 682, 1},
      {1536, 681, 0},
      {1048576 + 511, 5, 5},
      // Above a megabyte a fragment counts for its whole 512-byte units.
      {1048576 + 512, 2048, 2049},
      {4 * 1048576, 3, 12},
      // Beyond 2^31 megabytes, and beyond 64 bits.
      {4096, uint64_t(1) << 40, int64_t(1) << 32},
      {1048576, UINT64_MAX, INT64_MAX},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(fsinfo_megabytes(c.fragment_size, c.fragments), c.megabytes)
        << c.fragment_size << " x " << c.fragments;
  }
}

TEST(Fsinfo, QueriesOnRealFilesystemsAndFailedOnes) {
  int on_root = -1, free_mb = -1;
  EXPECT_EQ(fsinfo_space("/", 0, &on_root, &free_mb), 1);
  EXPECT_EQ(on_root, 1);
  // stat(1) agrees, allowing for other work on the root filesystem.
  test::Result r = test::sh("stat -f -c '%S %a' /");
  double size = 0, avail = 0;
  ASSERT_EQ(sscanf(r.out.c_str(), "%lf %lf", &size, &avail), 2) << r.err;
  double expected = size * avail / 1048576;
  EXPECT_LE(std::fabs(free_mb - expected), 256 + expected / 100) << r.out;

  const char *missing = "/nonexistent/kapsa";
  on_root = 42;
  free_mb = 43;
  EXPECT_EQ(fsinfo_space(missing, 0, &on_root, &free_mb), -1);
  EXPECT_EQ(fsinfo_percent(missing, 0, &on_root, &free_mb), -1);
  EXPECT_EQ(fsinfo_query(3, "/", 0, &on_root, &free_mb), -1);
  EXPECT_EQ(on_root, 42);
  EXPECT_EQ(free_mb, 43);
  EXPECT_EQ(fsinfo_same_fs("/", missing), -1);
  EXPECT_EQ(fsinfo_used_mb(missing), 0.0);
  EXPECT_EQ(fsinfo_writable(missing), 0);
}

TEST(Fsinfo, WritableLeavesExistingFilesAndNoProbeBehind) {
  test::TempDir dir, empty;
  long now = long(time(nullptr));  // files bearing the probe's possible names
  for (long t = now - 1; t <= now + 3; t++)
    test::write_file(dir / (std::to_string(t) + "._fst."), "keep");
  EXPECT_EQ(fsinfo_writable(dir.path.c_str()), 1);
  for (long t = now - 1; t <= now + 3; t++)
    EXPECT_EQ(test::read_file(dir / (std::to_string(t) + "._fst.")), "keep");
  EXPECT_EQ(fsinfo_writable(empty.path.c_str()), 1);
  EXPECT_EQ(test::sh("ls -A " + empty.path).out, "");
  ASSERT_EQ(chmod(empty.path.c_str(), 0555), 0);
  EXPECT_EQ(fsinfo_writable(empty.path.c_str()), 0);
}

// Needs root: tmpfs filesystems of 8 MiB, one of them read-only, mounted in
// a private mount namespace of a forked child, where the checks run.
TEST(Fsinfo, TmpfsOfKnownSize) {
  std::string reason;
  if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
  test::TempDir dir;
  std::string rw_dir = dir / "rw", ro_dir = dir / "ro";
  ASSERT_EQ(mkdir(rw_dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(ro_dir.c_str(), 0755), 0);
  test::Result r = test::in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", rw_dir.c_str(), "tmpfs", 0, "size=8m") ||
        mount("tmpfs", ro_dir.c_str(), "tmpfs", MS_RDONLY, "size=8m")) {
      perror("mount");
      return 2;
    }
    const char *rw = rw_dir.c_str(), *ro = ro_dir.c_str();
    int on_root = -1, free_mb = -1;
    EXPECT_EQ(fsinfo_space(rw, 8, &on_root, &free_mb), 1);
    EXPECT_EQ(free_mb, 8);
    EXPECT_EQ(on_root, 0);
    EXPECT_EQ(fsinfo_space(rw, 9, &on_root, &free_mb), 0);
    std::string file = std::string(rw) + "/data";
    test::write_file(file, std::string(3 * 1048576, 'x'));  // leaves 5 MiB, 62.5%
    EXPECT_EQ(fsinfo_space(file.c_str(), 5, &on_root, &free_mb), 1);
    EXPECT_EQ(free_mb, 5);
    EXPECT_EQ(fsinfo_space(rw, 6, &on_root, &free_mb), 0);
    EXPECT_EQ(fsinfo_percent(rw, 62, &on_root, &free_mb), 1);
    EXPECT_EQ(fsinfo_percent(rw, 63, &on_root, &free_mb), 0);
    EXPECT_EQ(fsinfo_used_mb(rw), 3.0);
    EXPECT_EQ(fsinfo_same_fs(rw, file.c_str()), 1);
    EXPECT_EQ(fsinfo_same_fs(rw, "/"), 0);
    EXPECT_EQ(fsinfo_writable(rw), 1);
    EXPECT_EQ(fsinfo_writable(ro), 0);
    return testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

}  // namespace
