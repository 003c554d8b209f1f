// Start-up, options, mode selection and the build loop.
//
// A process is either the plain tool (build mode) or a self-extracting
// archive (extract mode): the running program's own file is searched for a
// preamble, and finding one means extract mode.  Options are read in order,
// and each sees the mode in force when it is read (-u switches to extract
// mode).  Then exactly one of listing, extraction and build runs.
#include "frame/startup.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "archive/listing.h"
#include "archive/preamble.h"
#include "extract/driver.h"
#include "frame/features.h"
#include "frame/locate.h"
#include "frame/options.h"
#include "frame/text.h"
#include "gz/deflate.h"
#include "gz/stream.h"
#include "gz/writer.h"

namespace kapsa {

namespace {

constexpr char version_string[] = "@(#) kapsa 1.2    5/17/2001 ";
constexpr char default_comment[] = "Self-Extracting archive file";
// "+": options stop at the first file argument, so `kapsa file -a` takes
// "-a" for a file name.
constexpr char option_string[] = "+h?ucvxnlap:C:r:f:V:S:t:";
// Long options of the build, beside the short ones; their codes lie past
// every character.
constexpr int level_option = 256;
constexpr int threads_option = 257;
const struct option long_options[] = {
    {"level", required_argument, nullptr, level_option},
    {"threads", required_argument, nullptr, threads_option},
    {nullptr, 0, nullptr, 0},
};

// Copies an option's argument into a text buffer, refusing one that does
// not fit.  Returns 0, or -1 after printing why.
int take_argument(char *field, int option, const char *argument) {
  if (text_copy(field, text_size, argument) == 0) return 0;
  fprintf(stderr, "%s: argument of -%c too long (at most %zu characters)\n", options.program_name,
          option, text_size - 1);
  return -1;
}

// Takes the value of --name, a whole decimal number from min to max.
// Returns 0, or -1 after printing why and the build usage.
int take_number(int *field, const char *name, const char *argument, int min, int max) {
  char *end = nullptr;
  errno = 0;
  long value = argument[0] >= '0' && argument[0] <= '9' ? strtol(argument, &end, 10) : -1;
  if (errno == 0 && end && *end == '\0' && value >= min && value <= max) {
    *field = int(value);
    return 0;
  }
  fprintf(stderr, "%s: invalid --%s value: '%s' (%d to %d)\n", options.program_name, name, argument,
          min, max);
  print_usage(Mode::build);
  return -1;
}

// Appends key followed by value as one feature item, refusing an item that
// a lookup could not return whole or a list that would not fit.  Returns 0,
// or -1 after printing why.
int add_feature(const char *key, const char *value) {
  char item[feature_item_max + 1];
  int len = snprintf(item, sizeof item, "%s%s", key, value);
  if (len < 0 || len > feature_item_max) {
    fprintf(stderr, "%s: feature item too long (at most %d characters): %s%s\n",
            options.program_name, feature_item_max, key, value);
    return -1;
  }
  if (feature_append(item) != 0) {
    fprintf(stderr, "%s: feature list too long (at most %zu characters)\n", options.program_name,
            text_size - 1);
    return -1;
  }
  return 0;
}

// Opens one input file of a build as options.archive_fd.  Returns the
// descriptor, or -1 after reporting the file, which the build then skips.
int open_input(const char *name) {
  if (text_copy(options.input_name, text_size, name) != 0) {
    errno = ENAMETOOLONG;
    perror(name);
    return -1;
  }
  int fd = open(options.input_name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    perror(options.input_name);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    perror(options.input_name);
    close(fd);
    return -1;
  }
  return fd;
}

// The build: extractor image and preamble, then each file as payload.
// Returns the exit status.
int build(int file_count, char **files) {
  options.out_fd = STDOUT_FILENO;
  // Write failures name the output.
  text_copy(options.payload_name, text_size, "stdout");
  if (add_feature("NAME=", text_last_component(files[0])) != 0) return 1;
  if (write_preamble(options.extractor_path, options.out_fd) != 0) return 1;

  bool raw = feature_lookup("NOCOMPR") != nullptr;
  for (int i = 0; i < file_count; i++) {
    int fd = open_input(files[i]);
    if (fd < 0) {
      options.exit_code = 1;
      continue;
    }
    options.archive_fd = fd;
    if (raw)
      copy_stream(fd, options.out_fd);
    else
      write_gzip_member(fd, options.out_fd);
    close(fd);
  }
  if (close(options.out_fd) != 0 && errno != EINTR) fatal_write_error();
  return options.exit_code;
}

}  // namespace

void print_usage(Mode mode) {
  fprintf(stderr, "Version: %s\n", version_string);
  if (mode == Mode::build) {
    fprintf(stderr,
            "Usage: %s [-huclva] [-p kapsa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
            "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] <files...>\n",
            options.program_name);
    return;
  }
  fprintf(stderr, "\n%s\n\n", preamble.comment);
  fprintf(stderr, "Usage: %s [-hclnvtx]\n", options.program_name);
  fputs(
      "    -h: show this help\n"
      "    -u: use as utility to decompress archive specified on command-line\n"
      "    -l: list compression statistics\n"
      "    -c: extract to stdout instead of archive name\n"
      "    -x: extract only. do not deflate the archive\n"
      "    -n: do not run install command after deflating archive\n"
      "    -t: temp path for decompression if archive allows\n"
      "    -v: verbose output\n",
      stderr);
}

int startup_main(int argc, char **argv) {
  options.program_name = argc > 0 && argv[0] ? argv[0] : "kapsa";
  const char *running = locate_running_program(options.program_name);
  const char *self_name = running;

  for (char *text : {preamble.features, preamble.comment, preamble.run_command,
                     preamble.extract_command, options.extractor_path, options.temp_path})
    *text = '\0';

  Mode mode = Mode::build;
  int probe = find_preamble(self_name);
  if (probe >= 0) {
    close(probe);
    mode = Mode::extract;
  } else if (preamble.damaged) {
    mode = Mode::extract;  // an archive, though a damaged one
  }

  bool archive_named = false;
  int c;
  while ((c = getopt_long(argc, argv, option_string, long_options, nullptr)) != -1) {
    bool building = mode == Mode::build;
    int status = 0;
    switch (c) {
      case 'u':
        mode = Mode::extract;
        archive_named = true;
        break;
      case 'c':
        options.to_stdout = 1;
        break;
      case 'l':
        options.list_mode = 1;
        break;
      case 'v':
        options.verbose = 1;
        break;
      case 'x':
        options.extract_only = 1;
        break;
      case 'n':
        options.no_run = 1;
        break;
      case 'a':
        if (building) status = add_feature("NOCOMPR", "");
        break;
      case 'p':
        status = take_argument(options.extractor_path, c, optarg);
        break;
      case 'C':
        status = take_argument(preamble.comment, c, optarg);
        break;
      case 'r':
        status = take_argument(preamble.run_command, c, optarg);
        break;
      case 'f':
        status = take_argument(preamble.extract_command, c, optarg);
        break;
      case 'V':
        if (building) status = add_feature("VFYFS=", optarg);
        break;
      case 'S':
        if (building) status = add_feature("FSSUB=", optarg);
        break;
      case 't':
        if (!building) status = take_argument(options.temp_path, c, optarg);
        break;
      case level_option:
        if (building)
          status = take_number(&compress_settings.level, "level", optarg, compress_level_min,
                               compress_level_max);
        break;
      case threads_option:
        if (building)
          status =
              take_number(&compress_settings.threads, "threads", optarg, 1, compress_threads_max);
        break;
      default:  // -h, -?, and what getopt refused
        print_usage(mode);
        return 1;
    }
    if (status != 0) return 1;
  }
  int file_count = argc - optind;
  char **files = argv + optind;

  if (!preamble.comment[0]) text_copy(preamble.comment, text_size, default_comment);
  if (!options.extractor_path[0]) {
    const char *path = running == options.program_name ? locate_executable(running) : running;
    if (path) text_copy(options.extractor_path, text_size, path);
  }

  if (options.list_mode) {
    if (file_count == 0 || mode == Mode::extract) {
      list_archive(self_name);
    } else {
      for (int i = 0; i < file_count; i++) list_archive(files[i]);
    }
    return options.exit_code;
  }
  if (mode == Mode::extract) {
    if (archive_named) {
      if (file_count == 0) {
        print_usage(mode);
        return 1;
      }
      self_name = files[0];
    }
    return extract_archive(self_name) == 0 ? 0 : 1;
  }
  if (file_count == 0) {
    print_usage(mode);
    fprintf(stderr, "%s: what files do you want to compress?\n", options.program_name);
    return 1;
  }
  if (!options.extractor_path[0]) {
    fprintf(stderr, "%s: unable to find kapsa to build preamble\n", options.program_name);
    return 1;
  }
  return build(file_count, files);
}

}  // namespace kapsa
