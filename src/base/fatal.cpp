// The fatal stop, and the cleanup of the extract command and the temporary
// link on every way out.
#include "base/fatal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "base/progress.h"
#include "base/rmtree.h"
#include "base/syserr.h"
#include "base/text.h"

namespace kapsa {

namespace {

// What the cleanup removes and waits for.  This record, not the extraction
// driver's link buffer, is what every cleanup uses.  Written only with the
// cleanup signals blocked, so that the handler never sees it half-made.
struct Cleanup {
  char link_path[link_buffer_size];    // the temporary link
  char link_target[link_buffer_size];  // what it must still point to
  dev_t link_device;                   // the link itself, as made: a link
  ino_t link_inode;                    //   put there later is someone else's
  volatile sig_atomic_t link_set;      // link_path is registered
  char staging[link_buffer_size * 2];  // a staging directory this run is filling
  volatile sig_atomic_t staging_set;   // staging is registered
  char replaced[link_buffer_size * 2];  // a tree replaced by the new one at target:
  char target[link_buffer_size * 2];    //   swapped back should the run end now
  volatile sig_atomic_t rollback_set;   // replaced and target are registered
  volatile sig_atomic_t child_pid;     // the extract command; 0 when none
  volatile sig_atomic_t child_fd;      // the pipe to its standard input
  const char *child_command;           // its command line, for messages
  const char *child_archive;           // the archive it extracts, for messages
  bool catching;                       // the handlers are installed
};

Cleanup cleanup = {};
std::atomic<void (*)()> cleanup_quiesce{nullptr};

// The catchable signals whose default action ends the process.  The ones a
// fault raises (SIGSEGV, SIGBUS, SIGFPE, SIGILL) are included: a crash must
// not leave a link either.
constexpr int fatal_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT,
                                 SIGBUS,  SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGPIPE,
                                 SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM,
                                 SIGPROF, SIGIO,   SIGPWR,    SIGSYS};

void fill_signal_set(sigset_t *set) {
  sigemptyset(set);
  for (int sig : fatal_signals) sigaddset(set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) sigaddset(set, sig);
}

// Closes the pipe and waits for the registered child.  Async-signal-safe.
int end_child_now() {
  pid_t pid = pid_t(cleanup.child_pid);
  if (pid <= 0) return -1;
  close(int(cleanup.child_fd));
  cleanup.child_pid = 0;
  return fatal_wait_child(pid);
}

// Unlinks the registered link when it is still the very link this run made,
// pointing to its registered target: a directory, a file or another link
// that someone put there meanwhile is never removed.  Async-signal-safe.
void remove_link_now() {
  if (!cleanup.link_set) return;
  cleanup.link_set = 0;
  struct stat st;
  if (lstat(cleanup.link_path, &st) != 0 || !S_ISLNK(st.st_mode) ||
      st.st_dev != cleanup.link_device || st.st_ino != cleanup.link_inode)
    return;
  char target[link_buffer_size];
  ssize_t n = readlink(cleanup.link_path, target, sizeof target);
  if (n < 0 || size_t(n) >= sizeof target) return;
  target[n] = '\0';
  if (strcmp(target, cleanup.link_target) == 0) unlink(cleanup.link_path);
}

// Removes the registered staging directory, all of it.  Async-signal-safe.
void remove_staging_now() {
  if (!cleanup.staging_set) return;
  cleanup.staging_set = 0;
  rmtree(AT_FDCWD, cleanup.staging);
}

// Puts the registered replaced tree back at its target and removes the new
// one, which the exchange leaves where the old one was.  Async-signal-safe.
void roll_back_now() {
  if (!cleanup.rollback_set) return;
  cleanup.rollback_set = 0;
  constexpr unsigned exchange = 1 << 1;  // RENAME_EXCHANGE
  if (syscall(SYS_renameat2, AT_FDCWD, cleanup.replaced, AT_FDCWD, cleanup.target, exchange) == 0)
    rmtree(AT_FDCWD, cleanup.replaced);
}

void on_fatal_signal(int sig, siginfo_t *info, void *) {
  // A write of our own to a pipe without a reader: the write fails with
  // EPIPE, and the code that made it decides.
  if (sig == SIGPIPE && info && info->si_code == SI_USER && info->si_pid == getpid()) return;
  int saved = errno;
  // Another thread's writes and progress stop before the pipe and the line go.
  if (auto quiesce = cleanup_quiesce.load()) quiesce();
  progress_end();
  end_child_now();
  remove_staging_now();
  roll_back_now();
  remove_link_now();
  signal(sig, SIG_DFL);
  raise(sig);  // delivered, with the default action, when the handler returns
  errno = saved;
}

}  // namespace

