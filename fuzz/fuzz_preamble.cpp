// Fuzz target: the preamble locator and its text reader, the listing, and an
// extraction with -x, on arbitrary archive file contents.
//
// The input is the whole archive file.  It is put into a memfd and named by
// its /proc/self/fd path, which is executable, so the locator takes it as an
// archive.  What find_preamble reports is checked against a plain search of
// the input: the first magic, then four NUL-terminated texts of at most
// 1,023 characters.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/listing.h"
#include "archive/preamble.h"
#include "base/fatal.h"
#include "extract/driver.h"
#include "fuzz_support.h"

using namespace kapsa;

namespace {

fuzz::MemFile *archive;

// What find_preamble should find in data: the payload offset, or -1 when it
// must fail; texts receives the four texts.
long expected_preamble(const uint8_t *data, size_t size, std::string texts[4]) {
  const void *at = memmem(data, size, build_magic(), magic_size);
  if (!at) return -1;
  size_t pos = size_t(static_cast<const uint8_t *>(at) - data) + magic_size;
  for (int i = 0; i < 4; i++) {
    texts[i].clear();
    while (pos < size && data[pos] != 0) texts[i] += char(data[pos++]);
    if (pos < size) pos++;  // the NUL
    if (texts[i].size() > text_size - 1) return -1;
  }
  return long(pos);
}

void check_locator(const uint8_t *data, size_t size) {
  std::string texts[4];
  long expected = expected_preamble(data, size, texts);
  off_t offset = -1;
  Preamble preamble = {};
  int fd = find_preamble(archive->path.c_str(), false, &preamble, &offset, fuzz::program);
  if ((fd >= 0) != (expected >= 0)) {
    fprintf(stderr, "find_preamble gave %d, expected payload offset %ld\n", fd, expected);
    abort();
  }
  if (fd < 0) return;
  const char *fields[] = {preamble.features, preamble.comment, preamble.run_command,
                          preamble.extract_command};
  for (int i = 0; i < 4; i++) {
    if (texts[i] != fields[i]) {
      fprintf(stderr, "preamble text %d differs\n", i);
      abort();
    }
  }
  if (offset != expected || lseek(fd, 0, SEEK_CUR) != expected) {
    fprintf(stderr, "payload offset %lld, expected %ld\n", static_cast<long long>(offset),
            expected);
    abort();
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::silence_stdout();
  archive = new fuzz::MemFile;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  archive->fill(data, size);
  const char *path = archive->path.c_str();

  fuzz::reset_stream();
  check_locator(data, size);

  fuzz::reset_stream();
  Options options = fuzz::fresh_options();
  options.list_mode = 1;
  options.verbose = 1;
  Listing listing;
  Archive a = {};
  try {
    // The listing reports damage without ending the run, and closes.
    if (archive_open(path, true, false, options.program_name, &a) == 0)
      list_archive(a, options, listing);
  } catch (const FatalStop &) {
    abort();
  }

  fuzz::reset_stream();
  options = fuzz::fresh_options();
  options.extract_only = 1;
  a = {};
  a.fd = -1;
  try {
    if (archive_open(path, true, false, options.program_name, &a) == 0)
      extract_archive(a, options);
  } catch (const FatalStop &) {
    // The real program ends here; the fuzzer closes what the run left open.
    if (a.fd > STDERR_FILENO) close(a.fd);
  }
  fflush(stdout);
  return 0;
}
