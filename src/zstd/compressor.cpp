// Starting kapsa-zstd and draining its frame into the build's sink.
#include "zstd/compressor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>

#include "base/fatal.h"
#include "base/progress.h"
#include "base/spawn.h"
#include "base/syserr.h"
#include "base/text.h"
#include "io/fdio.h"

namespace kapsa {

int compressor_write_frame(const char *compressor, int in_fd, const char *name, int level,
                           int window_log, long long size, Sink &out, const char *program) {
  char level_text[16], window_text[16], parent[32], size_text[32];
  text_format(size_text, sizeof size_text, "%lld", size);
  text_format(level_text, sizeof level_text, "%d", level);
  text_format(window_text, sizeof window_text, "%d", window_log);
  // The compressor ends when this process ends, however it ends.
  text_format(parent, sizeof parent, "%ld", long(getpid()));
  char *argv[] = {const_cast<char *>(compressor), level_text, window_text, parent,
                  const_cast<char *>(name), size >= 0 ? size_text : nullptr, nullptr};
  progress_end();  // the compressor reads the input itself
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    syserr_report(compressor);
    return -1;
  }
  // It starts with no signal blocked and the usual actions of the signals
  // that end a program.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM}) sigaddset(&defaults, sig);
  pid_t pid;
  int error = spawn_program(compressor, argv, in_fd, ends[1], &none, &defaults, &pid);
  close(ends[1]);
  if (error != 0) {
    close(ends[0]);
    errno = error;
    syserr_report(compressor);
    return -1;
  }
  std::unique_ptr<unsigned char, decltype(&free)> block(
      static_cast<unsigned char *>(malloc(size_t(1) << 16)), free);
  for (;;) {
    size_t n = block ? fdio_read(ends[0], block.get(), size_t(1) << 16) : 0;
    if (n > 0) sink_write_or_stop(out, block.get(), n);
    if (n < (size_t(1) << 16)) break;  // the end of its frame, or a failed read
  }
  int read_errno = block ? errno : ENOMEM;
  close(ends[0]);
  int status = fatal_wait_child(pid);
  if (status == -1) {
    syserr_report(compressor);
    return -1;
  }
  if (WIFSIGNALED(status)) {
    fprintf(stderr, "%s: %s: zstd: the compressor ended by signal %d\n", program,
            Shown(name).text, WTERMSIG(status));
    return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;  // it said why
  if (read_errno != 0) {
    errno = read_errno;
    syserr_report(compressor);
    return -1;
  }
  return 0;
}

}  // namespace kapsa
