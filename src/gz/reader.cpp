// Reading one gzip member: header fields, inflate loop, trailer checks.
#include "gz/reader.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/progress.h"
#include "base/text.h"
#include "gz/codeset.h"
#include "gz/header.h"
#include "gz/stream.h"
#include "gz/walk.h"
#include "io/fdio.h"

namespace kapsa {

namespace {

uint32_t get_long() {
  uint32_t value = 0;
  for (int i = 0; i < 4; i++) value |= uint32_t(next_input_byte()) << (8 * i);
  return value;
}

}  // namespace

int read_member_header(bool notes, bool keep_name, char *name) {
  stream.framing_bytes = 0;
  GzipHeader h;
  HeaderCode code = header_parse(
      [] {
        if (stream.in_pos < stream.in_len) return int(stream.in_buf[stream.in_pos++]);
        int c = try_refill_input();
        if (c >= 0) progress_advance(stream.in_len);
        return c;
      },
      keep_name, &h);
  switch (code) {
    case HeaderCode::not_gzip:
      fprintf(stderr, "%s: can only handle GZIP compression method\n", stream.program);
      return -1;
    case HeaderCode::not_deflate:
      fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n", stream.program,
              Shown(stream.in_name).text, h.method);
      return -1;
    case HeaderCode::truncated:
      stream_fatal_read();
    case HeaderCode::name_too_long:
      stream_fatal_error("corrupted input -- file name too large");
    case HeaderCode::whole:
      break;
  }
  if (h.mtime != 0) stream.member_time = time_t(h.mtime);
  if (notes && (h.flags & 0x02))
    fprintf(stderr, "%s: %s: part number %u\n", stream.program, Shown(stream.in_name).text, h.part);
  if (notes && (h.flags & 0x04))
    fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", stream.program,
            Shown(stream.in_name).text, h.extra);
  if (h.named) memcpy(name, h.name, strlen(h.name) + 1);
  stream.framing_bytes = int(h.length) + 8;
  return 8;
}

void inflate_member(Output &out, const unsigned char *window, size_t window_size) {
  z_stream zs = {};
  if (inflateInit2(&zs, -15) != Z_OK) stream_fatal_error("out of memory");
  InflateGuard guard{&zs};
  if (window_size > 0 && inflateSetDictionary(&zs, window, uInt(window_size)) != Z_OK)
    stream_fatal_error("out of memory");

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

void check_member_trailer(const Output &out) {
  uint32_t stored_crc = get_long();   // CRC32
  uint32_t stored_size = get_long();  // ISIZE
  if (stored_crc != out.crc_value) stream_fatal_error("invalid compressed data--crc error");
  if (stored_size != uint32_t(out.total))
    stream_fatal_error("invalid compressed data--length error");
}

int member_header_check(int fd, off_t start) { return walk_header(fd, start); }

int measure_member(int fd, off_t start, uint64_t *length, uint32_t *isize) {
  off_t end;
  return walk_member(fd, start, length, isize, &end);
}

off_t read_last_trailer(int fd, off_t end, uint32_t *crc, uint32_t *isize) {
  off_t at = end - 8;
  unsigned char trailer[8];
  if (end < 8 || fdio_read_at(fd, at, trailer, sizeof trailer) != sizeof trailer) {
    if (end < 8) errno = 0;  // too short: an unexpected end of file
    stream_report_read();
    return -1;
  }
  auto le32 = [](const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  };
  *crc = le32(trailer);
  *isize = le32(trailer + 4);
  return at;
}

}  // namespace kapsa
