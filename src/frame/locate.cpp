// Finding executables through the current directory and "PATH".
#include "frame/locate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "frame/options.h"
#include "frame/text.h"

namespace kapsa {

namespace {

char located[text_size];
char self_path[text_size];

bool same_file(const char *a, const struct stat &b) {
  struct stat st;
  return stat(a, &st) == 0 && st.st_dev == b.st_dev && st.st_ino == b.st_ino;
}

}  // namespace

const char *locate_executable(const char *name) {
  if (!name[0]) return nullptr;
  if (access(name, X_OK) == 0)
    return text_copy(located, sizeof located, name) == 0 ? located : nullptr;
  if (name[0] == '.') return text_copy(located, sizeof located, name) == 0 ? located : nullptr;

  const char *path = getenv("PATH");
  if (!path) return nullptr;
  for (const char *dir = path;;) {
    const char *end = strchr(dir, ':');
    size_t dir_len = end ? size_t(end - dir) : strlen(dir);
    if (text_format(located, sizeof located, "%.*s/%s", int(dir_len), dir, name) == 0 &&
        access(located, X_OK) == 0)
      return located;
    if (!end) break;
    dir = end + 1;
  }
  return nullptr;
}

bool locate_running_program(const char *name, RunningProgram *running) {
  static const char kernel_name[] = "/proc/self/exe";
  running->lookup_name = name;
  running->path = nullptr;
  struct stat self;
  bool known = stat(kernel_name, &self) == 0;
  const char *found = locate_executable(name);
  if (found && (!known || same_file(found, self))) {
    if (text_copy(self_path, sizeof self_path, found) == 0) running->path = self_path;
    return known;
  }
  if (!known) return false;
  // The name leads elsewhere: use the kernel's path of the running file when
  // it still names that file, else the kernel's own link to it.
  ssize_t n = readlink(kernel_name, self_path, sizeof self_path - 1);
  if (n > 0) {
    self_path[n] = '\0';
    if (!same_file(self_path, self)) text_copy(self_path, sizeof self_path, kernel_name);
  } else {
    text_copy(self_path, sizeof self_path, kernel_name);
  }
  running->lookup_name = running->path = self_path;
  return true;
}

}  // namespace kapsa
