// The extraction run: the steps from the preamble to the post-install
// command, each a call into the module that owns it.
#include "extract/driver.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/check.h"
#include "archive/preamble.h"
#include "extract/command.h"
#include "extract/placement.h"
#include "frame/fatal.h"
#include "frame/features.h"
#include "frame/options.h"
#include "frame/progress.h"
#include "frame/text.h"
#include "gz/reader.h"
#include "gz/stream.h"

namespace kapsa {

namespace {

// Megabytes needed for the payload: from its true size (a SIZE= item) or the
// gzip trailer's ISIZE, or for a raw payload from its length.  Leaves the file position at the end.
int needed_megabytes(int fd, bool compressed) {
  errno = 0;
  if (!compressed) {
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) fatal_read_error();
    long long mb = (end - options.payload_offset) / 1048576 + 1;
    return mb > INT_MAX ? INT_MAX : int(mb);
  }
  uint32_t crc, isize;
  read_last_trailer(fd, &crc, &isize);
  long long size = feature_true_size();
  long long mb = (size < 0 ? isize : size) / 1048576 + 1;
  return mb > INT_MAX ? INT_MAX : int(mb);
}

// Makes room for the data when the archive names a filesystem (and -x is not
// given); link receives the temporary link, if one is made, and data_dir the
// directory the data goes to (left empty without a placement).  Returns 0,
// or -1 when the placement refused.  The file position of fd is kept, so
// that the gzip stream goes on where the header read stopped.
int make_room(int fd, bool compressed, char *link, char *data_dir) {
  if (options.extract_only || !feature_lookup("VFYFS=")) return 0;
  off_t here = lseek(fd, 0, SEEK_CUR);
  if (here < 0) return 0;
  // Two runs of one archive place their data one after the other: the
  // second waits here until the first has ended (the lock goes with the
  // descriptor, which no child inherits).  Where locks are not supported,
  // the placement's own checks still keep the runs apart.
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  if (place_extraction_dir(needed_megabytes(fd, compressed), link, data_dir) != 0) return -1;
  if (lseek(fd, here, SEEK_SET) != here) fatal_read_error();
  return 0;
}

// Decompresses or copies the payload from fd to options.out_fd.  Returns 0;
// 1 when a raw payload held no byte at all.
int transfer_payload(int fd, bool compressed) {
  if (!options.quiet) {
    if (preamble.comment[0]) fprintf(stderr, "\n%s\n\nPlease wait...\n", preamble.comment);
    if (options.verbose || options.extract_only)
      fprintf(stderr, "Deflating %s...\n", options.payload_name);
  }
  progress_begin(payload_size(fd), compressed ? stream.in_total : 0);
  int status =
      compressed ? decompress_member(fd, options.out_fd) : copy_stream(fd, options.out_fd) == 0;
  progress_end();
  return status;
}

// For an archive that asks to be checked first (a VERIFY item, and not -x):
// decompresses the payload into nothing before anything is placed, asked or
// started, then goes back to its first byte.  Damaged data ends the process
// with its usual message.  Returns 0, or -1 when the gzip header was refused.
int verify_first(int fd, const char *path) {
  if (options.extract_only || !feature_item("VERIFY")) return 0;
  int verbose = options.verbose;
  options.verbose = 0;  // the header's notes are shown once, by the extraction
  int checked = check_payload(fd, path);
  options.verbose = verbose;
  if (checked < 0) return -1;
  if (lseek(fd, options.payload_offset, SEEK_SET) != options.payload_offset) fatal_read_error();
  return 0;
}

}  // namespace

int extract_archive(const char *path, bool as_named) {
  // From here on no way out leaves the extract command running or the
  // temporary link behind, and a lost standard error does not end the run.
  fatal_catch_signals();
  int fd = open_archive(path, as_named);
  if (fd < 0) return -1;
  if (verify_first(fd, path) != 0) {
    close(fd);
    return -1;
  }
  options.archive_fd = fd;

  bool compressed = payload_compressed();
  int method = 0;
  if (compressed) {
    method = read_member_header();
  } else if (const char *name = feature_lookup("NAME=")) {
    text_copy(options.payload_name, text_size, strchr(name, '=') + 1);
  }

  char link[link_buffer_size] = "";
  char data_dir[text_size] = "";  // where the data lands: the placement's, or "."
  if (make_room(fd, compressed, link, data_dir) != 0) {
    close(fd);
    return -1;
  }

  int status = 0;
  char *command = nullptr;
  if (compressed && method < 0) {
    fprintf(stderr, "%s: unknown compression method\n", path);
    status = -1;
  } else if (options.extract_only) {
    options.to_stdout = 1;
  } else if (!(command = start_extract_command())) {
    status = -1;
  }
  if (status == 0) status = transfer_payload(fd, compressed);
  // The extract command must have taken the whole payload, and succeeded,
  // before anything runs on its result.
  if (finish_extract_command(path) != 0 && status == 0) status = -1;
  free(command);
  if (status == 0 && !options.extract_only && !options.no_run && preamble.run_command[0])
    status = run_post_install(path, data_dir);
  close(fd);
  fatal_remove_link();
  return status;
}

}  // namespace kapsa
