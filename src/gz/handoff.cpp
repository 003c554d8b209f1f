// The writer thread behind the reader: CRC and writes of the regions.
#include "gz/handoff.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>

#include "base/fatal.h"
#include "base/options.h"
#include "base/progress.h"
#include "gz/sync.h"

namespace kapsa {

namespace {

unsigned char *region_of(Handoff &handoff, unsigned long long index) {
  return handoff.regions[index % handoff_region_count];
}

// Flushes count bytes at data window by window, sharing out the input
// bytes among the windows for the progress line; returns 0 or a write's errno.
int flush_windows(const unsigned char *data, size_t count, long long input) {
  while (count > 0) {
    size_t piece = count < out_window_size ? count : out_window_size;
    update_crc(data, piece);
    if (options.out_fd >= 0 && write_all(options.out_fd, data, piece) != 0) return errno;
    stream.out_total += uint32_t(piece);
    long long share = piece == count ? input : input * (long long)piece / (long long)count;
    progress_advance(share);
    input -= share;
    data += piece;
    count -= piece;
  }
  progress_advance(input);  // an empty region's input
  return 0;
}

void *writer_main(void *arg) {
  Handoff &handoff = *static_cast<Handoff *>(arg);
  sync_lock(&handoff.mutex);
  for (;;) {
    while (!handoff.stopping && handoff.written == handoff.handed)
      sync_wait(&handoff.changed, &handoff.mutex);
    if (handoff.written == handoff.handed) break;  // stopping, and nothing left
    unsigned long long index = handoff.written;
    size_t count = handoff.filled[index % handoff_region_count];
    long long input = handoff.input[index % handoff_region_count];
    sync_unlock(&handoff.mutex);
    int failed = flush_windows(region_of(handoff, index), count, input);
    sync_lock(&handoff.mutex);
    handoff.written++;
    sync_broadcast(&handoff.changed);
    if (failed) {
      handoff.write_errno = failed;
      break;
    }
  }
  sync_unlock(&handoff.mutex);
  return nullptr;
}

// Stops the writer once it has written what it was given; idempotent.
void stop(Handoff &handoff) {
  if (!handoff.running) return;
  sync_lock(&handoff.mutex);
  handoff.stopping = true;
  sync_broadcast(&handoff.changed);
  sync_unlock(&handoff.mutex);
  if (pthread_join(handoff.thread, nullptr) != 0) sync_failed("pthread_join");
  handoff.running = false;
}

}  // namespace

Handoff::~Handoff() {
  stop(*this);
  for (unsigned char *region : regions) free(region);
}

bool handoff_start(Handoff &handoff) {
  for (unsigned char *&region : handoff.regions) {
    region = static_cast<unsigned char *>(malloc(handoff_region_size));
    if (!region) return false;
  }
  // The thread starts with the cleanup signals blocked and keeps them so.
  sigset_t old;
  fatal_block_signals(&old);
  handoff.running = pthread_create(&handoff.thread, nullptr, writer_main, &handoff) == 0;
  fatal_restore_signals(&old);
  return handoff.running;
}

unsigned char *handoff_region(Handoff &handoff) {
  sync_lock(&handoff.mutex);
  while (handoff.write_errno == 0 && handoff.handed - handoff.written == handoff_region_count)
    sync_wait(&handoff.changed, &handoff.mutex);
  int failed = handoff.write_errno;
  sync_unlock(&handoff.mutex);
  if (failed) {
    errno = failed;
    return nullptr;
  }
  return region_of(handoff, handoff.handed);
}

void handoff_push(Handoff &handoff, size_t count, long long input) {
  sync_lock(&handoff.mutex);
  handoff.filled[handoff.handed % handoff_region_count] = count;
  handoff.input[handoff.handed % handoff_region_count] = input;
  handoff.handed++;
  sync_broadcast(&handoff.changed);
  sync_unlock(&handoff.mutex);
}

int handoff_finish(Handoff &handoff) {
  stop(handoff);
  if (handoff.write_errno == 0) return 0;
  errno = handoff.write_errno;
  return -1;
}

}  // namespace kapsa
