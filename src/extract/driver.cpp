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
#include "archive/license.h"
#include "archive/signature.h"
#include "archive/preamble.h"
#include "base/fatal.h"
#include "base/features.h"
#include "base/options.h"
#include "base/progress.h"
#include "base/text.h"
#include "extract/command.h"
#include "extract/install.h"
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

// Says what is being extracted, unless quiet: the banner (the comment and
// "Please wait..."), and with -v or -x the payload's name.
void banner(const Archive &a, const Options &options) {
  const Payload &p = a.payload;
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
}

// Decodes the payload of a (header read) into out_fd.  Returns 0; 1 when a
// raw payload held no byte at all.
int transfer_payload(Archive &a, const Options &options, int out_fd) {
  Payload &p = a.payload;
  banner(a, options);
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

// Whether the archive a is a tree that kapsa installs itself: built from a
// directory (TREE) without an extract command of its own, and not run with
// -x (which writes the tar stream to standard output).
bool installs_tree(const Archive &a, const Options &options) {
  return feature_item(a.preamble.features, "TREE") && !a.preamble.extract_command[0] &&
         !options.extract_only;
}

// Where a tree goes: with VFYFS= where the placement puts it (the path it
// names, already there and replaced with --replace), else --target, else
// NAME in the current directory.  *placed tells that the placement made
// the (empty) directory; link receives a link it made.  Returns 0, or -1
// when the placement refused.
int tree_target(const Archive &a, const Options &options, char *target, bool *placed, char *link) {
  const char *features = a.preamble.features;
  *placed = false;
  if (feature_lookup(features, "VFYFS=")) {
    char installed[text_size];
    const char *fs = feature_lookup(features, "VFYFS=");
    text_copy(installed, sizeof installed, strchr(fs, '=') + 1);
    if (const char *sub = feature_lookup(features, "FSSUB=")) {
      size_t n = strlen(installed);
      text_format(installed + n, sizeof installed - n, "/%s", strchr(sub, '=') + 1);
    }
    struct stat st;
    if (options.replace && installed[0] && stat(installed, &st) == 0) {
      text_copy(target, text_size, installed);
      return 0;
    }
    if (make_room(a, options, link, target) != 0) return -1;
    *placed = link[0] != '\0';
    return 0;
  }
  if (options.target[0]) {
    text_copy(target, text_size, options.target);
    return 0;
  }
  // NAME in the current directory: one plain component, never a path.
  const char *name = feature_value(features, "NAME");
  if (!name || !*name || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
    fprintf(stderr, "%s: the tree's name cannot be a directory here: %s (give --target=DIR)\n",
            Shown(a.name).text, Shown(name ? name : "").text);
    return -1;
  }
  text_copy(target, text_size, name);
  return 0;
}

// Installs the tree of the archive a: placement, staging, unpacking,
// publishing, the post-install command, and with --replace the old tree's
// removal or return.  Returns the extraction's result.
int install(Archive &a, Options &options, bool post_install) {
  const char *path = a.name;
  Payload &p = a.payload;
  char target[text_size] = "", link[link_buffer_size] = "";
  bool placed;
  Install in;
  int status = tree_target(a, options, target, &placed, link) == 0 &&
                       install_begin(in, target, options.replace, placed, path,
                                     options.program_name) == 0
                   ? 0
                   : -1;
  if (status == 0) {
    banner(a, options);
    if (install_unpack(in, p, options.quiet) != 0 || install_publish(in) != 0) status = -1;
  }
  if (status == 0 && link[0]) {
    // The tree stays where the placement put it, and its path keeps
    // leading there.
    fatal_set_link(nullptr, nullptr);
    fprintf(stderr, "%s: installed in %s; %s links to it\n", Shown(path).text,
            Shown(in.target).text, Shown(link).text);
  }
  if (status == 0 && post_install)
    status = run_post_install(path, in.target, a.preamble, p.name, options);
  if (in.exchanged && install_finish(in, status == 0) != 0 && status == 0) status = -1;
  close(a.fd);
  fatal_remove_link();
  return status;
}

}  // namespace

int extract_archive(Archive &a, Options &options) {
  // From here on no way out leaves the extract command running or the
  // temporary link behind, and a lost standard error does not end the run.
  fatal_catch_signals();
  const char *path = a.name;
  Payload &p = a.payload;
  // Who made it, then the licence, then the sizes it claims: all before
  // anything is made or started.
  if (signature_check(a, options, false) != 0 || license_gate(a, options) != 0 ||
      payload_measure(p) != 0 || verify_first(a, options) != 0) {
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

  if (method == 0 && installs_tree(a, options)) return install(a, options, post_install);

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
