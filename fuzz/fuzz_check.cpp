// Fuzz target: the check path (--check) on arbitrary archive file contents:
// the preamble, the sizes the archive claims (its SIZE= item against the
// trailers) and the payload decompressed into nothing.  A check that says
// OK must agree with a plain inflate of the first member.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/check.h"
#include "archive/preamble.h"
#include "base/fatal.h"
#include "base/options.h"
#include "fuzz_support.h"

using namespace kapsa;

namespace {

fuzz::MemFile *archive;

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
  Options options = fuzz::fresh_options();
  options.check_mode = 1;
  bool stopped = false;
  Archive a = {};
  a.fd = -1;
  try {
    // No archive: nothing was checked.
    if (archive_open(path, true, false, options.program_name, &a) != 0) return 0;
    check_archive(a, options);
  } catch (const FatalStop &) {
    // The real program ends here; the fuzzer closes what the run left open.
    if (a.fd > STDERR_FILENO) close(a.fd);
    stopped = true;
  }
  fflush(stdout);
  if (stopped || options.exit_code != 0 || a.payload.kind != PayloadKind::gzip) return 0;
  // Passed: the first member behind the preamble inflates whole, where zlib
  // reads its header as this program does (1F 8B, no part number, no
  // reserved flag bits).
  const uint8_t *head = data + a.payload_offset;
  if (size - size_t(a.payload_offset) < 4 || head[1] != 0x8b || (head[3] & 0xe2)) return 0;
  z_stream zs = {};
  if (inflateInit2(&zs, 16 + 15) != Z_OK) abort();
  const uint8_t *payload = data + a.payload_offset;
  zs.next_in = const_cast<uint8_t *>(payload);
  zs.avail_in = uInt(size - size_t(a.payload_offset));
  uint8_t sink[65536];
  int ret;
  do {
    zs.next_out = sink;
    zs.avail_out = sizeof sink;
    ret = inflate(&zs, Z_NO_FLUSH);
  } while (ret == Z_OK);
  if (ret != Z_STREAM_END) {
    fprintf(stderr, "the check passed a member zlib refuses: %d %s\n", ret, zs.msg ? zs.msg : "");
    abort();
  }
  inflateEnd(&zs);
  return 0;
}
