// The payload kinds behind one interface.
#include "gz/decoder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "archive/features.h"

#include "gz/reader.h"
#include "gz/stream.h"
#include "gz/walk.h"
#include "gz/zstd.h"

namespace kapsa {

namespace {

// The raw kind: what the archive holds after the preamble is the data.
long long copy_raw(Decoder &d, Output &out) {
  long long copied = 0;
  for (;;) {
    size_t room;
    unsigned char *space = output_space(out, &room);
    ssize_t n = read(d.in, space, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      output_settle(out);
      stream_fatal_read();
    }
    if (n == 0) break;
    output_commit(out, size_t(n), n);
    copied += n;
  }
  output_end(out);
  return copied;
}

}  // namespace

int decoder_begin(Decoder &d, PayloadKind kind, int in, long long payload_bytes, bool notes) {
  d.kind = kind;
  d.in = in;
  d.payload_bytes = payload_bytes;
  d.frames = ZstdSizes{};
  stream_begin(in, -1);
  if (kind == PayloadKind::zstd) {
    off_t at = lseek(in, 0, SEEK_CUR);
    if (at < 0 || zstd_measure(in, at, &d.frames) != 0) stream_fatal_read();
  }
  if (kind != PayloadKind::gzip) return 0;
  return read_member_header(notes) < 0 ? -1 : 0;
}

int decoder_check_members(const Decoder &d, const char *name, bool decoding_follows) {
  if (d.kind == PayloadKind::raw) return 0;
  long long recorded = feature_number("MEMBERS=");
  if (recorded == -1) return 0;
  long long present = 0;
  bool whole = false;  // the members or frames end exactly at the end of the file
  if (d.kind == PayloadKind::zstd) {
    present = d.frames.frames;
    whole = d.frames.whole;
  } else {
    // Only the first member is decoded: the others are walked, which costs
    // a read of the payload and no output.
    off_t start = lseek(d.in, 0, SEEK_CUR);
    int members = 0;
    uint64_t length;
    off_t end;
    struct stat st;
    if (start < 0 || fstat(d.in, &st) != 0) stream_fatal_read();
    start -= off_t(stream.in_len - stream.in_pos);  // back to the member's first byte
    int walked = walk_members(d.in, start - framing_bytes + 8, st.st_size, &members, &length, &end);
    if (walked < 0) stream_fatal_read();
    present = members;
    whole = walked == 0;
    decoding_follows = false;  // later members are not decoded: this is their check
  }
  if (recorded >= 0 && present < recorded && (whole || !decoding_follows)) {
    errno = 0;
    stream_report_read();
    return -1;
  }
  if (recorded < 0 || (present > recorded && whole)) {
    fprintf(stderr, "%s: damaged archive: MEMBERS= does not match the payload\n", name);
    return -1;
  }
  return 0;
}

long long decoder_run(Decoder &d, Output &out) {
  switch (d.kind) {
    case PayloadKind::raw:
      return copy_raw(d, out);
    case PayloadKind::gzip:
      inflate_member(out);
      break;
    case PayloadKind::zstd:
      zstd_decode(out, d.frames.window);
      break;
  }
  return out.decoded;
}

void decoder_end(Decoder &d) {
  if (d.kind == PayloadKind::gzip) check_member_trailer();
}

long long decoder_transfer(Decoder &d, int fd, bool quiet) {
  Output out;
  // The header bytes are done already.
  long long done = stream.in_total - (stream.in_len - stream.in_pos);
  output_begin(out, fd, d.kind == PayloadKind::gzip, quiet, d.payload_bytes, done);
  long long decoded = decoder_run(d, out);
  decoder_end(d);
  return decoded;
}

}  // namespace kapsa
