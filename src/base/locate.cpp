// Finding executables through the current directory and "PATH".
#include "base/locate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "base/options.h"
#include "base/text.h"

namespace kapsa {

namespace {

char located[text_size];
char self_path[text_size];
char image_path[text_size];

constexpr const char *known_arches[] = {"x86_64", "aarch64"};

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
  // The file opened, not the link stat'ed: a user-mode emulator running the
  // program answers the open with the program's file, the stat with its own.
  struct stat self;
  int fd = open(kernel_name, O_RDONLY | O_CLOEXEC);
  bool known = fd >= 0 && fstat(fd, &self) == 0;
  if (fd >= 0) close(fd);
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

#if defined(__x86_64__)
const char *const locate_native_arch = "x86_64";
#elif defined(__aarch64__)
const char *const locate_native_arch = "aarch64";
#else
#error "extractor images are built for x86_64 and aarch64 only"
#endif

bool locate_known_arch(const char *arch) {
  for (const char *known : known_arches)
    if (strcmp(arch, known) == 0) return true;
  return false;
}

const char *locate_installed(const char *file, const char *program, char *tried,
                             size_t tried_size) {
  tried[0] = '\0';
  if (!program) return nullptr;
  // The program's own file first: reached through a symbolic link (an
  // installed kapsa linked into a folder of PATH), it lies beside what was
  // installed with it, not beside the link.
  char resolved[PATH_MAX];
  const char *programs[2] = {program, nullptr};
  if (realpath(program, resolved) && strcmp(resolved, program) != 0) {
    programs[0] = resolved;
    programs[1] = program;
  }
  size_t tried_len = 0;
  for (const char *one : programs) {
    if (!one) break;
    const char *slash = strrchr(one, '/');
    int dir_len = slash ? int(slash - one) : 1;
    const char *dir = slash ? one : ".";
    if (slash == one) dir_len = 0;  // the root folder
    char installed[text_size], beside[text_size];
    if (text_format(installed, sizeof installed, "%.*s/../lib/kapsa/%s", dir_len, dir, file) != 0 ||
        text_format(beside, sizeof beside, "%.*s/%s", dir_len, dir, file) != 0)
      continue;
    text_format(tried + tried_len, tried_size - tried_len, "%s%s or %s", tried_len ? " or " : "",
                installed, beside);
    tried_len = strlen(tried);
    for (const char *candidate : {installed, beside}) {
      struct stat st;
      if (stat(candidate, &st) == 0 && S_ISREG(st.st_mode) && access(candidate, X_OK) == 0)
        return text_copy(image_path, sizeof image_path, candidate) == 0 ? image_path : nullptr;
    }
  }
  return nullptr;
}

const char *locate_extractor_image(const char *arch, const char *program, char *tried,
                                   size_t tried_size) {
  char file[64];
  if (text_format(file, sizeof file, "kapsa-%s", arch) != 0) return nullptr;
  if (const char *found = locate_installed(file, program, tried, tried_size)) return found;
  if (program && strcmp(arch, locate_native_arch) == 0)
    return text_copy(image_path, sizeof image_path, program) == 0 ? image_path : nullptr;
  return nullptr;
}

}  // namespace kapsa
