// The output path: windows of decoded bytes into the CRC and to the output
// descriptor, on a writer thread when one can be started.
#include "io/output.h"

#include <libdeflate.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/fatal.h"
#include "base/progress.h"
#include "io/fdio.h"
#include "io/sync.h"

namespace kapsa {

namespace {

// Ends the process for the write that failed with errno: a consumer that
// refused its bytes has said why.
[[noreturn]] void write_failed(const Output &out) {
  if (out.consume && errno == ECANCELED) fatal_exit();
  fatal_write_error(out.program, out.name);
}

// The path whose writer runs now, for the cleanup's quiesce hook.
std::atomic<Output *> quiescing{nullptr};

// Writes count bytes at data window by window, sharing out the input bytes
// among the windows for the progress line.  Returns 0 or a write's errno.
// On the writer thread, each window is written only while the cleanup has
// not asked the writer to halt; then it stops for good.
int flush_windows(Output &out, const unsigned char *data, size_t count, long long input,
                  bool on_writer) {
  while (count > 0) {
    size_t piece = count < output_window_size ? count : output_window_size;
    if (on_writer) {
      out.busy.store(1);
      if (out.halt.load()) {
        out.busy.store(0);
        for (;;) pause();  // the cleanup ends the process
      }
    }
    if (out.crc) out.crc_value = libdeflate_crc32(out.crc_value, data, piece);
    int failed = 0;
    if (out.consume)
      failed = out.consume(out.consumer, data, piece) != 0 ? ECANCELED : 0;
    else if (out.fd >= 0 && fdio_write(out.fd, data, piece) != 0)
      failed = errno;
    if (!failed) {
      out.total += piece;
      long long share = piece == count ? input : input * (long long)piece / (long long)count;
      progress_advance(share);
      input -= share;
    }
    if (on_writer) out.busy.store(0);
    if (failed) return failed;
    data += piece;
    count -= piece;
  }
  if (input) {
    if (on_writer) out.busy.store(1);
    progress_advance(input);  // an empty region's input
    if (on_writer) out.busy.store(0);
  }
  return 0;
}

void *writer_main(void *arg) {
  Output &out = *static_cast<Output *>(arg);
  out.writer_tid.store(long(syscall(SYS_gettid)));
  sync_lock(&out.mutex);
  for (;;) {
    while (!out.stopping && out.written == out.handed) sync_wait(&out.changed, &out.mutex);
    if (out.written == out.handed) break;  // stopping, and nothing left
    unsigned long long index = out.written % output_region_count;
    sync_unlock(&out.mutex);
    int failed = flush_windows(out, out.regions[index], out.filled[index], out.input[index], true);
    sync_lock(&out.mutex);
    out.written++;
    sync_broadcast(&out.changed);
    if (failed) {
      out.write_errno = failed;
      break;
    }
  }
  sync_unlock(&out.mutex);
  return nullptr;
}

// The cleanup's hook, run in a signal handler: asks the writer to stay out
// of the pipe and the progress line, and waits until it is out (a second at
// most, for a writer blocked on a pipe nobody reads).  Async-signal-safe.
void quiesce_writer() {
  Output *out = quiescing.load();
  if (!out) return;
  out->halt.store(1);
  if (long(syscall(SYS_gettid)) == out->writer_tid.load()) return;  // a fault of the writer's own
  for (int i = 0; i < 1000 && out->busy.load(); i++) {
    struct timespec pause_time = {0, 1000 * 1000};
    nanosleep(&pause_time, nullptr);
  }
}

// Stops the writer once it has written what it was given; idempotent.
void stop(Output &out) {
  if (!out.running) return;
  sync_lock(&out.mutex);
  out.stopping = true;
  sync_broadcast(&out.changed);
  sync_unlock(&out.mutex);
  if (pthread_join(out.thread, nullptr) != 0) sync_failed("pthread_join");
  out.running = false;
  Output *self = &out;
  quiescing.compare_exchange_strong(self, nullptr);
  fatal_set_quiesce(nullptr);
}

// Hands the region being filled over to the writer, or writes it here.
void hand_over(Output &out) {
  if (!out.running) {
    int failed = flush_windows(out, out.regions[0], out.cursor, out.pending_input, false);
    out.cursor = 0;
    out.pending_input = 0;
    if (failed) {
      errno = failed;
      write_failed(out);
    }
    return;
  }
  sync_lock(&out.mutex);
  out.filled[out.handed % output_region_count] = out.cursor;
  out.input[out.handed % output_region_count] = out.pending_input;
  out.handed++;
  sync_broadcast(&out.changed);
  sync_unlock(&out.mutex);
  out.cursor = 0;
  out.pending_input = 0;
}

// Waits for the writer to finish what it was given and stops it; a write
// that failed is reported.
void finish(Output &out) {
  stop(out);
  if (out.write_errno) {
    errno = out.write_errno;
    write_failed(out);
  }
}

}  // namespace

Output::~Output() {
  stop(*this);
  for (unsigned char *region : regions) free(region);
}

void output_begin(Output &out, int fd, const char *name, const char *program, bool crc, bool quiet,
                  long long total, long long done) {
  out.fd = fd;
  out.name = name;
  out.program = program;
  out.crc = crc;
  out.quiet = quiet;
  out.crc_value = 0;
  out.total = 0;
  progress_begin(total, done, quiet);
  bool regions = true;
  for (unsigned char *&region : out.regions)
    regions = regions && (region = static_cast<unsigned char *>(malloc(output_region_size)));
  if (!out.regions[0]) {
    // Not even one region: one window will do.
    out.regions[0] = static_cast<unsigned char *>(malloc(output_window_size));
    if (!out.regions[0]) fatal_error(program, name, "out of memory");
    return;
  }
  if (!regions) return;
  // Only the asynchronous signals are blocked in the writer, so that they
  // reach the decoding thread; a fault in the writer is its own.
  sigset_t old;
  fatal_block_signals(&old, false);
  out.running = pthread_create(&out.thread, nullptr, writer_main, &out) == 0;
  fatal_restore_signals(&old);
  if (out.running) {
    quiescing.store(&out);
    fatal_set_quiesce(quiesce_writer);
  }
}

unsigned char *output_space(Output &out, size_t *room) {
  size_t size = out.running || out.regions[1] ? output_region_size : output_window_size;
  if (!out.running) {
    *room = size - out.cursor;
    return out.regions[0] + out.cursor;
  }
  if (out.cursor == 0) {
    // A fresh region: wait until the writer has emptied it.
    sync_lock(&out.mutex);
    while (out.write_errno == 0 && out.handed - out.written == output_region_count)
      sync_wait(&out.changed, &out.mutex);
    int failed = out.write_errno;
    sync_unlock(&out.mutex);
    if (failed) {
      finish(out);
    }
  }
  *room = size - out.cursor;
  return out.regions[out.handed % output_region_count] + out.cursor;
}

void output_commit(Output &out, size_t count, long long input) {
  out.cursor += count;
  out.decoded += (long long)count;
  out.pending_input += input;
  size_t size = out.running || out.regions[1] ? output_region_size : output_window_size;
  if (out.cursor == size) hand_over(out);
}

void output_settle(Output &out) {
  int saved = errno;
  out.cursor -= out.cursor % output_window_size;
  hand_over(out);
  finish(out);
  errno = saved;
}

void output_end(Output &out) {
  if (out.cursor > 0 || out.pending_input > 0) hand_over(out);
  finish(out);
  progress_end();
}

}  // namespace kapsa
