// Fuzz target: the chunked compressor and its splice, as a round trip.
//
// The first three bytes of the input choose the level (1 to 12, or the
// automatic choice), the threads (1 to 4) and a small chunk size (16 to
// 4,111 bytes, so that even a short input spans many chunks and many
// splices); the rest is the data.  It is written as one gzip member through
// write_gzip_member into a sink and decoded by zlib's own gzip reader, which
// must give the data back exactly, with the member's CRC and length checked.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "gz/deflate.h"
#include "gz/writer.h"
#include "io/sink.h"

using namespace kapsa;

namespace {

fuzz::MemFile *input;
fuzz::MemFile *output;

std::vector<uint8_t> read_all(int fd) {
  std::vector<uint8_t> all;
  uint8_t block[65536];
  if (lseek(fd, 0, SEEK_SET) != 0) abort();
  for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;) all.insert(all.end(), block, block + n);
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  input = new fuzz::MemFile;
  output = new fuzz::MemFile;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  int level = deflate_level_min + data[0] % deflate_level_max;
  int threads = 1 + data[1] % 4;
  bool automatic = data[1] & 0x80;  // the level chosen from each chunk's bytes
  size_t chunk = 16 + size_t(data[2]) * 16;
  data += 3;
  size -= 3;
  input->fill(data, size);
  output->fill(nullptr, 0);
  fuzz::reset_stream();
  Sink sink = sink_to(output->fd, "output", fuzz::program);
  write_gzip_member(input->fd, "input", sink, DeflateSettings{level, threads, chunk, automatic},
                    fuzz::program);
  if (sink.bytes != uint64_t(lseek(output->fd, 0, SEEK_END))) abort();  // the sink saw every byte
  std::vector<uint8_t> member = read_all(output->fd);

  z_stream zs = {};
  if (inflateInit2(&zs, 16 + 15) != Z_OK) abort();
  std::vector<uint8_t> back(size + 1);
  zs.next_in = member.data();
  zs.avail_in = uInt(member.size());
  zs.next_out = back.data();
  zs.avail_out = uInt(back.size());
  int ret = inflate(&zs, Z_FINISH);
  if (ret != Z_STREAM_END || zs.avail_in != 0 || zs.total_out != size ||
      memcmp(back.data(), data, size) != 0) {
    fprintf(stderr, "round trip failed: level %d, threads %d, chunk %zu, %zu bytes: %d %s\n", level,
            threads, chunk, size, ret, zs.msg ? zs.msg : "");
    abort();
  }
  inflateEnd(&zs);
  return 0;
}
