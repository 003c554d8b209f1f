// Listing an archive: the four preamble texts, then for a compressed payload
// one statistics line: for gzip from the first member's header and the
// trailer at the end of the file, for zstd from the frames' headers:
//
//   [method  crc     date  time  ]compressed  uncompr. ratio uncompressed_name
#include "archive/listing.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "archive/features.h"
#include "archive/preamble.h"
#include "base/options.h"
#include "base/text.h"
#include "gz/decoder.h"
#include "gz/reader.h"
#include "gz/stream.h"
#include "gz/zstd.h"

namespace kapsa {

namespace {

// Whether the column header is still to be printed in this run.
int first_listing = 1;

// Whether the gzip header behind the preamble of a cannot be read whole, as
// the reader would find it (the input ends inside it, or its name is too
// long): said as the reader says it, without ending the run, so that the
// other archives of the run are still listed.
bool header_incomplete(const Archive &a) {
  int status = member_header_check(a.fd, a.payload_offset);
  if (status == 0) return false;
  errno = 0;
  if (status == 1)
    stream_report_read();
  else
    stream_report_error("corrupted input -- file name too large");
  return true;
}

// The statistics line of a zstd payload: its bytes, the frames' content
// sizes, the ratio and the NAME item's name (frames store none).
void print_zstd_line(long long compressed_size, const ZstdSizes &sizes) {
  long long uncompressed =
      sizes.content > uint64_t(LLONG_MAX) ? LLONG_MAX : (long long)sizes.content;
  if (options.verbose) printf("%5s %8s %11s ", "zstd", "", "");
  printf("%9lld %9lld ", compressed_size, uncompressed);
  print_ratio(__int128(uncompressed) - compressed_size, uncompressed, stdout);
  const char *name = feature_value("NAME");
  putchar(' ');
  text_print_escaped(stdout, name ? name : "");
  putchar('\n');
  if (options.verbose)
    printf("Memory: %llu MiB to unpack\n", (unsigned long long)zstd_memory_mib(sizes.window));
}

}  // namespace

void list_archive(const Archive &a) {
  archive_job_begin(a);
  PayloadKind kind = payload_kind();
  PayloadSizes sizes = {};
  Decoder d;
  bool refused = false;
  long long payload_bytes = payload_size(a);
  if (kind == PayloadKind::gzip)
    refused = header_incomplete(a) ||
              decoder_begin(d, kind, a.fd, payload_bytes, options.verbose) != 0 ||
              payload_sizes(a, &sizes) != 0;
  else if (kind == PayloadKind::zstd)
    refused = decoder_begin(d, kind, a.fd, payload_bytes, options.verbose) != 0;
  if (!refused && kind != PayloadKind::raw) refused = decoder_check_members(d, a.name, false) != 0;
  close(a.fd);
  if (refused) {
    options.exit_code = 1;
    return;
  }
  // The texts are shown escaped when they hold control characters, so that
  // what a terminal shows is what runs.
  auto line = [](const char *label, const char *text) {
    fputs(label, stdout);
    text_print_escaped(stdout, text);
    putchar('\n');
  };
  if (preamble.features[0]) line("Feature: ", preamble.features);
  line("Comment: ", preamble.comment);
  line("    Run: ", preamble.run_command);
  line("Extract: ", preamble.extract_command[0] ? preamble.extract_command : "cat > %p/%o");
  if (kind == PayloadKind::raw) {
    printf("Statistics unavailable because data was not compressed\n");
    return;
  }
  if (first_listing) {
    first_listing = 0;
    if (options.verbose) printf("method  crc     date  time  ");
    printf("compressed  uncompr. ratio uncompressed_name\n");
  }
  if (kind == PayloadKind::zstd) {
    print_zstd_line(payload_bytes, d.frames);
    return;
  }
  long long compressed_size = sizes.trailer_at - a.payload_offset + 8;
  long long uncompressed = sizes.last;
  uint32_t crc = sizes.crc;
  if (options.verbose) {
    time_t when = member_time;
    const char *text = ctime(&when);
    char date[13] = "";
    if (text && strlen(text) >= 16) text_format(date, sizeof date, "%.12s", text + 4);
    printf("%5s %08lx %11s ", "defla", static_cast<unsigned long>(crc), date);
  }
  printf("%9lld %9lld ", compressed_size, uncompressed);
  // Sizes below 2^63 each: the difference is taken in 128 bits.
  print_ratio(__int128(uncompressed) - (__int128(compressed_size) - framing_bytes), uncompressed,
              stdout);
  putchar(' ');
  text_print_escaped(stdout, options.payload_name);
  putchar('\n');
}

}  // namespace kapsa
