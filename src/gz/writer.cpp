// Writing one gzip member (RFC 1952): the framing around the compressor.
//
// Member as written (numbers little-endian):
//   0   1F 8B     magic
//   2   08        CM: deflate
//   3   08        FLG: FNAME present, nothing else
//   4   00000000  MTIME: no time stamp
//   8   02        XFL: 2 ("best compression"), whatever the level
//   9   03        OS: Unix
//   10  name, NUL the last path component of the input's name
//   ... one raw deflate stream, 32 KB window, from deflate_input (gz/deflate.h)
//   -8  CRC-32 of the input
//   -4  ISIZE: input length modulo 2^32
// The output goes to the sink through out_buf, and the compressor holds a bounded
// number of chunks, so memory stays the same whatever the size of the input.
#include "gz/writer.h"

#include <cstring>

#include "gz/header.h"
#include "gz/stream.h"
#include "lib/basename.h"

namespace kapsa {

void write_gzip_member(int in, const char *name, Sink &out, const DeflateSettings &settings,
                       const char *program) {
  stream_begin(in, name, &out, program);

  put_byte(0x1f);  // ID1
  put_byte(0x8b);  // ID2
  put_byte(8);     // CM: deflate
  put_byte(0x08);  // FLG: FNAME
  put_long(0);     // MTIME
  update_crc(nullptr, 0);
  put_byte(2);  // XFL
  put_byte(3);  // OS: Unix
  char stored[header_name_size] = "";
  if (strlen(name) < sizeof stored) memcpy(stored, name, strlen(name) + 1);
  for (const char *p = basename(stored); *p; p++) put_byte(*p);
  put_byte(0);

  deflate_input(settings);

  put_long(update_crc(stream.in_buf, 0));  // CRC32
  put_long(stream.in_total);               // ISIZE
  flush_out_buf();
}

}  // namespace kapsa
