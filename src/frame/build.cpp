// The build loop: extractor image and preamble, then each input file as
// payload, one gzip member per file or the raw bytes of all of them.
#include "frame/build.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "archive/features.h"
#include "archive/preamble.h"
#include "base/fatal.h"
#include "base/locate.h"
#include "base/options.h"
#include "base/progress.h"
#include "base/syserr.h"
#include "base/text.h"
#include "gz/deflate.h"
#include "gz/stream.h"
#include "gz/writer.h"
#include "gz/zstd.h"

extern char **environ;

namespace kapsa {

namespace {

// Whether the file st describes is the archive being written (output,
// standard output's status), which a build must never read.
bool is_output(const struct stat &st, const struct stat &output) {
  return S_ISREG(output.st_mode) && st.st_dev == output.st_dev && st.st_ino == output.st_ino;
}

// Opens one input file of a build as options.archive_fd.  Returns the
// descriptor, or -1 after reporting the file, which the build then skips: a
// file that cannot be opened, a directory, and the archive being written
// itself (which the build would otherwise read while it grows).
int open_input(const char *name, const struct stat &output) {
  progress_erase();  // a message may follow
  if (text_copy(options.input_name, text_size, name) != 0) {
    errno = ENAMETOOLONG;
    syserr_report(name);
    return -1;
  }
  int fd = open(options.input_name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    syserr_report(options.input_name);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    syserr_report(options.input_name);
    close(fd);
    return -1;
  }
  if (is_output(st, output)) {
    fprintf(stderr, "%s: input file is the archive being written\n", options.input_name);
    close(fd);
    return -1;
  }
  return fd;
}

// Warns that an extraction unpacks only the first member of a compressed
// payload: the files written as later members (those of files that are not
// null) would be lost to the user.
void warn_unextracted(int file_count, char **files) {
  int members = 0;
  for (int i = 0; i < file_count; i++) members += files[i] != nullptr;
  if (members < 2 || payload_kind() != PayloadKind::gzip) return;
  fprintf(stderr, "%s: warning: an extraction unpacks only the first file; not unpacked:",
          options.program_name);
  bool first = true;
  for (int i = 0; i < file_count; i++) {
    if (!files[i]) continue;
    if (!first) fprintf(stderr, " %s", files[i]);
    first = false;
  }
  fprintf(stderr, " (pack the files into one file, a tar, first)\n");
}

// Bytes of the regular input files a build will read (the output excluded),
// for its progress line.
long long input_size(int file_count, char **files, const struct stat &output) {
  long long total = 0;
  for (int i = 0; i < file_count; i++) {
    struct stat st;
    if (stat(files[i], &st) == 0 && S_ISREG(st.st_mode) && !is_output(st, output))
      total += st.st_size;
  }
  return total;
}

// The trailer keeps the size modulo 2^32, and the last trailer of a payload
// is its last member's: for a first input of 4 GiB or more, and whenever the
// payload will hold more than one member, the feature list carries the first
// input's true size ("SIZE=<bytes>"), which the listing and the space check
// use instead.  *recorded receives the size written, or -1.  Returns 0, or -1
// after a message.
int add_true_size(int file_count, const char *first, long long *recorded) {
  *recorded = -1;
  struct stat st;
  if (payload_kind() != PayloadKind::gzip || stat(first, &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_size < (off_t(1) << 32) && file_count < 2))
    return 0;
  char size[32];
  text_format(size, sizeof size, "%lld", static_cast<long long>(st.st_size));
  if (feature_add("SIZE=", size) != 0) return -1;
  *recorded = st.st_size;
  return 0;
}

// After the first member: a recorded size that the file no longer had fails
// the build (the archive would be refused as damaged); a first input read
// through a pipe, whose size no item could record, is warned of when the
// space check will ask for less than it gave.  Returns 0, or -1 after a
// message.
int check_first_size(const char *name, long long recorded, uint64_t read, int file_count) {
  if (recorded >= 0) {
    if (uint64_t(recorded) == read) return 0;
    fprintf(stderr, "%s: changed size while it was read (%lld bytes, then %llu)\n", name, recorded,
            (unsigned long long)read);
    return -1;
  }
  struct stat st;
  if (stat(name, &st) == 0 && S_ISREG(st.st_mode)) return 0;
  if (read >= (uint64_t(1) << 32))
    fprintf(stderr,
            "%s: warning: %s gave %llu bytes through a pipe; the archive's space check will ask "
            "for only %llu modulo 4 GiB; build from a file to record the true size\n",
            options.program_name, name, (unsigned long long)read, (unsigned long long)read);
  else if (file_count > 1)
    fprintf(stderr,
            "%s: warning: %s gave %llu bytes through a pipe; the archive's space check will ask "
            "for the last file's size instead; build from a file to record the true size\n",
            options.program_name, name, (unsigned long long)read);
  return 0;
}

// The first input's name becomes the NAME item: a "," in it would start
// items of its own (PATH=. exported to the post-install command, VFYFS=/
// steering the placement), and a quote, a backslash or a control character
// would change how the list is split for the environment.  Returns 0, or -1
// after saying why the name is refused.
int check_name_item(const char *file) {
  const char *bad = text_last_component(file);
  for (; *bad; bad++) {
    char one[2] = {*bad, '\0'};
    if (strchr(",\"\\", *bad) || text_has_control(one)) break;
  }
  if (!*bad) return 0;
  char shown[2] = {*bad, '\0'};
  text_print_escaped(stderr, file);
  fputs(": this name cannot be the payload's NAME item (it holds '", stderr);
  text_print_escaped(stderr, shown);
  fputs("'); rename the file or pack it into a tar\n", stderr);
  return -1;
}

// Writes the input open on fd as one zstd frame to out, through the zstd
// compressor installed beside the program (compressor): it reads the input
// itself and writes into the archive.  The frames' window is the largest
// whose extraction needs no more than --zstd-memory.  Returns 0, or -1 after a message
// (the compressor's own, or why it could not run).
int write_zstd_frame(const char *compressor, int fd, int out, const char *name) {
  char level[16], window[16], parent[32];
  text_format(level, sizeof level, "%d", compress_settings.zstd_level);
  int window_log = compress_settings.zstd_memory
                       ? zstd_window_log_for(uint64_t(compress_settings.zstd_memory))
                       : zstd_window_log_max;
  text_format(window, sizeof window, "%d", window_log);
  // The compressor ends when this process ends, however it ends.
  text_format(parent, sizeof parent, "%ld", long(getpid()));
  char *argv[] = {const_cast<char *>(compressor), level, window, parent, const_cast<char *>(name),
                  nullptr};
  posix_spawn_file_actions_t actions;
  int error = posix_spawn_file_actions_init(&actions);
  if (error == 0) {
    error = posix_spawn_file_actions_adddup2(&actions, fd, STDIN_FILENO);
    if (error == 0 && out != STDOUT_FILENO)
      error = posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    pid_t pid;
    if (error == 0) error = posix_spawn(&pid, compressor, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0) {
      int status = fatal_wait_child(pid);
      if (status == -1) {
        syserr_report(compressor);
        return -1;
      }
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
      if (WIFSIGNALED(status))
        fprintf(stderr, "%s: %s: zstd: the compressor ended by signal %d\n", options.program_name,
                name, WTERMSIG(status));
      return -1;
    }
  }
  errno = error;
  syserr_report(compressor);
  return -1;
}

// A zstd frame records its content size only when its input is a regular
// file; of an input read through a pipe, the listing shows 0 bytes and the
// space check asks for 1 MB: said, as for gzip members.
void warn_unsized_frame(int fd, const char *name) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return;
  fprintf(stderr,
          "%s: warning: %s is read through a pipe, and a zstd frame of it records no size: the "
          "listing shows 0 bytes and the archive's space check asks for 1 MB; build from a file to "
          "record the true size\n",
          options.program_name, Shown(name).text);
}

}  // namespace