int fatal_wait_child(pid_t pid) {
  int status = -1;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

void fatal_catch_signals() {
  if (cleanup.catching) return;
  cleanup.catching = true;
  struct sigaction sa = {};
  sa.sa_sigaction = on_fatal_signal;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  fill_signal_set(&sa.sa_mask);
  for (int sig = 1; sig <= SIGRTMAX; sig++) {
    if (!sigismember(&sa.sa_mask, sig)) continue;
    // A signal the caller ignores stays ignored; one that another part of
    // the process handles (a sanitizer's crash report) keeps its handler.
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    sigaction(sig, &sa, nullptr);
  }
}

void fatal_block_signals(sigset_t *old, bool faults_too) {
  sigset_t block;
  fill_signal_set(&block);
  if (!faults_too)
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigdelset(&block, sig);
  sigprocmask(SIG_BLOCK, &block, old);
}

void fatal_set_quiesce(void (*quiesce)()) { cleanup_quiesce.store(quiesce); }

void fatal_restore_signals(const sigset_t *old) { sigprocmask(SIG_SETMASK, old, nullptr); }

void fatal_set_link(const char *path, const char *target) {
  sigset_t old;
  fatal_block_signals(&old);
  cleanup.link_set = 0;
  struct stat st;
  if (path && *path && target &&
      text_copy(cleanup.link_path, sizeof cleanup.link_path, path) == 0 &&
      text_copy(cleanup.link_target, sizeof cleanup.link_target, target) == 0 &&
      lstat(path, &st) == 0) {
    cleanup.link_device = st.st_dev;
    cleanup.link_inode = st.st_ino;
    cleanup.link_set = 1;
  }
  fatal_restore_signals(&old);
}

void fatal_set_staging(const char *path, bool remove) {
  sigset_t old;
  fatal_block_signals(&old);
  if (remove) remove_staging_now();
  cleanup.staging_set = path && text_copy(cleanup.staging, sizeof cleanup.staging, path) == 0;
  fatal_restore_signals(&old);
}

void fatal_set_rollback(const char *target, const char *replaced, bool now) {
  sigset_t old;
  fatal_block_signals(&old);
  if (now) roll_back_now();
  cleanup.rollback_set =
      target && replaced && text_copy(cleanup.target, sizeof cleanup.target, target) == 0 &&
      text_copy(cleanup.replaced, sizeof cleanup.replaced, replaced) == 0;
  fatal_restore_signals(&old);
}

void fatal_remove_link() {
  sigset_t old;
  fatal_block_signals(&old);
  remove_link_now();
  fatal_restore_signals(&old);
}

void fatal_set_child(pid_t pid, int pipe_fd, const char *command, const char *archive) {
  sigset_t old;
  fatal_block_signals(&old);
  cleanup.child_fd = pipe_fd;
  cleanup.child_command = command;
  cleanup.child_archive = archive;
  cleanup.child_pid = pid;
  fatal_restore_signals(&old);
}

const char *fatal_end_child(int *status, const char **archive) {
  sigset_t old;
  fatal_block_signals(&old);
  const char *command = cleanup.child_pid > 0 ? cleanup.child_command : nullptr;
  if (archive) *archive = cleanup.child_archive;
  *status = end_child_now();
  cleanup.child_command = nullptr;
  fatal_restore_signals(&old);
  return command;
}

bool (*fatal_broken_pipe_hook)() = nullptr;

void fatal_report_error(const char *program, const char *name, const char *message) {
  progress_end();
  fprintf(stderr, "\n%s: %s: %s\n", program, Shown(name).text, message);
}

void fatal_error(const char *program, const char *name, const char *message) {
  fatal_report_error(program, name, message);
  fatal_exit();
}

void fatal_report_read(const char *program, const char *name) {
  int saved = errno;
  progress_end();
  fprintf(stderr, "\n%s: ", program);
  if (saved != 0) {
    errno = saved;
    syserr_report(name);
  } else {
    fprintf(stderr, "%s: unexpected end of file\n", Shown(name).text);
  }
  errno = saved;
}

void fatal_read_error(const char *program, const char *name) {
  fatal_report_read(program, name);
  fatal_exit();
}

void fatal_write_error(const char *program, const char *name) {
  int saved = errno;
  progress_end();
  if (saved == EPIPE && fatal_broken_pipe_hook && fatal_broken_pipe_hook()) fatal_exit();
  fprintf(stderr, "\n%s: ", program);
  errno = saved;
  syserr_report(name);
  fatal_exit();
}

void fatal_exit() {
#ifdef KAPSA_FUZZ
  throw FatalStop{};
#else
  if (auto quiesce = cleanup_quiesce.load()) quiesce();
  int status;
  fatal_end_child(&status);
  fatal_set_staging(nullptr, true);
  fatal_set_rollback(nullptr, nullptr, true);
  fatal_remove_link();
  fflush(stdout);
  exit(1);
#endif
}

}  // namespace kapsa
