// The one way out of a build: every byte of an archive (the extractor
// image, the preamble, the payload of every kind) is written through a
// sink, so that one place sees them all, in order (a signature hashes them
// there, a test compares them with the file written).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kapsa {

struct Sink {
  int fd;                // where the archive goes
  const char *name;      // its name in messages ("stdout")
  const char *program;   // starts the messages
  uint64_t bytes;        // written so far
  // Shown every byte written, in order, when set.
  void (*observe)(void *observer, const unsigned char *data, size_t count);
  void *observer;
};

// A sink writing to fd, named name in the messages of program.
Sink sink_to(int fd, const char *name, const char *program);

// Writes count bytes of data.  Returns 0, or -1 with errno set when a write
// failed (the caller reports it: sink_write_or_stop).
int sink_write(Sink &sink, const void *data, size_t count);

// The same; a failed write ends the process with "\n<program>: <name>:
// <error>" (fatal_write_error).
void sink_write_or_stop(Sink &sink, const void *data, size_t count);

}  // namespace kapsa
