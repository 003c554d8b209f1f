// Reading one gzip member: header fields, inflate loop, trailer checks.
#include "gz/reader.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "base/options.h"
#include "base/progress.h"
#include "gz/codeset.h"
#include "gz/output.h"
#include "gz/stream.h"
#include "gz/walk.h"

namespace kapsa {

time_t member_time = 0;
int framing_bytes = 0;

namespace {

// Bytes of the member consumed since reset_streams.
uint32_t consumed() { return stream.in_total - (stream.in_len - stream.in_pos); }

uint32_t get_short() {
  uint32_t low = uint32_t(next_input_byte());
  return low | uint32_t(next_input_byte()) << 8;
}

uint32_t get_long() {
  uint32_t low = get_short();
  return low | get_short() << 16;
}

void skip_text() {
  while (next_input_byte() != 0) {
  }
}

}  // namespace

int read_member_header(bool notes) {
  int id1 = next_input_byte();
  int id2 = next_input_byte();
  framing_bytes = 0;
  if (id1 != 0x1f || (id2 != 0x8b && id2 != 0x9e)) {
    fprintf(stderr, "%s: can only handle GZIP compression method\n", options.program_name);
    options.exit_code = 1;
    return -1;
  }
  int method = next_input_byte();  // CM
  if (method != 8) {
    fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n",
            options.program_name, options.input_name, method);
    options.exit_code = 1;
    return -1;
  }
  int flags = next_input_byte();  // FLG
  uint32_t mtime = get_long();    // MTIME
  if (mtime != 0) member_time = time_t(mtime);
  next_input_byte();   // XFL
  next_input_byte();   // OS
  if (flags & 0x02) {  // part number
    unsigned part = get_short();
    if (notes)
      fprintf(stderr, "%s: %s: part number %u\n", options.program_name, options.input_name, part);
  }
  if (flags & 0x04) {  // extra field
    unsigned length = get_short();
    if (notes)
      fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", options.program_name,
              options.input_name, length);
    while (length--) next_input_byte();
  }
  if (flags & 0x08) {  // stored name
    if (options.to_stdout && !options.list_mode) {
      skip_text();
    } else {
      for (size_t i = 0;; i++) {
        int c = next_input_byte();
        if (i == text_size - 1 && c != 0)
          stream_fatal_error("corrupted input -- file name too large");
        options.payload_name[i] = char(c);
        if (c == 0) break;
      }
    }
  }
  if (flags & 0x10) skip_text();  // comment
  framing_bytes = int(consumed()) + 8;
  return 8;
}

void inflate_member(Output &out) {
  z_stream zs = {};
  if (inflateInit2(&zs, -15) != Z_OK) stream_fatal_error("out of memory");
  InflateGuard guard{&zs};

  // File offset of in_buf[0], to read a failing block's header again.
  int in = stream.in_fd;
  off_t end_of_block = lseek(in, 0, SEEK_CUR);
  off_t buf_offset = end_of_block < 0 ? -1 : end_of_block - off_t(stream.in_len);
  BlockStart block{buf_offset < 0 ? -1 : buf_offset + off_t(stream.in_pos), 0};

  // Input taken since the last commit: the bytes of in_buf used.
  uint32_t taken_from = stream.in_pos;
  zs.next_in = stream.in_buf + stream.in_pos;
  zs.avail_in = stream.in_len - stream.in_pos;
  for (;;) {
    if (zs.avail_in == 0) {
      uint32_t previous = stream.in_len;
      if (try_refill_input() < 0) {
        output_settle(out);
        stream_fatal_read();
      }
      stream.in_pos = 0;
      taken_from = 0;
      if (buf_offset >= 0) buf_offset += previous;
      zs.next_in = stream.in_buf;
      zs.avail_in = stream.in_len;
    }
    size_t room;
    zs.next_out = output_space(out, &room);
    zs.avail_out = uInt(room);
    int ret = inflate(&zs, Z_BLOCK);
    stream.in_pos = stream.in_len - zs.avail_in;
    output_commit(out, room - zs.avail_out, stream.in_pos - taken_from);
    taken_from = stream.in_pos;
    if (ret == Z_STREAM_END) break;
    if (ret != Z_OK && ret != Z_BUF_ERROR) output_settle(out);
    if (ret == Z_MEM_ERROR) stream_fatal_error("out of memory");
    if (ret != Z_OK && ret != Z_BUF_ERROR) {
      CodeSet refused;
      if (codeset_refused(zs.msg, &refused)) codeset_report_incomplete(in, block, refused);
      stream_fatal_error("invalid compressed data--format violated");
    }
    if ((zs.data_type & 128) && buf_offset >= 0) {
      // At a block boundary: the next block starts after the bits used.
      int unused = zs.data_type & 7;
      block.byte = buf_offset + off_t(stream.in_pos) - (unused ? 1 : 0);
      block.bit = unused ? 8 - unused : 0;
    }
  }
  output_end(out);
}

void check_member_trailer() {
  uint32_t stored_crc = get_long();   // CRC32
  uint32_t stored_size = get_long();  // ISIZE
  if (stored_crc != update_crc(stream.out_window, 0))
    stream_fatal_error("invalid compressed data--crc error");
  if (stored_size != stream.out_total) stream_fatal_error("invalid compressed data--length error");
}

int member_header_check(int fd, off_t start) { return walk_header(fd, start); }

int measure_member(int fd, off_t start, uint64_t *length, uint32_t *isize) {
  off_t end;
  return walk_member(fd, start, length, isize, &end);
}

off_t read_last_trailer(int fd, uint32_t *crc, uint32_t *isize) {
  errno = 0;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    stream_report_read();
    return -1;
  }
  if (st.st_size < 8) {
    errno = 0;  // too short: an unexpected end of file
    stream_report_read();
    return -1;
  }
  off_t at = st.st_size - 8;
  unsigned char trailer[8];
  size_t got = 0;
  while (got < sizeof trailer) {
    ssize_t n = pread(fd, trailer + got, sizeof trailer - got, at + off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      stream_report_read();
      return -1;
    }
    got += size_t(n);
  }
  auto le32 = [](const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  };
  *crc = le32(trailer);
  *isize = le32(trailer + 4);
  return at;
}

}  // namespace kapsa
