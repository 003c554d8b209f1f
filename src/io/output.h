// The output path of every payload kind: decoded bytes to the output
// descriptor.
//
// A decoder asks for space (output_space), decodes into it and commits what
// it decoded, with the input bytes it took for that (output_commit).  The
// path writes the bytes window by window (32,768 bytes, the last one of the
// payload shorter), in order, to the output descriptor (none when it is
// -1: an archive being checked), folds them into its CRC-32 when the
// payload kind needs it, counts them and advances the progress line by the
// input they came from.
//
// The writes happen on a writer thread when one can be started, so that
// the CRC and the write system calls leave the decoding thread; else the
// same calls are made on the decoding thread.  Either way the writes, their
// sizes and their order are the same, and the decoder sees one path.  While
// the writer runs, it alone touches the CRC, the count and the progress
// line, which thus shows what has been delivered, not what has been decoded
// ahead.
//
// The writer never reports or ends anything: a write that fails stops it,
// and the decoding thread learns the write's errno from output_space,
// output_settle or output_end and reports it (fatal_write_error, with the
// output's name).  Only the asynchronous
// signals are blocked in the writer: they reach the decoding thread, while
// a fault in the writer is handled on it and still cleans up.  Before the
// cleanup of a signal closes the extract command's pipe and clears the
// progress line, the writer is stopped outside both (frame/fatal's quiesce
// hook).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>


namespace kapsa {

constexpr size_t output_window_size = 32768;
constexpr size_t output_region_size = 32 * output_window_size;
constexpr int output_region_count = 4;

// The output path of one payload.  The writer is stopped and joined, and the
// regions freed, when the record goes out of scope (the fuzzing build's
// throw included).
struct Output {
  int fd = -1;                  // where the bytes go; -1: nowhere
  // Instead of fd, when set: takes the bytes in order (on the writer thread
  // when it runs); non-zero refuses them, after the consumer said why.
  int (*consume)(void *consumer, const unsigned char *data, size_t count) = nullptr;
  void *consumer = nullptr;
  const char *name = "";        // its name in messages
  const char *program = "";     // starts the messages
  bool crc = false;             // fold them into crc_value
  bool quiet = false;           // no progress line
  uint32_t crc_value = 0;       // CRC-32 of the bytes written so far
  uint64_t total = 0;           // bytes written so far

  // The regions being filled and written; when the writer thread runs,
  // regions[handed % count] is the next one to fill.
  unsigned char *regions[output_region_count] = {};
  size_t filled[output_region_count] = {};    // bytes committed in each region
  long long input[output_region_count] = {};  // input bytes each region came from
  size_t cursor = 0;                          // bytes of the region being filled
  long long decoded = 0;                      // bytes committed in all
  long long pending_input = 0;                // input taken for it so far

  // The writer thread.
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;  // a region handed over, written, or stopping
  unsigned long long handed = 0;                      // regions handed over so far
  unsigned long long written = 0;                     // regions the writer has finished
  int write_errno = 0;                                // errno of the write that failed, else 0
  bool stopping = false;
  bool running = false;
  pthread_t thread;
  std::atomic<int> busy{0};         // the writer is inside a write or the progress line
  std::atomic<int> halt{0};         // the cleanup asks it to stay out of both
  std::atomic<long> writer_tid{0};  // the writer's thread id, once it runs

  Output() = default;
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;
  ~Output();
};

// Starts the output path to fd (-1: nowhere), named name in the messages
// of program, folding into its CRC-32 when crc is set, with a progress line
// over total input bytes, done of them already, unless quiet.  Starts the writer thread when
// its regions can be had and the thread started; else the decoding thread
// writes, the same way.
void output_begin(Output &out, int fd, const char *name, const char *program, bool crc, bool quiet,
                  long long total, long long done);

// The space to decode into next: *room bytes (at least one).  A write that
// failed ends the process with its error.
unsigned char *output_space(Output &out, size_t *room);

// Commits count bytes decoded into the space output_space gave, from input
// bytes of the payload.
void output_commit(Output &out, size_t count, long long input);

// Before a stop for bad data or a failed read: every whole window decoded so
// far is written, as a reader writing its own windows would have done, and
// a write that failed on the way is reported instead.  errno is kept.
void output_settle(Output &out);

// Writes what is left and ends the path (the writer is joined, the progress
// line erased).  A write that failed ends the process with its error.
void output_end(Output &out);

}  // namespace kapsa
