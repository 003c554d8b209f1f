// The stop for a failed mutex or condition call.
#include "lib/sync.h"

#include <cstdio>
#include <cstdlib>

#include "frame/options.h"

namespace kapsa {

void sync_failed(const char *call) {
  fprintf(stderr, "%s: %s failed\n", options.program_name, call);
  abort();
}

}  // namespace kapsa
