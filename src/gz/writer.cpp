// Writing one gzip member (RFC 1952) around zlib's raw deflate.
//
// Member as written (numbers little-endian):
//   0   1F 8B     magic
//   2   08        CM: deflate
//   3   08        FLG: FNAME present, nothing else
//   4   00000000  MTIME: no time stamp
//   8   02        XFL: slowest, best compression
//   9   03        OS: Unix
//   10  name, NUL the last path component of the input's name
//   ... raw deflate stream, level 9, 32 KB window
//   -8  CRC-32 of the input
//   -4  ISIZE: input length modulo 2^32
// The input is streamed through in_buf and the output through out_buf, so
// memory stays the same whatever the size of the input.
#include "gz/writer.h"

#include <zlib.h>

#include "frame/options.h"
#include "frame/text.h"
#include "gz/stream.h"

namespace kapsa {

namespace {

// Releases the compressor on every way out, the fuzzing build's throw too.
struct DeflateGuard {
  z_stream *zs;
  ~DeflateGuard() { deflateEnd(zs); }
};

}  // namespace

int write_gzip_member(int in, int out) {
  options.archive_fd = in;
  options.out_fd = out;
  reset_streams();

  put_byte(0x1f);  // ID1
  put_byte(0x8b);  // ID2
  put_byte(8);     // CM: deflate
  put_byte(0x08);  // FLG: FNAME
  put_long(0);     // MTIME
  update_crc(nullptr, 0);

  z_stream zs = {};
  if (deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    fatal_error("out of memory");
  DeflateGuard guard{&zs};

  put_byte(2);  // XFL
  put_byte(3);  // OS: Unix
  for (const char *p = text_last_component(options.input_name); *p; p++) put_byte(*p);
  put_byte(0);

  int flush = Z_NO_FLUSH;
  int ret;
  do {
    if (zs.avail_in == 0 && flush == Z_NO_FLUSH) {
      long n = read_for_compressor(stream.in_buf, in_buf_size);
      zs.next_in = stream.in_buf;
      zs.avail_in = uInt(n);
      if (n == 0) flush = Z_FINISH;
    }
    zs.next_out = stream.out_buf + stream.out_count;
    zs.avail_out = out_buf_size - stream.out_count;
    ret = deflate(&zs, flush);
    if (ret == Z_STREAM_ERROR) fatal_error("compressor failed");
    stream.out_count = out_buf_size - zs.avail_out;
    if (stream.out_count == out_buf_size) flush_out_buf();
  } while (ret != Z_STREAM_END);

  put_long(update_crc(stream.in_buf, 0));  // CRC32
  put_long(stream.in_total);               // ISIZE
  flush_out_buf();
  return 0;
}

}  // namespace kapsa
