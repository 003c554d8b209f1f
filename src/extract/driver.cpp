// The extraction run: the steps from the preamble to the post-install
// command, each a call into the module that owns it.
#include "extract/driver.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "archive/check.h"
#include "archive/preamble.h"
#include "base/fatal.h"
#include "base/features.h"
#include "base/options.h"
#include "base/progress.h"
#include "base/text.h"
#include "extract/command.h"
#include "extract/placement.h"
#include "payload/payload.h"

namespace kapsa {

namespace {

// Megabytes needed for the payload: what it unpacks to, remainder dropped,
// plus one.
int needed_megabytes(const Payload &p) {
  uint64_t mb = payload_content_bytes(p) / 1048576 + 1;
  return mb > uint64_t(INT_MAX) ? INT_MAX : int(mb);
}

// The archives whose lock a run's ancestors hold: "<device>:<inode>" items,
// separated by ",", exported by each run that takes a lock to its children.
constexpr char locked_variable[] = "KAPSA_LOCKED";

// Takes the lock that keeps two runs of the archive open on fd (path, for
// the message) from placing their data at once.  A run started, directly or
// not, by a run that holds it goes on without it: waiting would be waiting
// for itself.  A run that must wait says so once, after a second, and waits
// on (a signal ends it through the cleanup).  The lock goes with the
// descriptor, which no child inherits; where locks are not supported, the
// placement's own checks still keep the runs apart.
void lock_archive(int fd, const char *path) {
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  char item[64];
  text_format(item, sizeof item, "%llu:%llu", (unsigned long long)st.st_dev,
              (unsigned long long)st.st_ino);
  const char *held = getenv(locked_variable);
  for (const char *p = held; p && *p;) {
    size_t len = strcspn(p, ",");
    if (len == strlen(item) && memcmp(p, item, len) == 0) return;
    p += len + (p[len] == ',');
  }
  constexpr long poll_ns = 50 * 1000 * 1000;
  for (long waited_ns = 0;; waited_ns += poll_ns) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) return;
    if (waited_ns == 1000 * 1000 * 1000) {
      progress_erase();
      fprintf(stderr, "%s: waiting for another run of this archive to end\n", path);
    }
    struct timespec pause = {0, poll_ns};
    nanosleep(&pause, nullptr);
  }
  char list[text_size];
  if (held && *held)
    text_format(list, sizeof list, "%s,%s", held, item);
  else
    text_copy(list, sizeof list, item);
  setenv(locked_variable, list, 1);
}

// Makes room for the data when the archive names a filesystem (and -x is not
// given); link receives the temporary link, if one is made, and data_dir the
// directory the data goes to (left empty without a placement).  Returns 0,
// or -1 when the placement refused.
int make_room(const Archive &a, const Options &options, char *link, char *data_dir) {
  if (options.extract_only || !feature_lookup(a.preamble.features, "VFYFS=")) return 0;
  // Two runs of one archive place their data one after the other.
  lock_archive(a.fd, a.name);
  return place_extraction_dir(needed_megabytes(a.payload), link, data_dir, a.preamble.features,
                              options);
}

// Decodes the payload of a (header read) into out_fd.  Returns 0; 1 when a
// raw payload held no byte at all.
int transfer_payload(Archive &a, const Options &options, int out_fd) {
  Payload &p = a.payload;
  if (!options.quiet) {
    // The archive's texts are shown escaped: the banner keeps its lines.
    const char *comment = a.preamble.comment;
    if (comment[0]) {
      fputc('\n', stderr);
      text_print_escaped(stderr, comment, true);
      fputs("\n\nPlease wait...\n", stderr);
    }
    if (options.verbose || options.extract_only) {
      fputs("Deflating ", stderr);
      text_print_escaped(stderr, p.name);
      fputs("...\n", stderr);
    }
  }
  long long decoded = payload_decode(p, out_fd, p.name, options.quiet);
  return !payload_is_checked(p) && decoded == 0 ? 1 : 0;
}

// For an archive that asks to be checked first (a VERIFY item, and not -x):
// decodes the payload into nothing before anything is placed, asked or
// started, then goes back to its first byte.  Damaged data ends the process
// with its usual message.  Returns 0, or -1 when the check refused it.
int verify_first(Archive &a, const Options &options) {
  if (options.extract_only || !feature_item(a.preamble.features, "VERIFY")) return 0;
  // The header's notes are shown once, by the extraction.
  if (check_payload(a, options, false) < 0) return -1;
  if (lseek(a.fd, a.payload_offset, SEEK_SET) != a.payload_offset)
    fatal_read_error(options.program_name, a.name);
  payload_begin(a.payload, a.fd, a.payload_offset, a.payload_end, a.preamble.features, a.name,
                options.program_name);
  return 0;
}

}  // namespace

int extract_archive(Archive &a, Options &options) {
  // From here on no way out leaves the extract command running or the
  // temporary link behind, and a lost standard error does not end the run.
  fatal_catch_signals();
  const char *path = a.name;
  Payload &p = a.payload;
  // Sizes the archive claims are checked before anything is made or started.
  if (payload_measure(p) != 0 || verify_first(a, options) != 0) {
    close(a.fd);
    return -1;
  }
  // -c keeps the output name "stdout".
  int method = payload_read_header(p, options.verbose, !options.to_stdout);
  // Arguments for the post-install command that it could not take, a
  // payload cut where a member begins, and a shortage of memory are refused
  // before anything is made.
  bool post_install = !options.extract_only && !options.no_run && a.preamble.run_command[0];
  uint64_t memory_mib;
  if (method == 0 &&
      ((post_install && check_post_install_args(path, a.preamble, p.name, options) != 0) ||
       payload_check_members(p, true) != 0 || payload_memory_check(p, &memory_mib) != 0)) {
    close(a.fd);
    return -1;
  }

  char link[link_buffer_size] = "";
  char data_dir[text_size] = "";  // where the data lands: the placement's, or "."
  if (make_room(a, options, link, data_dir) != 0) {
    close(a.fd);
    return -1;
  }

  int status = 0;
  int out_fd = STDOUT_FILENO;
  char *command = nullptr;
  if (method < 0) {
    fprintf(stderr, "%s: unknown compression method\n", path);
    status = -1;
  } else if (!options.extract_only &&
             !(command = start_extract_command(path, a.preamble, p.name, &out_fd))) {
    status = -1;
  }
  if (status == 0) status = transfer_payload(a, options, out_fd);
  // The extract command must have taken the whole payload, and succeeded,
  // before anything runs on its result.
  if (finish_extract_command(path) != 0 && status == 0) status = -1;
  free(command);
  if (status == 0 && post_install)
    status = run_post_install(path, data_dir, a.preamble, p.name, options);
  close(a.fd);
  fatal_remove_link();
  return status;
}

}  // namespace kapsa
