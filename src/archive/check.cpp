// Testing archives without extracting them.
#include "archive/check.h"

#include <unistd.h>

#include <cstdio>

#include "base/text.h"
#include "payload/payload.h"

namespace kapsa {

int check_payload(Archive &a, const Options &options, bool notes, uint64_t *memory_mib) {
  Payload &p = a.payload;
  if (memory_mib) *memory_mib = 0;
  if (!payload_is_checked(p)) return 0;
  if (payload_measure(p) != 0) return -1;
  if (payload_read_header(p, notes, options.list_mode || !options.to_stdout) != 0) {
    fprintf(stderr, "%s: unknown compression method\n", Shown(a.name).text);
    return -1;
  }
  uint64_t mib;
  if (payload_check_members(p, true) != 0 || payload_memory_check(p, &mib) != 0) return -1;
  if (memory_mib) *memory_mib = mib;
  payload_decode(p, -1, p.name, options.quiet);
  return 1;
}

void check_archive(Archive &a, Options &options) {
  uint64_t memory_mib;
  int checked = check_payload(a, options, options.verbose, &memory_mib);
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
