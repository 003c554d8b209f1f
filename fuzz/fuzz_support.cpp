// Shared pieces of the fuzz targets.
#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gz/stream.h"

namespace fuzz {

kapsa::Options fresh_options() {
  kapsa::Options options = {};
  options.program_name = program;
  return options;
}

void reset_stream() {
  memset(&kapsa::stream, 0, sizeof kapsa::stream);
  kapsa::stream.crc_register = 0xffffffffu;
}

void silence_stdout() {
  fflush(stdout);
  int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, STDOUT_FILENO) < 0) abort();
  close(null);
}

MemFile::MemFile() {
  fd = memfd_create("kapsa-fuzz", MFD_CLOEXEC);
  if (fd < 0) {
    perror("memfd_create");
    abort();
  }
  path = "/proc/self/fd/" + std::to_string(fd);
}

MemFile::~MemFile() {
  if (fd >= 0) close(fd);
}

void MemFile::fill(const uint8_t *data, size_t size) {
  if (ftruncate(fd, 0) != 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
    if (n <= 0) abort();
    done += size_t(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) abort();
}

std::vector<std::string> split_texts(const uint8_t *data, size_t size, size_t count) {
  std::vector<std::string> texts(count);
  const char *p = reinterpret_cast<const char *>(data);
  const char *end = p + size;
  for (size_t i = 0; i < count && p < end; i++) {
    const char *nul = static_cast<const char *>(memchr(p, '\0', size_t(end - p)));
    const char *stop = nul ? nul : end;
    texts[i].assign(p, stop);
    p = nul ? nul + 1 : end;
  }
  return texts;
}

}  // namespace fuzz