int build_archive(int file_count, char **files) {
  if (!options.extractor_path[0]) {
    fprintf(stderr, "%s: unable to find kapsa to build preamble\n", options.program_name);
    return 1;
  }
  const int out = STDOUT_FILENO;
  if (isatty(out)) {
    fprintf(stderr, "%s: an archive is not written to a terminal: redirect the output to a file\n",
            options.program_name);
    return 1;
  }
  struct stat output = {};
  if (fstat(out, &output) != 0) output.st_mode = 0;
  // Write failures name the output.
  text_copy(options.payload_name, text_size, "stdout");
  if (options.verify_first && feature_add("VERIFY", "") != 0) return 1;
  // zstd frames: the compressor is a program of its own, installed beside
  // this one.
  const char *compressor = nullptr;
  char compressor_path[text_size];
  if (compress_settings.zstd_level) {
    char tried[2 * text_size];
    const char *found = locate_installed("kapsa-zstd", options.program_path, tried, sizeof tried);
    if (!found) {
      fprintf(stderr, "%s: no zstd compressor installed (looked for %s)\n", options.program_name,
              tried);
      return 1;
    }
    text_copy(compressor_path, sizeof compressor_path, found);
    compressor = compressor_path;
    if (feature_add("ZSTD", "") != 0) return 1;
  }
  if (check_name_item(files[0]) != 0) return 1;
  if (feature_add("NAME=", text_last_component(files[0])) != 0) return 1;
  long long recorded;
  if (add_true_size(file_count, files[0], &recorded) != 0) return 1;

  // Every input is opened before anything is written; one that cannot be
  // is reported and left out.  They are all open at once: the descriptor
  // limit is raised as far as it goes.
  struct rlimit files_limit;
  if (getrlimit(RLIMIT_NOFILE, &files_limit) == 0 && files_limit.rlim_cur < files_limit.rlim_max) {
    files_limit.rlim_cur = files_limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files_limit);
  }
  const PayloadKind kind = payload_kind();
  std::unique_ptr<int[], decltype(&free)> inputs(
      static_cast<int *>(malloc(size_t(file_count) * sizeof(int))), free);
  if (!inputs) {
    errno = ENOMEM;
    syserr_report(options.program_name);
    return 1;
  }
  int members = 0;
  for (int i = 0; i < file_count; i++) {
    inputs[size_t(i)] = open_input(files[i], output);
    if (inputs[size_t(i)] < 0) {
      options.exit_code = 1;
      files[i] = nullptr;  // not in the archive
    } else {
      members++;
    }
  }
  auto close_inputs = [&]() {
    for (int i = 0; i < file_count; i++)
      if (inputs[size_t(i)] >= 0) close(inputs[size_t(i)]);
  };
  // A payload of several members or frames says how many, so that an
  // archive cut where one of them begins is not taken for a whole one.
  if (members > 1 && kind != PayloadKind::raw) {
    char count[16];
    text_format(count, sizeof count, "%d", members);
    if (feature_add("MEMBERS=", count) != 0) {
      close_inputs();
      return 1;
    }
  }
  if (write_preamble(options.extractor_path, out) != 0) {
    close_inputs();
    return 1;
  }

  progress_begin(input_size(file_count, files, output), 0, options.quiet);
  for (int i = 0; i < file_count; i++) {
    int fd = inputs[size_t(i)];
    if (fd < 0) continue;
    text_copy(options.input_name, text_size, files[i]);
    if (kind == PayloadKind::raw) {
      copy_stream(fd, out);
    } else if (kind == PayloadKind::zstd) {
      progress_end();  // the compressor reads the input itself
      warn_unsized_frame(fd, files[i]);
      if (write_zstd_frame(compressor, fd, out, options.input_name) != 0) {
        close_inputs();
        return 1;
      }
    } else {
      write_gzip_member(fd, out);
      if (i == 0 && check_first_size(files[0], recorded, stream.member_bytes, file_count) != 0)
        options.exit_code = 1;
    }
    close(fd);
    inputs[size_t(i)] = -1;
  }
  progress_end();
  if (close(out) != 0 && errno != EINTR) stream_fatal_write();
  warn_unextracted(file_count, files);
  return options.exit_code;
}

}  // namespace kapsa
