// Starting child programs.
#include "base/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

extern char **environ;

namespace kapsa {

namespace {

// Makes fd the child's descriptor target: dup2 when it is another one, else
// only its close-on-exec flag goes.  Returns 0 or the error number.
int give(posix_spawn_file_actions_t *actions, int fd, int target) {
  if (fd < 0) return 0;
  if (fd != target) return posix_spawn_file_actions_adddup2(actions, fd, target);
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) != 0) return errno;
  return 0;
}

}  // namespace

int spawn_program(const char *path, char **argv, int stdin_fd, int stdout_fd, const sigset_t *mask,
                  const sigset_t *defaults, pid_t *pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int error = posix_spawn_file_actions_init(&actions);
  if (error != 0) return error;
  error = posix_spawnattr_init(&attributes);
  if (error != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  error = give(&actions, stdin_fd, STDIN_FILENO);
  if (error == 0) error = give(&actions, stdout_fd, STDOUT_FILENO);
  short flags = 0;
  if (error == 0 && mask) {
    error = posix_spawnattr_setsigmask(&attributes, mask);
    flags |= POSIX_SPAWN_SETSIGMASK;
  }
  if (error == 0 && defaults) {
    error = posix_spawnattr_setsigdefault(&attributes, defaults);
    flags |= POSIX_SPAWN_SETSIGDEF;
  }
  if (error == 0) error = posix_spawnattr_setflags(&attributes, flags);
  if (error == 0) error = posix_spawn(pid, path, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error;
}

}  // namespace kapsa
