// The stop for a failed mutex or condition call.
#include "io/sync.h"

#include <cstdlib>

namespace kapsa {

void (*sync_abort_hook)(const char *call) = nullptr;

void sync_failed(const char *call) {
  if (sync_abort_hook) sync_abort_hook(call);
  abort();
}

}  // namespace kapsa
