// Listing an archive: the four preamble texts, then for a compressed payload
// one statistics line from the first member's header and the trailer at the
// end of the file:
//
//   [method  crc     date  time  ]compressed  uncompr. ratio uncompressed_name
#include "archive/listing.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "archive/preamble.h"
#include "frame/features.h"
#include "frame/options.h"
#include "gz/reader.h"
#include "gz/stream.h"

namespace kapsa {

namespace {

// Whether the column header is still to be printed in this run.
int first_listing = 1;

// Reads the last 8 bytes of the archive on descriptor 0: the trailer of the
// last member.  Returns the offset of the trailer; a short read is fatal.
off_t read_trailer(unsigned char trailer[8]) {
  errno = 0;
  off_t at = lseek(0, -8, SEEK_END);
  if (at < 0) fatal_read_error();
  size_t got = 0;
  while (got < 8) {
    ssize_t n = read(0, trailer + got, 8 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fatal_read_error();
    got += size_t(n);
  }
  return at;
}

uint32_t little_endian(const unsigned char *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void list_archive(const char *name) {
  int fd = find_preamble(name);
  if (fd < 0) {
    report_damaged_preamble(name);
    fprintf(stderr, "%s: unable to find preamble magic value\n", name);
    options.exit_code = 1;
    return;
  }
  // The gzip stream reads descriptor 0: make it this archive.
  if (fd != 0) {
    dup2(fd, 0);
    close(fd);
  }
  options.archive_fd = 0;
  snprintf(options.input_name, text_size, "%s", name);
  options.out_fd = STDOUT_FILENO;
  snprintf(options.payload_name, text_size, "stdout");

  bool compressed = feature_lookup("NOCOMPR") == nullptr;
  if (compressed && read_member_header() < 0) {
    options.exit_code = 1;
    return;
  }
  if (preamble.features[0]) printf("Feature: %s\n", preamble.features);
  printf("Comment: %s\n", preamble.comment);
  printf("    Run: %s\n", preamble.run_command);
  printf("Extract: %s\n", preamble.extract_command[0] ? preamble.extract_command : "cat > %p/%o");
  if (!compressed) {
    printf("Statistics unavailable because data was not compressed\n");
    return;
  }
  if (first_listing) {
    first_listing = 0;
    if (options.verbose) printf("method  crc     date  time  ");
    printf("compressed  uncompr. ratio uncompressed_name\n");
  }
  unsigned char trailer[8];
  off_t compressed_size = read_trailer(trailer) - options.payload_offset + 8;
  uint32_t crc = little_endian(trailer);
  uint32_t uncompressed = little_endian(trailer + 4);
  if (options.verbose) {
    time_t when = member_time;
    const char *text = ctime(&when);
    char date[13] = "";
    if (text && strlen(text) >= 16) snprintf(date, sizeof date, "%.12s", text + 4);
    printf("%5s %08lx %11s ", "defla", static_cast<unsigned long>(crc), date);
  }
  printf("%9lld %9lu ", static_cast<long long>(compressed_size), static_cast<unsigned long>(uncompressed));
  print_ratio(static_cast<long long>(uncompressed) - (compressed_size - framing_bytes), uncompressed,
              stdout);
  printf(" %s\n", options.payload_name);
}

}  // namespace kapsa
