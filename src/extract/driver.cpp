// The extraction run, command expansion and the export of the feature list.
#include "extract/driver.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/preamble.h"
#include "extract/placement.h"
#include "frame/fatal.h"
#include "frame/features.h"
#include "frame/options.h"
#include "gz/reader.h"
#include "gz/stream.h"
#include "lib/aplist.h"
#include "lib/strsplit.h"

namespace kapsa {

namespace {

constexpr char default_extract_command[] = "cat > %p/%o";
constexpr size_t command_size = 2048;

// Appends text to the command being expanded; with quote, as one single-
// quoted shell word ('\'' for each quote inside).  False when it does not fit.
bool append(char *out, size_t &len, const char *text, bool quote) {
  size_t n = len;
  auto put = [&](char c) {
    if (n >= command_size - 1) return false;
    out[n++] = c;
    return true;
  };
  bool fits = !quote || put('\'');
  for (const char *p = text; *p && fits; p++) {
    if (quote && *p == '\'')
      fits = put('\'') && put('\\') && put('\'') && put('\'');
    else
      fits = put(*p);
  }
  if (fits && quote) fits = put('\'');
  if (!fits) return false;
  len = n;
  return true;
}

// Megabytes needed for the payload: from the gzip trailer's ISIZE, or for a
// raw payload from its length.  Leaves the file position at the end.
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
  return int(isize / 1048576 + 1);
}

// A write to the pipe of an extract command that has gone must fail with
// EPIPE and be reported, not kill the process silently with the temporary
// link left behind.  A handler (not SIG_IGN) so that children still get the
// default action after exec.
void on_broken_pipe(int) {}

// Asks whether to run the post-install command; true for an answer that
// begins with y or Y, false for n, N or the end of input.
bool run_confirmed() {
  printf("OK to run the command? ");
  fflush(stdout);
  char line[512];
  for (;;) {
    if (!fgets(line, sizeof line - 1, stdin)) return false;
    int answer = toupper(static_cast<unsigned char>(line[0]));
    if (answer == 'Y') return true;
    if (answer == 'N') return false;
    printf("\n? (y/n): ");
    fflush(stdout);
  }
}

// Runs the post-install command; returns its system() status, or -1 when it
// could not be expanded.
int run_post_install(const char *path) {
  char *command = expand_command(preamble.run_command);
  if (!command) return -1;
  export_features();
  int status = 0;
  fflush(stdout);
  if (options.verbose) {
    printf("This archive requires more processing using the following command:\n");
    printf("    %s\n", command);
    if (!isatty(STDIN_FILENO)) {
      printf("but stdin is not a terminal. So forget it.\n");
    } else if (run_confirmed()) {
      status = system(command);
    }
  } else {
    status = system(command);
    if (((status >> 8) & 0xff) != 0) {
      fprintf(stderr, "%s: final processing of %s failed\n", path, options.payload_name);
      fprintf(stderr, "Command: %s\n", command);
    }
  }
  free(command);
  return status;
}

// Waits for the extract command; returns 0 when it exited with status 0,
// else -1 after saying that it failed.
int finish_extract_command(FILE *pipe, const char *command, const char *path) {
  int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
  fprintf(stderr, "%s: extraction command failed: %s\n", path, command);
  return -1;
}

}  // namespace

char *expand_command(const char *command, bool quote) {
  char *out = static_cast<char *>(calloc(command_size, 1));
  if (!out) {
    fprintf(stderr, "%s: out of memory\n", options.input_name);
    return nullptr;
  }
  size_t len = 0;
  bool fits = true;
  for (const char *p = command; *p && fits; p++) {
    if (p[0] == '%' && p[1] == 'o') {
      fits = append(out, len, options.payload_name, quote);
      p++;
    } else if (p[0] == '%' && p[1] == 'p') {
      char cwd[command_size];
      if (!getcwd(cwd, sizeof cwd)) {
        fprintf(stderr, "%s: cannot expand %%p: ", options.input_name);
        perror("getcwd");
        free(out);
        return nullptr;
      }
      fits = append(out, len, cwd, quote);
      p++;
    } else {
      // "%" and the character after it (if any) are copied as they are.
      char plain[3] = {p[0], p[0] == '%' ? p[1] : '\0', '\0'};
      fits = append(out, len, plain, false);
      if (p[0] == '%' && p[1]) p++;
    }
  }
  if (!fits) {
    fprintf(stderr, "%s: command longer than %zu characters after expansion: %s\n",
            options.input_name, command_size - 1, command);
    free(out);
    return nullptr;
  }
  return out;
}

