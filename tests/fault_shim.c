/* A preloaded library for the tests, for dynamically linked programs
 * (LD_PRELOAD), that makes the system fail as a sick one would:
 *   KAPSA_EIO_PATH=file      every read of that file fails with EIO;
 *   KAPSA_NO_THREADS=1       no thread can be started (EAGAIN). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
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

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                   void *arg) {
  static int (*real_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
  if (getenv("KAPSA_NO_THREADS")) return EAGAIN;
  if (!real_create)
    real_create = (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(
        RTLD_NEXT, "pthread_create");
  return real_create(thread, attr, start, arg);
}
