// The payload kinds behind one door.
#include "payload/payload.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/fatal.h"
#include "base/features.h"
#include "base/memory.h"
#include "base/text.h"
#include "gz/chunks.h"
#include "gz/reader.h"
#include "gz/stream.h"
#include "gz/walk.h"
#include "gz/writer.h"
#include "io/fdio.h"
#include "io/output.h"
#include "zstd/compressor.h"

namespace kapsa {

namespace {

// The raw kind: what the archive holds after the preamble is the data.
long long copy_raw(Payload &p, Output &out) {
  uint64_t left = uint64_t(p.end - p.start);
  long long copied = 0;
  while (left > 0) {
    size_t room;
    unsigned char *space = output_space(out, &room);
    if (room > left) room = size_t(left);
    errno = 0;
    size_t n = fdio_read(p.fd, space, room);
    if (n == 0 && errno != 0) {
      output_settle(out);
      fatal_read_error(p.program, p.archive);
    }
    if (n == 0) break;
    output_commit(out, n, (long long)n);
    copied += (long long)n;
    left -= n;
  }
  output_end(out);
  return copied;
}

// The statistics line of a zstd payload: its bytes, the frames' content
// sizes, the ratio and the NAME item's name (frames store none).
void print_zstd_line(const Payload &p, bool verbose) {
  long long compressed = p.end - p.start;
  long long uncompressed =
      p.frames.content > uint64_t(LLONG_MAX) ? LLONG_MAX : (long long)p.frames.content;
  if (verbose) printf("%5s %8s %11s ", "zstd", "", "");
  printf("%9lld %9lld ", compressed, uncompressed);
  print_ratio(__int128(uncompressed) - compressed, uncompressed, stdout);
  const char *name = feature_value(p.features, "NAME");
  putchar(' ');
  text_print_escaped(stdout, name ? name : "");
  putchar('\n');
  if (verbose)
    printf("Memory: %llu MiB to unpack\n", (unsigned long long)zstd_memory_mib(p.frames.window));
}

// The statistics line of a gzip payload: from the first member's header
// and the trailer at the end of the payload.
void print_gzip_line(const Payload &p, bool verbose) {
  long long compressed = p.trailer_at - p.start + 8;
  long long uncompressed = p.last;
  if (verbose) {
    time_t when = stream.member_time;
    const char *text = ctime(&when);
    char date[13] = "";
    if (text && strlen(text) >= 16) text_format(date, sizeof date, "%.12s", text + 4);
    printf("%5s %08lx %11s ", "defla", static_cast<unsigned long>(p.crc), date);
  }
  printf("%9lld %9lld ", compressed, uncompressed);
  // Sizes below 2^63 each: the difference is taken in 128 bits.
  print_ratio(__int128(uncompressed) - (__int128(compressed) - stream.framing_bytes), uncompressed,
              stdout);
  putchar(' ');
  text_print_escaped(stdout, p.name);
  putchar('\n');
}

}  // namespace

PayloadKind payload_classify(const char *features) {
  if (feature_item(features, "ZSTD")) return PayloadKind::zstd;
  return feature_lookup(features, "NOCOMPR") ? PayloadKind::raw : PayloadKind::gzip;
}

void payload_begin(Payload &p, int fd, off_t start, off_t end, const char *features,
                   const char *archive, const char *program) {
  p = Payload{};
  p.kind = payload_classify(features);
  p.fd = fd;
  p.start = start;
  p.end = end < start ? start : end;
  p.features = features;
  p.archive = archive;
  p.program = program;
  text_copy(p.name, sizeof p.name, "stdout");
  p.method = 8;
  stream_begin(fd, archive, nullptr, program);
  stream_limit(uint64_t(p.end - p.start));
}

int payload_look_ahead(const Payload &p) {
  if (p.kind != PayloadKind::gzip) return 0;
  int status = walk_header(p.fd, p.start);
  if (status == 0) return 0;
  errno = 0;
  if (status == 1)
    stream_report_read();
  else
    stream_report_error("corrupted input -- file name too large");
  return -1;
}

int payload_read_header(Payload &p, bool notes, bool keep_name) {
  switch (p.kind) {
    case PayloadKind::gzip:
      p.method = read_member_header(notes, keep_name, p.name);
      return p.method < 0 ? -1 : 0;
    case PayloadKind::zstd:
      if (zstd_measure(p.fd, p.start, p.end, &p.frames) != 0) stream_fatal_read();
      break;
    case PayloadKind::raw:
      break;
  }
  // Raw data and zstd frames store no name: the NAME item gives it.
  if (keep_name) {
    if (const char *name = feature_value(p.features, "NAME"))
      text_copy(p.name, sizeof p.name, name);
  }
  return 0;
}

int payload_measure(Payload &p) {
  if (p.kind != PayloadKind::gzip) return 0;
  uint32_t isize;
  p.trailer_at = read_last_trailer(p.fd, p.end, &p.crc, &isize);
  if (p.trailer_at < 0) return -1;
  long long size = feature_number(p.features, "SIZE=");
  p.content = p.last = isize;
  if (size == -1) return 0;
  // The size is the first member's: the last trailer is its own when the
  // payload holds one member; of several, the first is measured by walking
  // it.  One that cannot be walked is damaged data, which reading it will
  // report.
  bool fits = size >= 0;
  if (fits && uint32_t(size) == isize) {
    p.last = size;
  } else if (fits) {
    uint64_t length;
    uint32_t first_isize;
    off_t end;
    if (walk_member(p.fd, p.start, &length, &first_isize, &end) == 0)
      fits = length == uint64_t(size) && first_isize == uint32_t(size);
  }
  if (!fits) {
    fprintf(stderr, "%s: damaged archive: SIZE= does not match the trailer\n",
            Shown(p.archive).text);
    return -1;
  }
  p.content = size;
  return 0;
}

int payload_check_members(const Payload &p, bool decoding_follows) {
  if (p.kind == PayloadKind::raw) return 0;
  long long recorded = feature_number(p.features, "MEMBERS=");
  if (recorded == -1) return 0;
  long long present = 0;
  bool whole = false;  // the members or frames end exactly at the payload's end
  if (p.kind == PayloadKind::zstd) {
    present = p.frames.frames;
    whole = p.frames.whole;
  } else {
    // Only the first member is decoded: the others are walked, which costs
    // a read of the payload and no output.
    int members = 0;
    uint64_t length;
    off_t end;
    int walked = walk_members(p.fd, p.start, p.end, &members, &length, &end);
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
    fprintf(stderr, "%s: damaged archive: MEMBERS= does not match the payload\n",
            Shown(p.archive).text);
    return -1;
  }
  return 0;
}

uint64_t payload_content_bytes(const Payload &p) {
  switch (p.kind) {
    case PayloadKind::gzip:
      return uint64_t(p.content);
    case PayloadKind::zstd:
      return p.frames.content;
    case PayloadKind::raw:
      break;
  }
  return uint64_t(p.end - p.start);
}

int payload_memory_check(const Payload &p, uint64_t *mib) {
  *mib = 0;
  if (p.kind != PayloadKind::zstd) return 0;
  if (!memory_available(zstd_memory_needed(p.frames.window))) {
    zstd_report_memory(p.archive, p.frames.window);
    return -1;
  }
  *mib = zstd_memory_mib(p.frames.window);
  return 0;
}

long long payload_decode(Payload &p, int out_fd, const char *out_name, bool quiet,
                         int (*consume)(void *, const unsigned char *, size_t), void *consumer) {
  Output out;
  out.consume = consume;
  out.consumer = consumer;
  // The header's bytes are done already.
  long long done = stream_consumed();
  output_begin(out, out_fd, out_name, p.program, p.kind == PayloadKind::gzip, quiet,
               p.end - p.start, done);
  switch (p.kind) {
    case PayloadKind::raw:
      return copy_raw(p, out);
    case PayloadKind::gzip:
      chunks_inflate(out, 0);
      check_member_trailer(out);
      break;
    case PayloadKind::zstd:
      zstd_decode(p.fd, uint64_t(p.end - p.start), p.program, p.archive, out, p.frames.window);
      break;
  }
  return out.decoded;
}

bool payload_is_checked(const Payload &p) { return p.kind != PayloadKind::raw; }

void payload_print_statistics(const Payload &p, bool verbose, bool *header_due) {
  if (p.kind == PayloadKind::raw) {
    printf("Statistics unavailable because data was not compressed\n");
    return;
  }
  if (*header_due) {
    *header_due = false;
    if (verbose) printf("method  crc     date  time  ");
    printf("compressed  uncompr. ratio uncompressed_name\n");
  }
  if (p.kind == PayloadKind::zstd)
    print_zstd_line(p, verbose);
  else
    print_gzip_line(p, verbose);
}

void print_ratio(__int128 numerator, __int128 denominator, FILE *out) {
  __int128 ratio;
  if (denominator == 0)
    ratio = 0;
  else if (denominator < 2147483)
    ratio = numerator * 1000 / denominator;
  else
    ratio = numerator / (denominator / 1000);
  if (ratio < 0) {
    putc('-', out);
    ratio = -ratio;
  } else {
    putc(' ', out);
  }
  // A hostile archive can claim sizes whose ratio passes 2^63 tenths of a
  // percent: it is cut there rather than wrapped.
  long long tenths = ratio > LLONG_MAX ? LLONG_MAX : (long long)ratio;
  fprintf(out, "%2lld.%1lld%%", tenths / 10, tenths % 10);
}

int payload_encode(PayloadKind kind, int in_fd, const char *name, long long size, Sink &out,
                   const EncodeSettings &settings, const char *program, uint64_t *read) {
  *read = 0;
  switch (kind) {
    case PayloadKind::raw:
      stream_begin(in_fd, name, &out, program);
      *read = uint64_t(copy_stream(in_fd, out));
      return 0;
    case PayloadKind::gzip:
      write_gzip_member(in_fd, name, out, settings.deflate, program);
      *read = stream.member_bytes;
      return 0;
    case PayloadKind::zstd:
      return compressor_write_frames(settings.compressor, in_fd, name, settings.zstd_level,
                                     settings.zstd_window_log, size, settings.deflate.threads,
                                     out, program);
  }
  return -1;
}

long long payload_members(PayloadKind kind, int in_fd, long long size,
                          const EncodeSettings &settings) {
  if (kind != PayloadKind::zstd) return 1;
  return compressor_frames(in_fd, size, settings.zstd_window_log);
}

bool payload_records_size(PayloadKind kind) { return kind == PayloadKind::gzip; }

bool payload_records_members(PayloadKind kind) { return kind != PayloadKind::raw; }

bool payload_unpacks_first_only(PayloadKind kind) { return kind == PayloadKind::gzip; }

void payload_note_input(PayloadKind kind, int in_fd, const char *name, long long size,
                        const char *program) {
  // A zstd frame records its content size only when its input is a regular
  // file; of an input read through a pipe, the listing shows 0 bytes and
  // the space check asks for 1 MB: said, as for gzip members.
  struct stat st;
  if (kind != PayloadKind::zstd || size >= 0 || (fstat(in_fd, &st) == 0 && S_ISREG(st.st_mode)))
    return;
  fprintf(stderr,
          "%s: warning: %s is read through a pipe, and a zstd frame of it records no size: the "
          "listing shows 0 bytes and the archive's space check asks for 1 MB; build from a file to "
          "record the true size\n",
          program, Shown(name).text);
}

}  // namespace kapsa
