// Questions about the filesystem that holds a path, answered by statvfs.
// Sizes are whole megabytes of 1,048,576 bytes, remainders dropped.
#pragma once

#include <cstdint>

namespace kapsa {

// Whole megabytes in `fragments` fragments of fragment_size bytes, counting
// a fragment size below 512 as 512 and any other as the next lower multiple
// of 512.  Computed in 64 bits.
int64_t fsinfo_megabytes(uint64_t fragment_size, uint64_t fragments);

// 1 when the filesystem holding path offers at least needed_mb megabytes to
// unprivileged users, 0 when less, -1 when path cannot be queried (the
// out-parameters are then untouched).  on_root: 1 when path lies on the
// filesystem of "/"; free_mb: the free megabytes, saturated at INT32_MAX.
int fsinfo_space(const char *path, int needed_mb, int *on_root, int *free_mb);

// The routine behind fsinfo_space (mode 2, megabytes) and fsinfo_percent
// (mode 1, percent of the filesystem free); -1 for any other mode.
int fsinfo_query(int mode, const char *path, int needed, int *on_root, int *free_mb);

// 1 when the free share (whole percent of 100 * f_bavail / f_blocks, 0 for a
// filesystem without blocks) is at least needed_pct, else 0; -1 as above.
int fsinfo_percent(const char *path, int needed_pct, int *on_root, int *free_mb);

// 1 when both paths are on one filesystem, 0 when not, -1 when either
// cannot be queried.
int fsinfo_same_fs(const char *path1, const char *path2);

// Used megabytes of the filesystem holding path; 0 when it cannot be queried.
double fsinfo_used_mb(const char *path);

// 0 when directory cannot be examined, has no write permission bit, or is on
// a filesystem mounted read-only; 1 otherwise.  Probes with a file
// "<directory>/<seconds>._fst." that it removes again, and never touches a
// file that already bears that name.
int fsinfo_writable(const char *directory);

}  // namespace kapsa