void export_features() {
  char **items = strsplit(preamble.features, ",");
  if (!items) return;
  for (char **item = items; *item; item++) {
    if (**item == '=' || !**item) continue;  // no name to export it under
    char *entry;
    if (strchr(*item, '=')) {
      entry = strdup(*item);
    } else {
      entry = static_cast<char *>(malloc(strlen(*item) + 2));
      if (entry) sprintf(entry, "%s=", *item);
    }
    if (entry) putenv(entry);  // the environment keeps it for good
  }
  aplist_free(reinterpret_cast<void **>(items));
}

int extract_archive(const char *path) {
  int fd = find_preamble(path);
  if (fd < 0) {
    report_damaged_preamble(path);
    fprintf(stderr, "%s: unable to find preamble magic value\n", path);
    return -1;
  }
  options.archive_fd = fd;
  snprintf(options.input_name, text_size, "%s", path);
  options.out_fd = STDOUT_FILENO;
  snprintf(options.payload_name, text_size, "stdout");

  bool compressed = feature_lookup("NOCOMPR") == nullptr;
  int method = 0;
  if (!compressed) {
    if (const char *name = feature_lookup("NAME="))
      snprintf(options.payload_name, text_size, "%s", strchr(name, '=') + 1);
  } else {
    method = read_member_header();
  }

  char link[link_buffer_size] = "";
  if (!options.extract_only && feature_lookup("VFYFS=")) {
    off_t here = lseek(fd, 0, SEEK_CUR);
    if (here >= 0) {
      int needed = needed_megabytes(fd, compressed);
      if (place_extraction_dir(needed, link) != 0) {
        close(fd);
        return -1;
      }
      if (lseek(fd, here, SEEK_SET) != here) fatal_read_error();
    }
  }

  int status = 0;
  FILE *pipe = nullptr;
  char *command = nullptr;
  if (compressed && method < 0) {
    fprintf(stderr, "%s: unknown compression method\n", path);
    status = -1;
  } else if (options.extract_only) {
    options.to_stdout = 1;
  } else {
    command = preamble.extract_command[0] ? expand_command(preamble.extract_command)
                                          : expand_command(default_extract_command, true);
    if (!command) {
      status = -1;
    } else {
      fflush(stdout);
      pipe = popen(command, "we");
      if (!pipe) {
        perror(command);
        status = -1;
      } else {
        options.to_stdout = 0;
        options.out_fd = fileno(pipe);
      }
    }
  }

  if (status == 0) {
    if (preamble.comment[0]) fprintf(stderr, "\n%s\n\nPlease wait...\n", preamble.comment);
    if (options.verbose || options.extract_only)
      fprintf(stderr, "Deflating %s...\n", options.payload_name);
    struct sigaction quiet = {}, saved;
    quiet.sa_handler = on_broken_pipe;
    sigemptyset(&quiet.sa_mask);
    sigaction(SIGPIPE, &quiet, &saved);
    // A raw payload without a single byte is a failed run (status 1).
    status =
        compressed ? decompress_member(fd, options.out_fd) : copy_stream(fd, options.out_fd) == 0;
    sigaction(SIGPIPE, &saved, nullptr);
    // The extract command must have taken the whole payload, and succeeded,
    // before anything runs on its result.
    if (pipe && finish_extract_command(pipe, command, path) != 0) status = -1;
    pipe = nullptr;
    if (!options.extract_only && status == 0 && !options.no_run && preamble.run_command[0])
      status = run_post_install(path);
  }
  if (pipe) pclose(pipe);
  free(command);
  close(fd);
  fatal_remove_link();
  return status;
}

}  // namespace kapsa
