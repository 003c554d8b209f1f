// Testing archives without extracting them.
#include "archive/check.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "archive/signature.h"
#include "base/features.h"
#include "base/text.h"
#include "payload/payload.h"
#include "tree/tar.h"

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
  if (!feature_item(a.preamble.features, "TREE")) {
    payload_decode(p, -1, p.name, options.quiet);
    return 1;
  }
  // A tree's stream is checked as an installation would unpack it: every
  // header, every name and type.
  std::unique_ptr<TreeCheck, decltype(&free)> check(
      static_cast<TreeCheck *>(calloc(1, sizeof(TreeCheck))), free);
  if (!check) {
    fprintf(stderr, "%s: out of memory\n", Shown(a.name).text);
    return -1;
  }
  tree_check_begin(*check, a.name, false);
  payload_decode(p, -1, p.name, options.quiet, tree_check_consume, check.get());
  return tree_check_end(*check) == 0 ? 1 : -1;
}

void check_archive(Archive &a, Options &options) {
  uint64_t memory_mib;
  // Who made it first (a signed archive checks its own signature), then
  // what it holds.
  int checked = signature_check(a, options, false) == 0
                    ? check_payload(a, options, options.verbose, &memory_mib)
                    : -1;
  close(a.fd);
  if (checked < 0) {
    options.exit_code = 1;
    return;
  }
  if (options.key_count)
    signature_print_ok(a);
  else if (memory_mib)
    printf("%s: OK (unpacking needs %llu MiB of memory)\n", a.name,
           (unsigned long long)memory_mib);
  else
    printf(checked ? "%s: OK\n" : "%s: OK (raw payload: not checked)\n", a.name);
}

}  // namespace kapsa
