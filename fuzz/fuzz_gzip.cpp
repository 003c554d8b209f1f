// Fuzz target: the gzip member header reader followed by the decompressor,
// on arbitrary payloads.
//
// The input is the payload, from its first byte: it is put into a memfd (so
// that the reader can read a failing block's header again with pread) and
// inflated into /dev/null.  An input the reader refuses ends in FatalStop.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "fuzz_support.h"
#include "gz/reader.h"
#include "gz/stream.h"
#include "io/output.h"
#include "payload/payload.h"

using namespace kapsa;

namespace {

fuzz::MemFile *payload;
int null_fd = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::silence_stdout();
  payload = new fuzz::MemFile;
  null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  payload->fill(data, size);
  fuzz::reset_stream();
  char name[payload_name_size] = "stdout";
  try {
    stream_begin(payload->fd, "payload", nullptr, fuzz::program);
    // With notes the part number and extra field are said; a name is copied.
    int method = read_member_header(true, true, name);
    if (method != 8 && method != -1) abort();
    if (method == 8) {
      if (strnlen(name, sizeof name) >= sizeof name) abort();
      Output out;
      output_begin(out, null_fd, name, fuzz::program, true, true, 0, 0);
      inflate_member(out);
      check_member_trailer(out);
      // A member that passed its checks was all read, trailer included.
      if (uint32_t(size) < stream_consumed()) abort();
    }
  } catch (const FatalStop &) {
  }
  return 0;
}
