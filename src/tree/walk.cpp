// Walking below a directory descriptor without following links.
#include "tree/walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kapsa {

void tree_walk_begin(TreeWalk &w, int root_fd, bool make) {
  w.root_fd = root_fd;
  w.make = make;
  w.dir_fd = -1;
  w.dir[0] = '\0';
}

int tree_walk_parent(TreeWalk &w, const char *name, const char **last) {
  const char *slash = strrchr(name, '/');
  *last = slash ? slash + 1 : name;
  if (!slash) return w.root_fd;
  size_t len = size_t(slash - name);
  size_t have = strlen(w.dir);
  if (w.dir_fd >= 0 && have == len && memcmp(w.dir, name, len) == 0) return w.dir_fd;
  // Go on from the directory last reached when it is on the way.
  size_t at = 0;
  int fd = w.root_fd;
  if (w.dir_fd >= 0 && have < len && name[have] == '/' && memcmp(w.dir, name, have) == 0) {
    at = have + 1;
    fd = w.dir_fd;
  } else if (w.dir_fd >= 0) {
    close(w.dir_fd);
  }
  w.dir_fd = -1;
  w.dir[0] = '\0';
  char part[tree_name_max + 1];
  while (at < len) {
    size_t n = strcspn(name + at, "/");
    memcpy(part, name + at, n);
    part[n] = '\0';
    at += n + 1;
    int next = openat(fd, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && w.make) {
      if (mkdirat(fd, part, 0700) == 0 || errno == EEXIST)
        next = openat(fd, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    int saved = errno;
    if (fd != w.root_fd) close(fd);
    if (next < 0) {
      errno = saved;
      return -1;
    }
    fd = next;
  }
  memcpy(w.dir, name, len);
  w.dir[len] = '\0';
  w.dir_fd = fd;
  return fd;
}

void tree_walk_end(TreeWalk &w) {
  if (w.dir_fd >= 0) close(w.dir_fd);
  w.dir_fd = -1;
  w.dir[0] = '\0';
}

}  // namespace kapsa
