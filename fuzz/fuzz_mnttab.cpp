// Fuzz target: the mount table readers, five-field and Linux formats, on
// arbitrary table files.
//
// The input is the table file.  Each format walks it to the end, checks that
// the walk stays ended, starts again after mnttab_close and finds the first
// entry again by name.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "lib/mnttab.h"

using namespace kapsa;

namespace {

fuzz::MemFile *table;

// No walk is longer than the table has lines.
constexpr int max_entries = 100000;

bool terminated(const MountEntry &e) {
  return memchr(e.special, 0, sizeof e.special) && memchr(e.mount_point, 0, sizeof e.mount_point) &&
         memchr(e.fstype, 0, sizeof e.fstype) && e.read_only <= 1;
}

bool same(const MountEntry &a, const MountEntry &b) {
  return strcmp(a.special, b.special) == 0 && strcmp(a.mount_point, b.mount_point) == 0 &&
         strcmp(a.fstype, b.fstype) == 0 && a.read_only == b.read_only;
}

void walk(int linux_format) {
  mnttab_use_table_for_testing(table->path.c_str(), linux_format);
  MountEntry first = {};
  int count = 0;
  while (MountEntry *e = mnttab_next()) {
    if (!terminated(*e)) abort();
    if (count == 0) first = *e;
    if (++count > max_entries) abort();
  }
  if (mnttab_next()) abort();  // an ended walk stays ended

  mnttab_close();
  MountEntry *again = mnttab_next();
  if ((again != nullptr) != (count > 0)) abort();
  if (again && !same(*again, first)) abort();

  // A name that was not cut to fit is found again; the walk then restarts.
  if (count > 0 && first.mount_point[0] &&
      strlen(first.mount_point) < sizeof first.mount_point - 1) {
    if (!mnttab_find(first.mount_point)) abort();
    MountEntry *restarted = mnttab_next();
    if (!restarted || !same(*restarted, first)) abort();
  }
  mnttab_find("/");
  mnttab_close();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  table = new fuzz::MemFile;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  table->fill(data, size);
  walk(0);
  walk(1);
  mnttab_use_table_for_testing(nullptr, 0);
  return 0;
}
