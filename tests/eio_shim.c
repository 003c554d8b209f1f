/* A preloaded library for the tests: every read of the file that
 * KAPSA_EIO_PATH names fails with EIO, as a failing disk would make it.
 * Only for dynamically linked programs (LD_PRELOAD). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

ssize_t read(int fd, void *buf, size_t count) {
  static ssize_t (*real_read)(int, void *, size_t);
  if (!real_read) real_read = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
  const char *path = getenv("KAPSA_EIO_PATH");
  struct stat target, st;
  if (path && stat(path, &target) == 0 && fstat(fd, &st) == 0 && st.st_dev == target.st_dev &&
      st.st_ino == target.st_ino) {
    errno = EIO;
    return -1;
  }
  return real_read(fd, buf, count);
}
