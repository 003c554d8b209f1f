// Testing archives without extracting them.
#include "archive/check.h"

#include <unistd.h>

#include <cstdio>

#include "archive/features.h"
#include "base/memory.h"
#include "base/options.h"
#include "gz/decoder.h"

namespace kapsa {

int check_payload(const Archive &a, bool notes, uint64_t *memory_mib) {
  PayloadKind kind = payload_kind();
  if (memory_mib) *memory_mib = 0;
  if (kind == PayloadKind::raw) return 0;
  PayloadSizes sizes;
  if (kind == PayloadKind::gzip && payload_sizes(a, &sizes) != 0) return -1;
  Decoder d;
  if (decoder_begin(d, kind, a.fd, payload_size(a), notes) != 0) {
    fprintf(stderr, "%s: unknown compression method\n", a.name);
    return -1;
  }
  if (decoder_check_members(d, a.name, true) != 0) return -1;
  if (kind == PayloadKind::zstd) {
    if (!memory_available(zstd_memory_needed(d.frames.window))) {
      zstd_report_memory(a.name, d.frames.window);
      return -1;
    }
    if (memory_mib) *memory_mib = zstd_memory_mib(d.frames.window);
  }
  decoder_transfer(d, -1, options.quiet);
  return 1;
}

void check_archive(const Archive &a) {
  archive_job_begin(a);
  uint64_t memory_mib;
  int checked = check_payload(a, options.verbose, &memory_mib);
  close(a.fd);
  if (checked < 0) {
    options.exit_code = 1;
    return;
  }
  if (memory_mib)
    printf("%s: OK (unpacking needs %llu MiB of memory)\n", a.name,
           (unsigned long long)memory_mib);
  else
    printf(checked ? "%s: OK\n" : "%s: OK (raw payload: not checked)\n", a.name);
}

}  // namespace kapsa
