// Starting a child program with posix_spawn, every set-up call checked.
#pragma once

#include <signal.h>
#include <sys/types.h>

namespace kapsa {

// Starts the program at path with argv and the environment of the process;
// stdin_fd and stdout_fd (-1: the process's own) become its standard input
// and output (every other descriptor of ours is close-on-exec).  It starts
// with the signal mask mask and the signals of defaults at their default
// actions (null: the process's own mask, no change).  Returns 0 with *pid
// set, or the error number.
int spawn_program(const char *path, char **argv, int stdin_fd, int stdout_fd, const sigset_t *mask,
                  const sigset_t *defaults, pid_t *pid);

}  // namespace kapsa
