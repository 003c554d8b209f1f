// The fatal stop and the removal of the temporary link.
#include "frame/fatal.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/text.h"

namespace kapsa {

namespace {

// The registered link: this copy, not the extraction driver's link buffer,
// is the record that every cleanup (fatal_exit, the signal handler, the end
// of the run) removes.  Written only with the cleanup signals blocked, so
// that the handler never sees it half-copied.
char link_path[link_buffer_size];
volatile sig_atomic_t link_set = 0;

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Blocks the cleanup signals; *old receives the mask to restore.
void block_cleanup_signals(sigset_t *old) {
  sigset_t block;
  sigemptyset(&block);
  for (int sig : cleanup_signals) sigaddset(&block, sig);
  sigprocmask(SIG_BLOCK, &block, old);
}

// Unlinks link_path when it still names a symbolic link: a directory or file
// that someone put there meanwhile is never removed.  Async-signal-safe.
void remove_link_now() {
  struct stat st;
  if (link_set && lstat(link_path, &st) == 0 && S_ISLNK(st.st_mode)) unlink(link_path);
  link_set = 0;
}

void on_cleanup_signal(int sig) {
  remove_link_now();
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void fatal_set_link(const char *path) {
  sigset_t old;
  block_cleanup_signals(&old);
  link_set = 0;
  if (path && *path && text_copy(link_path, sizeof link_path, path) == 0) {
    link_set = 1;
    for (int sig : cleanup_signals) {
      // A signal the caller ignores (nohup, a background job) stays ignored.
      struct sigaction old_action;
      if (sigaction(sig, nullptr, &old_action) == 0 && old_action.sa_handler == SIG_IGN) continue;
      struct sigaction sa = {};
      sa.sa_handler = on_cleanup_signal;
      sigemptyset(&sa.sa_mask);
      sigaction(sig, &sa, nullptr);
    }
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void fatal_remove_link() {
  sigset_t old;
  block_cleanup_signals(&old);
  remove_link_now();
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void fatal_exit() {
#ifdef KAPSA_FUZZ
  throw FatalStop{};
#else
  fatal_remove_link();
  fflush(stdout);
  exit(1);
#endif
}

}  // namespace kapsa
