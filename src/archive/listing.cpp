// Listing an archive: the four preamble texts, then for a compressed payload
// one statistics line from the first member's header and the trailer at the
// end of the file:
//
//   [method  crc     date  time  ]compressed  uncompr. ratio uncompressed_name
#include "archive/listing.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "archive/features.h"
#include "archive/preamble.h"
#include "base/options.h"
#include "base/text.h"
#include "gz/reader.h"
#include "gz/stream.h"

namespace kapsa {

namespace {

// Whether the column header is still to be printed in this run.
int first_listing = 1;

}  // namespace

void list_archive(const char *name, bool as_named) {
  int fd = open_archive(name, as_named);
  if (fd < 0) {
    options.exit_code = 1;
    return;
  }
  // The gzip stream reads descriptor 0: make it this archive.
  if (fd != 0) {
    dup2(fd, 0);
    close(fd);
  }
  options.archive_fd = 0;

  bool compressed = payload_compressed();
  PayloadSizes sizes = {};
  if (compressed && (read_member_header() < 0 || payload_sizes(0, name, &sizes) != 0)) {
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
  if (!compressed) {
    printf("Statistics unavailable because data was not compressed\n");
    return;
  }
  if (first_listing) {
    first_listing = 0;
    if (options.verbose) printf("method  crc     date  time  ");
    printf("compressed  uncompr. ratio uncompressed_name\n");
  }
  long long compressed_size = sizes.trailer_at - options.payload_offset + 8;
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
  printf(" %s\n", options.payload_name);
}

}  // namespace kapsa
