// The reader's output side on a thread of its own.
//
// While the inflater fills one region of decompressed data, a writer thread
// takes the regions filled before it, in order, and flushes each one window
// by window (32,768 bytes, the last one of the member shorter) exactly as
// flush_out_window does: into the CRC, to options.out_fd (none when it is
// -1), counted in out_total, and advances the progress line by the input
// bytes that region was decoded from.  So the writes, their sizes and their
// order are those of a reader that flushes its window itself; only the CRC
// and the write system calls move off the inflating thread.  While the
// writer runs, it alone touches the CRC register, out_total and the progress
// line, which thus shows what has been delivered, not what has been decoded
// ahead.
//
// The writer thread never reports or ends anything: a write that fails stops
// it, and the inflating thread learns the write's errno from handoff_region
// or handoff_finish and reports it.  The cleanup signals are blocked in the
// writer thread, so they reach the inflating thread, and a write into a pipe
// whose reader has gone fails there with EPIPE.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "gz/stream.h"

namespace kapsa {

constexpr size_t handoff_region_size = 32 * size_t(out_window_size);
constexpr int handoff_region_count = 4;

// The regions and the writer thread.  The thread is stopped and joined, and
// the regions freed, when the record goes out of scope (the fuzzing build's
// throw included).
struct Handoff {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;  // a region handed over, written, or stopping
  unsigned char *regions[handoff_region_count] = {};
  size_t filled[handoff_region_count] = {};    // bytes handed over in each region
  long long input[handoff_region_count] = {};  // input bytes each region came from
  unsigned long long handed = 0;               // regions handed over so far
  unsigned long long written = 0;              // regions the writer has finished
  int write_errno = 0;                         // errno of the write that failed, else 0
  bool stopping = false;
  bool running = false;
  pthread_t thread;

  Handoff() = default;
  Handoff(const Handoff &) = delete;
  Handoff &operator=(const Handoff &) = delete;
  ~Handoff();
};

// Allocates the regions and starts the writer.  Returns false, with nothing
// started, when either fails: the caller then flushes its window itself.
bool handoff_start(Handoff &handoff);

// The region to fill next (handoff_region_size bytes), once the writer has
// emptied it; null when a write has failed (errno is then the write's).
unsigned char *handoff_region(Handoff &handoff);

// Hands over the region handoff_region gave last, holding count bytes
// decoded from input bytes of the member.
void handoff_push(Handoff &handoff, size_t count, long long input);

// Waits until everything handed over is written (or a write failed), then
// stops the writer.  Returns 0, or -1 with errno set by the failed write.
int handoff_finish(Handoff &handoff);

}  // namespace kapsa
