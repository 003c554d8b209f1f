// Whole reads and writes on descriptors.
#include "io/fdio.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/syserr.h"

namespace kapsa {

namespace {

// Reads count bytes into data, from the file position (offset -1) or at
// offset, as the two calls below promise.
size_t read_whole(int fd, long long offset, void *data, size_t count) {
  unsigned char *p = static_cast<unsigned char *>(data);
  size_t got = 0;
  errno = 0;
  while (got < count) {
    ssize_t n = offset < 0 ? read(fd, p + got, count - got)
                           : pread(fd, p + got, count - got, off_t(offset + (long long)got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return got;
    if (n == 0) {
      errno = 0;
      return got;
    }
    got += size_t(n);
  }
  return got;
}

}  // namespace

size_t fdio_read(int fd, void *data, size_t count) { return read_whole(fd, -1, data, count); }

size_t fdio_read_at(int fd, long long offset, void *data, size_t count) {
  return read_whole(fd, offset, data, count);
}

int fdio_write(int fd, const void *data, size_t count) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  while (count > 0) {
    ssize_t n = write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd ready = {fd, POLLOUT, 0};
      if (poll(&ready, 1, -1) < 0 && errno != EINTR) return -1;
      continue;
    }
    if (n < 0) return -1;
    if (n == 0) {  // no progress at all: give up rather than spin
      errno = EIO;
      return -1;
    }
    p += n;
    count -= size_t(n);
  }
  return 0;
}

int fdio_open_file(const char *path, struct stat *st) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && fstat(fd, st) == 0) return fd;
  int saved = errno;
  if (fd >= 0) close(fd);
  errno = saved;
  syserr_report(path);
  return -1;
}

}  // namespace kapsa
