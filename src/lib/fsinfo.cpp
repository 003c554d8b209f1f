// Questions about the filesystem that holds a path, answered by statvfs.
//
// Free space is counted as statvfs reports it to unprivileged users
// (f_bavail fragments of f_frsize bytes) and converted to whole megabytes:
// the fragment size is taken in whole 512-byte units (at least one), a
// megabyte is 2,048 such units, and every division drops its remainder.
#include "lib/fsinfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace kapsa {

namespace {

constexpr uint64_t units_per_mb = 2048;  // 512-byte units in a megabyte

// Whether two queried paths lie on one filesystem: equal f_fsid.  Some Linux
// filesystems report no identifier (f_fsid 0); when both do, their device
// numbers decide.
bool same_filesystem(const struct statvfs &a, const char *path_a, const struct statvfs &b,
                     const char *path_b) {
  if (a.f_fsid != b.f_fsid) return false;
  if (a.f_fsid != 0) return true;
  struct stat sa, sb;
  if (stat(path_a, &sa) != 0 || stat(path_b, &sb) != 0) return true;
  return sa.st_dev == sb.st_dev;
}

int32_t saturate_int32(int64_t value) { return value > INT32_MAX ? INT32_MAX : int32_t(value); }

}  // namespace

// Fragments of 512 bytes to 1,048,576 bytes: fragments divided by the whole
// fragments per megabyte (2,048 / units).  Larger fragments, where no whole
// fragment fits a megabyte, are counted exactly instead: fragments * units /
// 2,048, so that a fragment of 2 MiB counts as 2 megabytes.  Both agree at
// the border.  Results beyond INT64_MAX saturate.
int64_t fsinfo_megabytes(uint64_t fragment_size, uint64_t fragments) {
  uint64_t units = (fragment_size < 512 ? 512 : fragment_size) / 512;
  unsigned __int128 mb;
  if (units <= units_per_mb) {
    mb = fragments / (units_per_mb / units);
  } else {
    mb = static_cast<unsigned __int128>(fragments) * units / units_per_mb;
  }
  return mb > INT64_MAX ? INT64_MAX : int64_t(mb);
}

// on_root is 0 when "/" itself cannot be queried.  Null out-parameters are
// allowed and left out.
int fsinfo_query(int mode, const char *path, int needed, int *on_root, int *free_mb) {
  if ((mode != 1 && mode != 2) || !path) return -1;
  struct statvfs vfs;
  if (statvfs(path, &vfs) != 0) return -1;
  struct statvfs root;
  bool root_fs = statvfs("/", &root) == 0 && same_filesystem(vfs, path, root, "/");
  int32_t free_space = saturate_int32(fsinfo_megabytes(vfs.f_frsize, vfs.f_bavail));
  if (on_root) *on_root = root_fs ? 1 : 0;
  if (free_mb) *free_mb = free_space;
  if (mode == 2) return needed <= free_space ? 1 : 0;
  int share = 0;
  if (vfs.f_blocks != 0) share = int(float(vfs.f_bavail) / float(vfs.f_blocks) * 100.0f);
  return needed <= share ? 1 : 0;
}

int fsinfo_space(const char *path, int needed_mb, int *on_root, int *free_mb) {
  return fsinfo_query(2, path, needed_mb, on_root, free_mb);
}

int fsinfo_percent(const char *path, int needed_pct, int *on_root, int *free_mb) {
  return fsinfo_query(1, path, needed_pct, on_root, free_mb);
}

int fsinfo_same_fs(const char *path1, const char *path2) {
  struct statvfs a, b;
  if (!path1 || !path2 || statvfs(path1, &a) != 0 || statvfs(path2, &b) != 0) return -1;
  return same_filesystem(a, path1, b, path2) ? 1 : 0;
}

double fsinfo_used_mb(const char *path) {
  struct statvfs vfs;
  if (!path || statvfs(path, &vfs) != 0) return 0;
  uint64_t used = vfs.f_blocks > vfs.f_bfree ? vfs.f_blocks - vfs.f_bfree : 0;
  return double(fsinfo_megabytes(vfs.f_frsize, used));
}

// A path that is not a directory cannot be examined as one: 0.  The probe is
// made with O_EXCL, so an existing file (or link) of that name is never
// opened, written or removed; only a probe this call created is unlinked.
// When the probe cannot be made for any reason but a read-only filesystem
// (the name is taken, permission is refused, the directory is full, ...)
// the answer cannot be told and is 1, the directory's permission bits having
// said it is writable.
int fsinfo_writable(const char *directory) {
  struct stat st;
  if (!directory || stat(directory, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) return 0;
  char probe[4096];
  int len = snprintf(probe, sizeof probe, "%s/%ld._fst.", directory, long(time(nullptr)));
  if (len < 0 || size_t(len) >= sizeof probe) return 1;  // no probe can be named: cannot tell
  int fd = open(probe, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno == EROFS ? 0 : 1;
  // Nothing was written to the probe, so a failing close loses nothing; a
  // failing unlink leaves an empty file behind.  Neither changes the answer.
  (void)close(fd);
  (void)unlink(probe);
  return 1;
}

}  // namespace kapsa
