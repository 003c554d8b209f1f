// The progress line of a long transfer on a terminal.
#include "base/progress.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace kapsa {

namespace {

constexpr long long ns_per_s = 1000000000;
constexpr long long quiet_ns = ns_per_s;        // nothing shown in the first second
constexpr long long redraw_ns = ns_per_s / 10;  // at most ten redraws a second

// The transfer under way.
struct Progress {
  volatile sig_atomic_t running;  // a transfer is shown on a terminal
  volatile sig_atomic_t shown;    // the line stands on the terminal now
  long long total;                // bytes of the whole transfer; 0: unknown
  long long done;                 // bytes done so far
  long long start_done;           // bytes done when it began
  long long start_ns;             // when it began
  long long drawn_ns;             // when the line was last drawn
};

Progress progress = {};

long long now_ns() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * ns_per_s + t.tv_nsec;
}

void put(const char *text, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDERR_FILENO, text, len);
    if (n <= 0) return;  // a lost terminal takes the line with it
    text += n;
    len -= size_t(n);
  }
}

void draw(long long now) {
  double seconds = double(now - progress.start_ns) / double(ns_per_s);
  double speed = double(progress.done - progress.start_done) / seconds;  // bytes a second
  char line[96];
  int len;
  if (progress.total > 0) {
    long long left = progress.total > progress.done ? progress.total - progress.done : 0;
    long long eta = speed > 0 ? (long long)(double(left) / speed + 0.5) : 0;
    int share = int(progress.done * 100 / progress.total);
    len = snprintf(line, sizeof line, "\r%3d%%  %7.1f MB/s  %lld:%02lld left\033[K",
                   share > 100 ? 100 : share, speed / 1048576, eta / 60, eta % 60);
  } else {
    len = snprintf(line, sizeof line, "\r%lld MB  %7.1f MB/s\033[K", progress.done / 1048576,
                   speed / 1048576);
  }
  if (len <= 0 || size_t(len) >= sizeof line) return;
  put(line, size_t(len));
  progress.shown = 1;
  progress.drawn_ns = now;
}

}  // namespace

void progress_begin(long long total, long long done, bool quiet) {
  progress_end();
  progress.total = total;
  progress.done = progress.start_done = done;
  progress.start_ns = now_ns();
  progress.drawn_ns = 0;
  progress.running = !quiet && isatty(STDERR_FILENO) ? 1 : 0;
}

void progress_advance(long long bytes) {
  progress.done += bytes;
  if (!progress.running) return;
  long long now = now_ns();
  if (now - progress.start_ns < quiet_ns || now - progress.drawn_ns < redraw_ns) return;
  draw(now);
}

void progress_erase() {
  if (!progress.shown) return;
  progress.shown = 0;
  put("\r\033[K", 4);
}

void progress_end() {
  progress_erase();
  progress.running = 0;
}

}  // namespace kapsa
