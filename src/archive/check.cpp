// Testing archives without extracting them.
#include "archive/check.h"

#include <unistd.h>

#include <cstdio>

#include "archive/features.h"
#include "base/options.h"
#include "gz/decoder.h"

namespace kapsa {

int check_payload(const Archive &a, bool notes) {
  PayloadKind kind = payload_kind();
  if (kind == PayloadKind::raw) return 0;
  PayloadSizes sizes;
  if (kind == PayloadKind::gzip && payload_sizes(a, &sizes) != 0) return -1;
  Decoder d;
  if (decoder_begin(d, kind, a.fd, payload_size(a), notes) != 0) {
    fprintf(stderr, "%s: unknown compression method\n", a.name);
    return -1;
  }
  decoder_transfer(d, -1, options.quiet);
  return 1;
}

void check_archive(const Archive &a) {
  archive_job_begin(a);
  int checked = check_payload(a, options.verbose);
  close(a.fd);
  if (checked < 0) {
    options.exit_code = 1;
    return;
  }
  printf(checked ? "%s: OK\n" : "%s: OK (raw payload: not checked)\n", a.name);
}

}  // namespace kapsa
