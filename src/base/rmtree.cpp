// Removing a tree with openat, getdents64 and unlinkat.
//
// Each directory is opened with O_NOFOLLOW | O_DIRECTORY from its parent's
// descriptor, read with the getdents64 system call into a buffer on the
// stack, and emptied before it is removed.  A name that is no directory is
// unlinked; a directory is entered.  No library call that may take a lock
// or the heap is made, so that the cleanup of a signal may use it.
#include "base/rmtree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kapsa {

namespace {

// One record of getdents64.
struct LinuxDirent {
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

// Empties the directory open on fd.  Returns 0, or the first errno met.
int empty_directory(int fd, int depth) {
  if (depth > 4096) return ELOOP;
  int failed = 0;
  alignas(8) char buffer[2048];
  for (;;) {
    long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    bool removed = false;
    for (long at = 0; at < n;) {
      const LinuxDirent *d = reinterpret_cast<const LinuxDirent *>(buffer + at);
      at += d->length;
      const char *name = d->name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (unlinkat(fd, name, 0) == 0) {
        removed = true;
        continue;
      }
      if (errno != EISDIR && errno != EPERM) {
        if (!failed) failed = errno;
        continue;
      }
      int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        if (!failed) failed = errno;
        continue;
      }
      fchmod(sub, 0700);  // a read-only directory of ours can be emptied
      int inner = empty_directory(sub, depth + 1);
      close(sub);
      if (unlinkat(fd, name, AT_REMOVEDIR) == 0)
        removed = true;
      else if (!failed)
        failed = inner ? inner : errno;
    }
    // Entries removed while the directory is read: read it again from its
    // start, so that none is skipped.
    if (removed && lseek(fd, 0, SEEK_SET) != 0) return errno;
    if (!removed && failed) return failed;
  }
  return failed;
}

}  // namespace

int rmtree(int dir, const char *path) {
  int fd = openat(dir, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    if (errno == ENOTDIR || errno == ELOOP) return unlinkat(dir, path, 0);
    return -1;
  }
  fchmod(fd, 0700);  // a read-only directory of ours can be emptied
  int failed = empty_directory(fd, 0);
  close(fd);
  if (failed) {
    errno = failed;
    return -1;
  }
  return unlinkat(dir, path, AT_REMOVEDIR);
}

}  // namespace kapsa
