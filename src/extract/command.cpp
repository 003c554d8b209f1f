// The shell boundary of an extraction: command expansion, the extract
// command's start and finish, the environment export and the post-install
// command.
#include "extract/command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/preamble.h"
#include "base/fatal.h"
#include "base/options.h"
#include "base/spawn.h"
#include "base/syserr.h"
#include "base/text.h"
#include "extract/shell.h"
#include "lib/aplist.h"
#include "lib/strsplit.h"

extern char **environ;

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

// What a wait status (or system()'s result) says: the command's exit code
// (0 to 255), 256 and more for a command a signal ended (256 + the signal),
// or -1 when no shell could be started or waited for.
int exit_code_of(int status) {
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 256 + WTERMSIG(status) : -1;
}

// Starts /bin/sh with argv, stdin_fd as its standard input (-1: ours), the
// signal mask mask and the signals of defaults at their default actions.
// Returns 0 with *pid set, or the error number.
int spawn_shell(char **argv, int stdin_fd, const sigset_t *mask, const sigset_t *defaults,
                pid_t *pid) {
  return spawn_program("/bin/sh", argv, stdin_fd, -1, mask, defaults, pid);
}

// A write into the extract command's pipe broke: when the command failed,
// its failure is the error to report.  Returns true when it was reported.
bool report_broken_pipe() {
  int status;
  const char *archive = "";
  const char *command = fatal_end_child(&status, &archive);
  if (!command || exit_code_of(status) == 0) return false;
  fprintf(stderr, "%s: extraction command failed: %s\n", archive, Shown(command).text);
  return true;
}

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

// Writes " 'arg'" for each post-install argument, each quoted as the shell
// would need it.
void print_post_install_args(FILE *out, const Options &options) {
  for (int i = 0; i < options.post_install_count; i++) {
    fputs(" '", out);
    // Each quote closes the word, adds an escaped quote and opens it again.
    for (const char *p = options.post_install_args[i]; *p;) {
      size_t len = strcspn(p, "'");
      char piece[text_size];
      for (size_t done = 0; done < len;) {
        size_t n = len - done < sizeof piece - 1 ? len - done : sizeof piece - 1;
        memcpy(piece, p + done, n);
        piece[n] = '\0';
        text_print_escaped(out, piece);
        done += n;
      }
      p += len;
      if (*p == '\'') {
        fputs("'\\''", out);
        p++;
      }
    }
    putc('\'', out);
  }
}

// Writes command as it runs, escaped: the post-install arguments quoted
// where they join its last simple command.
void print_command(FILE *out, const char *command, const Options &options) {
  long at = options.post_install_count ? shell_args_position(command) : -1;
  if (at < 0) {
    text_print_escaped(out, command);
    return;
  }
  char head[command_size];
  memcpy(head, command, size_t(at));
  head[at] = '\0';
  text_print_escaped(out, head);
  print_post_install_args(out, options);
  text_print_escaped(out, command + at);
}

// Runs command through the shell as system() does; with post-install
// arguments as `/bin/sh -c '<command> "$@"' sh ARG...`, waited for the way
// system() waits (the caller ignoring SIGINT and SIGQUIT meanwhile).
// Returns the wait status, or -1 when the shell could not be started.
int run_shell(const char *command, const Options &options) {
  if (options.post_install_count == 0) return system(command);
  long at = shell_args_position(command);
  if (at < 0) {  // refused before anything was made; never dropped here
    errno = EINVAL;
    return -1;
  }
  size_t len = strlen(command);
  char *line = static_cast<char *>(malloc(len + sizeof " \"$@\""));
  char **argv = static_cast<char **>(calloc(size_t(options.post_install_count) + 5, sizeof *argv));
  if (!line || !argv) {
    free(line);
    free(argv);
    errno = ENOMEM;
    return -1;
  }
  // "$@" behind the last word of the last simple command.
  memcpy(line, command, size_t(at));
  memcpy(line + at, " \"$@\"", sizeof " \"$@\"" - 1);
  memcpy(line + at + sizeof " \"$@\"" - 1, command + at, len - size_t(at) + 1);
  char sh[] = "sh", dash_c[] = "-c";
  argv[0] = sh;
  argv[1] = dash_c;
  argv[2] = line;
  argv[3] = sh;
  for (int i = 0; i < options.post_install_count; i++) argv[4 + i] = options.post_install_args[i];

  struct sigaction ignore = {}, old_int, old_quit;
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  sigset_t child_block, old_mask;
  sigemptyset(&child_block);
  sigaddset(&child_block, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child_block, &old_mask);

  // The command starts with the caller's mask and, unless the caller
  // ignores them, the default actions of SIGINT and SIGQUIT.
  sigset_t defaults;
  sigemptyset(&defaults);
  if (old_int.sa_handler != SIG_IGN) sigaddset(&defaults, SIGINT);
  if (old_quit.sa_handler != SIG_IGN) sigaddset(&defaults, SIGQUIT);
  pid_t pid = 0;
  int error = spawn_shell(argv, -1, &old_mask, &defaults, &pid);
  int status = error == 0 ? fatal_wait_child(pid) : -1;
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  free(line);
  free(argv);
  if (error != 0) errno = error;
  return status;
}

}  // namespace

