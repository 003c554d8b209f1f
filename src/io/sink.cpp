// The build's output.
#include "io/sink.h"

#include "base/fatal.h"
#include "io/fdio.h"

namespace kapsa {

Sink sink_to(int fd, const char *name, const char *program) {
  return Sink{fd, name, program, 0, nullptr, nullptr};
}

int sink_write(Sink &sink, const void *data, size_t count) {
  if (count == 0) return 0;
  if (sink.observe) sink.observe(sink.observer, static_cast<const unsigned char *>(data), count);
  if (fdio_write(sink.fd, data, count) != 0) return -1;
  sink.bytes += count;
  return 0;
}

void sink_write_or_stop(Sink &sink, const void *data, size_t count) {
  if (sink_write(sink, data, count) != 0) fatal_write_error(sink.program, sink.name);
}

}  // namespace kapsa
