// Memory the process can still have: a trial mapping and the memory
// cgroups' limits.
//
// The cgroups of the process are found in /proc/self/cgroup, one line a
// hierarchy ("<id>:<controllers>:<path>"; the unified one is "0::<path>"),
// and their files under the mount of that hierarchy, from
// /proc/self/mountinfo (mount root within the hierarchy, field 4; mount
// point, field 5; filesystem type after " - "; super options last).  Of
// cgroup version 1 the memory controller's memory.limit_in_bytes,
// memory.usage_in_bytes and memory.stat's total_inactive_file are read; of
// version 2 memory.max, memory.current and memory.stat's inactive_file.
#include "base/memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"

namespace kapsa {

namespace {

constexpr size_t path_size = 1024;

// Reads the whole small file path into buf (size bytes, terminated).
// Returns false when it cannot be read.
bool read_small_file(const char *path, char *buf, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < size - 1) {
    ssize_t n = read(fd, buf + got, size - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  buf[got] = '\0';
  return got > 0;
}

// The number at the start of text, or UINT64_MAX for "max" and anything
// that is no number.
uint64_t number_of(const char *text) {
  if (*text < '0' || *text > '9') return UINT64_MAX;
  return strtoull(text, nullptr, 10);
}

// The value of the line "<key> <number>" of a memory.stat file, or 0.
uint64_t stat_value(const char *stat, const char *key) {
  size_t len = strlen(key);
  for (const char *line = stat; *line;) {
    if (strncmp(line, key, len) == 0 && line[len] == ' ') return number_of(line + len + 1);
    const char *end = strchr(line, '\n');
    if (!end) break;
    line = end + 1;
  }
  return 0;
}

// The room that the cgroup directory dir leaves (version 1 or 2), or
// UINT64_MAX when it sets no limit.
uint64_t room_of(const char *dir, bool v2) {
  char path[path_size], value[64];
  char stat[16384];
  if (text_format(path, sizeof path, "%s/%s", dir, v2 ? "memory.max" : "memory.limit_in_bytes") !=
          0 ||
      !read_small_file(path, value, sizeof value))
    return UINT64_MAX;
  uint64_t limit = number_of(value);
  // Version 1 says "no limit" with a huge number near 2^63.
  if (limit == UINT64_MAX || limit >= (uint64_t(1) << 62)) return UINT64_MAX;
  if (text_format(path, sizeof path, "%s/%s", dir,
                  v2 ? "memory.current" : "memory.usage_in_bytes") != 0 ||
      !read_small_file(path, value, sizeof value))
    return UINT64_MAX;
  uint64_t usage = number_of(value);
  if (usage == UINT64_MAX) return UINT64_MAX;
  uint64_t reclaimable = 0;
  if (text_format(path, sizeof path, "%s/memory.stat", dir) == 0 &&
      read_small_file(path, stat, sizeof stat))
    reclaimable = stat_value(stat, v2 ? "inactive_file" : "total_inactive_file");
  if (reclaimable > usage) reclaimable = usage;
  usage -= reclaimable;
  return usage >= limit ? 0 : limit - usage;
}

// The tightest room of the cgroup at path within the hierarchy mounted at
// mount_point (its root there being root) and of its ancestors up to the
// mount point.
uint64_t room_along(const char *mount_point, const char *root, const char *path, bool v2) {
  size_t root_len = strcmp(root, "/") == 0 ? 0 : strlen(root);
  if (strncmp(path, root, root_len) != 0) return UINT64_MAX;  // not below this mount
  char dir[path_size];
  if (text_format(dir, sizeof dir, "%s%s", mount_point, path + root_len) != 0) return UINT64_MAX;
  size_t floor = strlen(mount_point);
  uint64_t room = UINT64_MAX;
  for (;;) {
    uint64_t here = room_of(dir, v2);
    if (here < room) room = here;
    char *slash = strrchr(dir, '/');
    if (!slash || size_t(slash - dir) < floor) break;
    *slash = '\0';
  }
  return room;
}

}  // namespace

uint64_t memory_cgroup_room() {
  char cgroups[8192], mounts[65536];
  if (!read_small_file("/proc/self/cgroup", cgroups, sizeof cgroups) ||
      !read_small_file("/proc/self/mountinfo", mounts, sizeof mounts))
    return UINT64_MAX;
  uint64_t room = UINT64_MAX;
  for (char *line = mounts; *line;) {
    char *end = strchr(line, '\n');
    if (end) *end = '\0';
    // id parent major:minor root mount-point options ... - type source super-options
    char root[path_size], point[path_size], type[32], super[512];
    const char *dash = strstr(line, " - ");
    if (dash && sscanf(line, "%*s %*s %*s %1023s %1023s", root, point) == 2 &&
        sscanf(dash + 3, "%31s %*s %511s", type, super) == 2) {
      bool v2 = strcmp(type, "cgroup2") == 0;
      bool v1 = strcmp(type, "cgroup") == 0 && strstr(super, "memory");
      for (char *c = cgroups; (v1 || v2) && *c;) {
        char *c_end = strchr(c, '\n');
        if (c_end) *c_end = '\0';
        // "<id>:<controllers>:<path>"
        char *first = strchr(c, ':');
        char *second = first ? strchr(first + 1, ':') : nullptr;
        if (second) {
          *second = '\0';
          const char *controllers = first + 1;
          bool match = v2 ? *controllers == '\0' : strstr(controllers, "memory") != nullptr;
          if (match) {
            uint64_t here = room_along(point, root, second + 1, v2);
            if (here < room) room = here;
          }
          *second = ':';
        }
        if (!c_end) break;
        *c_end = '\n';
        c = c_end + 1;
      }
    }
    if (!end) break;
    *end = '\n';
    line = end + 1;
  }
  return room;
}

bool memory_available(uint64_t bytes) {
  if (bytes > SIZE_MAX / 2) return false;
  void *trial = mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
  if (trial == MAP_FAILED) return false;
  munmap(trial, size_t(bytes));
  return memory_cgroup_room() >= bytes;
}

}  // namespace kapsa