char *expand_command(const char *command, const char *payload_name, const char *archive,
                     bool quote) {
  char *out = static_cast<char *>(calloc(command_size, 1));
  if (!out) {
    fprintf(stderr, "%s: out of memory\n", archive);
    return nullptr;
  }
  size_t len = 0;
  bool fits = true;
  for (const char *p = command; *p && fits; p++) {
    if (p[0] == '%' && p[1] == 'o') {
      fits = append(out, len, payload_name, quote);
      p++;
    } else if (p[0] == '%' && p[1] == 'p') {
      char cwd[command_size];
      if (!getcwd(cwd, sizeof cwd)) {
        fprintf(stderr, "%s: cannot expand %%p: ", archive);
        syserr_report("getcwd");
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
            archive, command_size - 1, Shown(command).text);
    free(out);
    return nullptr;
  }
  return out;
}

void export_features(const char *features) {
  char **items = strsplit(features, ",");
  if (!items) return;
  for (char **item = items; *item; item++) {
    if (**item == '=' || !**item) continue;  // no name to export it under
    // A bare key is exported with an empty value.
    size_t len = strlen(*item);
    bool bare = !strchr(*item, '=');
    char *entry = static_cast<char *>(malloc(len + (bare ? 2 : 1)));
    if (!entry) continue;
    memcpy(entry, *item, len);
    if (bare) entry[len++] = '=';
    entry[len] = '\0';
    putenv(entry);  // the environment keeps it for good
  }
  aplist_free(reinterpret_cast<void **>(items));
}

char *start_extract_command(const char *archive, const Preamble &p, const char *payload_name,
                            int *pipe_fd) {
  char *text = p.extract_command[0]
                   ? expand_command(p.extract_command, payload_name, archive)
                   : expand_command(default_extract_command, payload_name, archive, true);
  if (!text) return nullptr;
  fflush(stdout);
  int ends[2];
  int error = pipe2(ends, O_CLOEXEC) == 0 ? 0 : errno;
  if (error == 0) {
    // Started and registered with the cleanup signals blocked; the command
    // itself starts with the signal mask the process had.
    sigset_t old, none;
    sigemptyset(&none);
    fatal_block_signals(&old);
    char sh[] = "sh", dash_c[] = "-c";
    char *argv[] = {sh, dash_c, text, nullptr};
    pid_t pid = 0;
    error = spawn_shell(argv, ends[0], &old, &none, &pid);
    if (error == 0) fatal_set_child(pid, ends[1], text, archive);
    fatal_restore_signals(&old);
    close(ends[0]);
    if (error != 0) close(ends[1]);
  }
  if (error != 0) {
    errno = error;
    syserr_report(text);
    free(text);
    return nullptr;
  }
  fatal_broken_pipe_hook = report_broken_pipe;
  *pipe_fd = ends[1];
  return text;
}

int finish_extract_command(const char *archive) {
  int status;
  const char *command = fatal_end_child(&status);
  fatal_broken_pipe_hook = nullptr;
  if (!command || exit_code_of(status) == 0) return 0;
  fprintf(stderr, "%s: extraction command failed: %s\n", archive, Shown(command).text);
  return -1;
}

int check_post_install_args(const char *archive, const Preamble &p, const char *payload_name,
                            const Options &options) {
  if (options.post_install_count == 0 || !p.run_command[0]) return 0;
  char *command = expand_command(p.run_command, payload_name, archive);
  if (!command) return -1;
  long at = shell_args_position(command);
  if (at < 0) {
    fprintf(stderr,
            "%s: the arguments after -- cannot be given to the post-install command: it does not "
            "end in a simple command: %s\n",
            archive, Shown(command).text);
  }
  free(command);
  return at < 0 ? -1 : 0;
}

int run_post_install(const char *archive, const char *data_dir, const Preamble &p,
                     const char *payload_name, const Options &options) {
  char *command = expand_command(p.run_command, payload_name, archive);
  if (!command) return -1;
  export_features(p.features);
  // Where the data really is, also after the temporary link has gone.
  char cwd[text_size];
  if (!data_dir[0] && getcwd(cwd, sizeof cwd)) data_dir = cwd;
  if (data_dir[0]) {
    // Joined from parts that may end or begin with "/": one "/" between
    // components, none at the end.
    char clean[text_size];
    size_t n = 0;
    for (const char *p = data_dir; *p && n < sizeof clean - 1; p++)
      if (*p != '/' || n == 0 || clean[n - 1] != '/') clean[n++] = *p;
    if (n > 1 && clean[n - 1] == '/') n--;
    clean[n] = '\0';
    setenv("KAPSA_DIR", clean, 1);
  }
  int status = 0;
  fflush(stdout);
  if (options.verbose) {
    printf("This archive requires more processing using the following command:\n");
    printf("    ");
    print_command(stdout, command, options);
    putchar('\n');
    if (!isatty(STDIN_FILENO)) {
      printf("but stdin is not a terminal. So forget it.\n");
    } else if (run_confirmed()) {
      status = run_shell(command, options);
    }
  } else {
    status = run_shell(command, options);
    int code = exit_code_of(status);
    if (code == -1 || (code > 0 && code < 256)) {  // no word for a signal
      fprintf(stderr, "%s: final processing of %s failed\n", archive,
              Shown(payload_name).text);
      fputs("Command: ", stderr);
      print_command(stderr, command, options);
      fputc('\n', stderr);
    }
  }
  free(command);
  return status;
}

}  // namespace kapsa
