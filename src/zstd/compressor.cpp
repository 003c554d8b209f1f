// Starting kapsa-zstd for each frame and draining the frames into the
// build's sink in order.
//
// Up to `threads` compressors run at once.  Each writes its frame into a
// pipe of its own; the build polls all of them, writes the frame that is
// due straight to the sink and keeps the later ones in memory until they
// are due.  A compressor of a part of a regular file reads the file itself
// (pread at its offset); one of a pipe is fed its part by the build, which
// it reads whole before it compresses, so that the build goes on to the
// next part at once.
#include "zstd/compressor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "base/fatal.h"
#include "base/progress.h"
#include "base/spawn.h"
#include "base/syserr.h"
#include "base/text.h"
#include "gz/deflate.h"
#include "io/fdio.h"

namespace kapsa {

namespace {

constexpr size_t block_size = size_t(1) << 16;

// One frame being compressed: its compressor, the pipe its frame comes
// through, and what came of it before it was due.
struct Job {
  pid_t pid = -1;
  int from = -1;                  // the frame's pipe; -1 once it has ended
  unsigned char *held = nullptr;  // bytes that came before the frame was due (malloc)
  size_t held_len = 0;
  size_t held_cap = 0;
  int read_errno = 0;  // a failed read of the pipe
};

// The jobs under way, in frame order: jobs[(first + i) % count].
struct Jobs {
  Job *jobs = nullptr;
  int count = 0;
  ~Jobs() {
    // A build that gives up ends its compressors first.
    for (int i = 0; jobs && i < count; i++) {
      Job &j = jobs[i];
      if (j.pid > 0) {
        kill(j.pid, SIGKILL);
        fatal_wait_child(j.pid);
      }
      if (j.from >= 0) close(j.from);
      free(j.held);
    }
    free(jobs);
  }
};

// Where the input's size stands: *size (the regular file's rest when it
// was -1) and *offset (the file position of a regular file, else -1).
void input_extent(int in_fd, long long *size, long long *offset) {
  struct stat st;
  *offset = -1;
  if (fstat(in_fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  off_t at = lseek(in_fd, 0, SEEK_CUR);
  if (at < 0 || st.st_size < at) return;
  *offset = at;
  if (*size < 0) *size = st.st_size - at;
}

// Says why the compressor could not run (errno).  Returns -1.
int cannot_run(const char *compressor) {
  syserr_report(compressor);
  return -1;
}

// Starts the compressor of the frame of size bytes at offset of in_fd (-1:
// fed through a pipe, whose writing end *feed receives; size -1: the whole
// input as it comes).  Returns 0, or -1 after a message.
int start_job(const char *compressor, int in_fd, const char *name, int level, int window_log,
              long long size, long long offset, Job &job, int *feed) {
  char level_text[16], window_text[16], parent[32], size_text[32], offset_text[32];
  text_format(level_text, sizeof level_text, "%d", level);
  text_format(window_text, sizeof window_text, "%d", window_log);
  // The compressor ends when this process ends, however it ends.
  text_format(parent, sizeof parent, "%ld", long(getpid()));
  text_format(size_text, sizeof size_text, "%lld", size);
  text_format(offset_text, sizeof offset_text, "%lld", offset);
  char *argv[] = {const_cast<char *>(compressor),
                  level_text,
                  window_text,
                  parent,
                  const_cast<char *>(name),
                  size >= 0 ? size_text : nullptr,
                  offset >= 0 ? offset_text : nullptr,
                  nullptr};
  int out_ends[2], in_ends[2] = {-1, -1};
  if (pipe2(out_ends, O_CLOEXEC) != 0) return cannot_run(compressor);
  if (feed && pipe2(in_ends, O_CLOEXEC) != 0) {
    int saved = errno;
    close(out_ends[0]);
    close(out_ends[1]);
    errno = saved;
    return cannot_run(compressor);
  }
  // It starts with no signal blocked and the usual actions of the signals
  // that end a program.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM}) sigaddset(&defaults, sig);
  int error = spawn_program(compressor, argv, feed ? in_ends[0] : in_fd, out_ends[1], &none,
                            &defaults, &job.pid);
  close(out_ends[1]);
  if (feed) close(in_ends[0]);
  if (error != 0) {
    job.pid = -1;
    close(out_ends[0]);
    if (feed) close(in_ends[1]);
    errno = error;
    return cannot_run(compressor);
  }
  job.from = out_ends[0];
  if (feed) *feed = in_ends[1];
  return 0;
}

// Copies size bytes of in_fd into the pipe feed, which it closes.  A
// compressor that stops reading (it failed) makes the write fail: it says
// why itself.
void feed_job(int in_fd, long long size, int feed, unsigned char *block) {
  // A compressor that ends early must not end this process by SIGPIPE.
  sigset_t pipe_signal, old;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &old);
  while (size > 0) {
    size_t want = size < (long long)block_size ? size_t(size) : block_size;
    size_t n = fdio_read(in_fd, block, want);
    if (n == 0 || fdio_write(feed, block, n) != 0) break;
    size -= (long long)n;
  }
  close(feed);
  // A SIGPIPE raised here is taken back before the mask is restored.
  struct timespec none = {0, 0};
  while (sigtimedwait(&pipe_signal, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Reads what the job's pipe holds: to the sink when the frame is due (its
// held bytes first), else into held.  At the end of the pipe it is closed.
// Returns false when memory for held bytes runs out.
bool drain_job(Job &job, bool due, Sink &out, unsigned char *block) {
  if (due && job.held_len > 0) {
    sink_write_or_stop(out, job.held, job.held_len);
    job.held_len = 0;
  }
  ssize_t n = read(job.from, block, block_size);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    if (n < 0) job.read_errno = errno;
    close(job.from);
    job.from = -1;
    return true;
  }
  if (due) {
    sink_write_or_stop(out, block, size_t(n));
    return true;
  }
  if (job.held_len + size_t(n) > job.held_cap) {
    size_t cap = job.held_cap ? 2 * job.held_cap : block_size * 16;
    while (cap < job.held_len + size_t(n)) cap *= 2;
    unsigned char *grown = static_cast<unsigned char *>(realloc(job.held, cap));
    if (!grown) return false;
    job.held = grown;
    job.held_cap = cap;
  }
  memcpy(job.held + job.held_len, block, size_t(n));
  job.held_len += size_t(n);
  return true;
}

// Waits for the job's compressor once its frame is written.  Returns 0, or
// -1 after a message.
int finish_job(const char *compressor, const char *name, const char *program, Job &job) {
  int status = fatal_wait_child(job.pid);
  job.pid = -1;
  if (status == -1) return cannot_run(compressor);
  if (WIFSIGNALED(status)) {
    fprintf(stderr, "%s: %s: zstd: the compressor ended by signal %d\n", program, Shown(name).text,
            WTERMSIG(status));
    return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;  // it said why
  if (job.read_errno != 0) {
    errno = job.read_errno;
    return cannot_run(compressor);
  }
  return 0;
}

}  // namespace

long long compressor_frames(int in_fd, long long size, int window_log) {
  long long offset;
  input_extent(in_fd, &size, &offset);
  long long window = 1LL << window_log;
  return size <= 0 ? 1 : (size + window - 1) / window;
}

int compressor_write_frames(const char *compressor, int in_fd, const char *name, int level,
                            int window_log, long long size, int threads, Sink &out,
                            const char *program) {
  progress_end();  // the compressors read the input themselves
  long long offset;
  input_extent(in_fd, &size, &offset);
  long long window = 1LL << window_log;
  long long frames = size <= 0 ? 1 : (size + window - 1) / window;
  int processors = deflate_available_processors();
  if (threads <= 0 || threads > processors) threads = processors;
  if (threads > frames) threads = int(frames);
  Jobs jobs;
  jobs.jobs = static_cast<Job *>(calloc(size_t(threads), sizeof(Job)));
  unsigned char *block = static_cast<unsigned char *>(malloc(block_size));
  struct BlockGuard {
    unsigned char *block;
    ~BlockGuard() { free(block); }
  } guard{block};
  if (!jobs.jobs || !block) {
    errno = ENOMEM;
    return cannot_run(compressor);
  }
  jobs.count = threads;
  for (int i = 0; i < threads; i++) jobs.jobs[i] = Job{};
  long long started = 0, written = 0;
  while (written < frames) {
    // Start frames while there is room: each reads its part at once.
    while (started < frames && started - written < threads) {
      Job &job = jobs.jobs[started % threads];
      long long part = size < 0 ? -1 : started + 1 < frames ? window : size - started * window;
      long long at = offset < 0 ? -1 : offset + started * window;
      int feed = -1;
      bool fed = size >= 0 && offset < 0;  // a pipe of a known size: its parts go through the build
      if (start_job(compressor, in_fd, name, level, window_log, part, at, job,
                    fed ? &feed : nullptr) != 0)
        return -1;
      if (fed) feed_job(in_fd, part, feed, block);
      started++;
    }
    // Drain the pipes under way; the due frame goes out as it comes.
    struct pollfd ready[deflate_threads_max];
    int polled = 0;
    for (long long k = written; k < started; k++) {
      Job &job = jobs.jobs[k % threads];
      if (job.from >= 0) ready[polled++] = {job.from, POLLIN, 0};
    }
    if (polled > 0 && poll(ready, nfds_t(polled), -1) < 0 && errno != EINTR)
      return cannot_run(compressor);
    for (long long k = written, p = 0; k < started; k++) {
      Job &job = jobs.jobs[k % threads];
      if (job.from < 0) continue;
      short revents = ready[p++].revents;
      if (revents && !drain_job(job, k == written, out, block)) {
        errno = ENOMEM;
        return cannot_run(compressor);
      }
    }
    // The due frame ended: its compressor is waited for, the next is due.
    while (written < started) {
      Job &due = jobs.jobs[written % threads];
      if (due.from >= 0) break;
      if (due.held_len > 0) sink_write_or_stop(out, due.held, due.held_len);
      due.held_len = 0;
      if (finish_job(compressor, name, program, due) != 0) return -1;
      due.read_errno = 0;
      written++;
    }
  }
  return 0;
}

}  // namespace kapsa
