// Start-up: options and the choice of the one job a process does.
//
// A process is either the plain tool (build mode) or a self-extracting
// archive (extract mode): the running program's own file is searched for a
// preamble, and finding one means extract mode.  Options are read in order,
// and each sees the mode in force when it is read (-u switches to extract
// mode).  Then exactly one of build_archive, list_archive and
// extract_archive runs.
#include "frame/startup.h"

#include <getopt.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "archive/check.h"
#include "archive/features.h"
#include "archive/listing.h"
#include "archive/preamble.h"
#include "base/fatal.h"
#include "base/locate.h"
#include "base/options.h"
#include "base/syserr.h"
#include "base/text.h"
#include "extract/driver.h"
#include "frame/build.h"
#include "gz/deflate.h"
#include "gz/sync.h"

namespace kapsa {

namespace {

constexpr char version_string[] = "@(#) kapsa 1.2    5/17/2001 ";
constexpr char default_comment[] = "Self-Extracting archive file";
// --zstd-memory: the frames' smallest window needs about 6 MiB to unpack.
constexpr int zstd_memory_min = 8, zstd_memory_max = 1 << 20;
// Long options, beside the short ones; their codes lie past every character.
enum LongOption {
  check_option = 256,
  verify_option,
  help_option,
  version_option,
  level_option,
  threads_option,
  arch_option,
  quiet_option,
  zstd_option,
  zstd_memory_option
};

// The lines of --help: a heading (no option), or an option and a few words.
struct HelpLine {
  const char *option;  // as typed, with its argument; null for a heading
  const char *words;
};

const HelpLine build_help[] = {
    {nullptr, "Building an archive of the files, written to standard output:"},
    {"-a", "store the files raw, not compressed (feature NOCOMPR)"},
    {"-p PATH", "copy PATH as the extractor image (default: this program)"},
    {"--arch=NAME", "the extractor image for x86_64 or aarch64 machines"},
    {"--level=N", "compression level, 1 (fastest) to 12 (smallest); default: per chunk"},
    {"--threads=N", "compressing threads, 1 to 256; default: the processors"},
    {"--zstd[=LEVEL]", "zstd frames instead of gzip, level 1 to 22 (default 19)"},
    {"--zstd-memory=N", "unpacking the zstd frames needs at most N MiB of memory"},
    {nullptr, "The archive's preamble:"},
    {"-C TEXT", "the comment shown when the archive runs"},
    {"-f COMMAND", "extract command, fed the payload (default: cat > %p/%o)"},
    {"-r COMMAND", "post-install command, run after the extract command"},
    {"-V DIR", "the filesystem that must have room for the data (VFYFS=DIR)"},
    {"-S SUB", "its subdirectory that receives the data (FSSUB=SUB)"},
    {"--verify", "the archive checks its payload before it installs (VERIFY)"},
    {nullptr, "Checking and listing the archives named as files:"},
    {"--check", "test them without extracting anything"},
    {"-l", "list their preambles and compression statistics"},
    {"-v", "with -l: the method, CRC and date too"},
    {nullptr, "Extracting the archive named as the first file:"},
    {"-u", "extract it, as if it had been run (options go before its name)"},
    {"-c", "write the data to a file named \"stdout\""},
    {"-x", "write the data to standard output; no space check, no commands"},
    {"-n", "do not run the post-install command"},
    {"-t PATH", "place the data under PATH, if the archive names a filesystem"},
    {"--quiet", "no banner, no messages but errors, no progress line"},
    {"-- ARG...", "after the archive's name: arguments for the post-install"},
    {nullptr, "Help:"},
    {"-h, -?", "the short usage, on standard error"},
    {"--help", "this help"},
    {"--version", "the version line"},
};

const HelpLine extract_help[] = {
    {nullptr, "Installing (what running the archive does):"},
    {"-n", "do not run the post-install command"},
    {"-t PATH", "place the data under PATH, if the archive names a filesystem"},
    {"-v", "verbose: ask before a temporary link and the post-install"},
    {"--quiet", "no banner, no messages but errors, no progress line"},
    {"-- ARG...", "pass ARG... to the post-install command"},
    {"-c", "write the data to a file named \"stdout\", not its stored name"},
    {"-x", "write the data to standard output; no space check, no commands"},
    {"-u ARCHIVE", "extract ARCHIVE instead of this archive"},
    {nullptr, "Checking:"},
    {"--check", "test the archive without extracting anything"},
    {"-l", "list the archive's preamble and compression statistics"},
    {nullptr, "Help:"},
    {"-h, -?", "the short usage, on standard error"},
    {"--help", "this help"},
    {"--version", "the version line"},
};

// Copies an option's argument into a text buffer, refusing one that does
// not fit.  Returns 0, or -1 after printing why.
int take_argument(char *field, int option, const char *argument) {
  if (text_copy(field, text_size, argument) == 0) return 0;
  fprintf(stderr, "%s: argument of -%c too long (at most %zu characters)\n", options.program_name,
          option, text_size - 1);
  return -1;
}

// Options that set a flag.
struct FlagOption {
  int letter;
  int *flag;
};
const FlagOption flag_options[] = {
    {'c', &options.to_stdout},      {'l', &options.list_mode},
    {'v', &options.verbose},        {'x', &options.extract_only},
    {'n', &options.no_run},         {check_option, &options.check_mode},
    {quiet_option, &options.quiet}, {verify_option, &options.verify_first}};

// Options that copy their argument into a text; -t only in extract mode.
struct TextOption {
  int letter;
  char *text;
  bool ignored_in_build;  // the build ignores it
};
const TextOption text_options[] = {{'p', options.extractor_path, false},
                                   {'C', preamble.comment, false},
                                   {'r', preamble.run_command, false},
                                   {'f', preamble.extract_command, false},
                                   {'t', options.temp_path, true}};

// Options that append a feature item in build mode (and are ignored in
// extract mode): the key, followed by the argument when there is one.
struct FeatureOption {
  int letter;
  const char *key;
  bool has_value;
};
const FeatureOption feature_options[] = {
    {'a', "NOCOMPR", false}, {'V', "VFYFS=", true}, {'S', "FSSUB=", true}};

// Options of the build that take a whole number (and are ignored in
// extract mode).
struct NumberOption {
  int code;
  const char *name;
  int *field;
  int min, max;
};
const NumberOption number_options[] = {
    {level_option, "level", &compress_settings.level, compress_level_min, compress_level_max},
    {threads_option, "threads", &compress_settings.threads, 1, compress_threads_max},
    {zstd_memory_option, "zstd-memory", &compress_settings.zstd_memory, zstd_memory_min,
     zstd_memory_max}};

// Takes the value of --name, a whole decimal number from min to max.
// Returns 0, or -1 after printing why and the build usage.
int take_number(const NumberOption &o, const char *argument) {
  char *end = nullptr;
  errno = 0;
  long value = argument[0] >= '0' && argument[0] <= '9' ? strtol(argument, &end, 10) : -1;
  if (errno == 0 && end && *end == '\0' && value >= o.min && value <= o.max) {
    *o.field = int(value);
    return 0;
  }
  fprintf(stderr, "%s: invalid --%s value: '%s' (%d to %d)\n", options.program_name, o.name,
          argument, o.min, o.max);
  print_usage(Mode::build);
  return -1;
}

// Takes --arch=name in build mode: the extractor image of that architecture,
// installed beside the running program at program, becomes the extractor as
// if -p had named it.  Returns 0, or -1 after saying why (an unknown name
// with the build usage; a missing image in one line).
int take_arch(const char *name, const char *program) {
  if (!locate_known_arch(name)) {
    fprintf(stderr, "%s: invalid --arch value: '%s' (x86_64 or aarch64)\n", options.program_name,
            name);
    print_usage(Mode::build);
    return -1;
  }
  char tried[2 * text_size];
  const char *image = locate_extractor_image(name, program, tried, sizeof tried);
  if (!image) {
    fprintf(stderr, "%s: no %s extractor image installed (looked for %s)\n", options.program_name,
            name, tried);
    return -1;
  }
  return take_argument(options.extractor_path, 'p', image);
}

// Takes --zstd[=LEVEL] in build mode.  Returns 0, or -1 after printing why
// and the build usage.
int take_zstd(const char *argument) {
  if (!argument) {
    compress_settings.zstd_level = zstd_level_default;
    return 0;
  }
  int level = 0;
  const NumberOption zstd = {zstd_option, "zstd", &level, 1, zstd_level_max};
  if (take_number(zstd, argument) != 0) return -1;
  compress_settings.zstd_level = level;
  return 0;
}

// The build options that do not go together: --zstd with -a (raw) or with
// --level (gzip's).  Returns 0, or -1 after saying so.
int check_build_options() {
  if (compress_settings.zstd_memory && !compress_settings.zstd_level) {
    fprintf(stderr, "%s: --zstd-memory is the memory unpacking zstd frames needs: give --zstd too\n",
            options.program_name);
    return -1;
  }
  if (!compress_settings.zstd_level) return 0;
  if (feature_lookup("NOCOMPR")) {
    fprintf(stderr, "%s: --zstd compresses and -a stores the files raw: choose one\n",
            options.program_name);
    print_usage(Mode::build);
    return -1;
  }
  if (!compress_settings.automatic) {
    fprintf(stderr, "%s: --level is the gzip level; give a zstd level as --zstd=LEVEL\n",
            options.program_name);
    return -1;
  }
  return 0;
}

// Applies option c (argument: its argument, if it takes one) in the mode in
// force.  Returns 1 when applied, 0 when c is no option of ours (-h, -?, and
// what getopt refused), -1 when its argument was refused (after a message).
int take_option(int c, Mode mode, const char *argument) {
  bool building = mode == Mode::build;
  for (const FlagOption &o : flag_options) {
    if (o.letter != c) continue;
    *o.flag = 1;
    return 1;
  }
  for (const TextOption &o : text_options) {
    if (o.letter != c) continue;
    if (building && o.ignored_in_build) return 1;
    return take_argument(o.text, c, argument) == 0 ? 1 : -1;
  }
  for (const FeatureOption &o : feature_options) {
    if (o.letter != c) continue;
    if (!building) return 1;
    return feature_add(o.key, o.has_value ? argument : "") == 0 ? 1 : -1;
  }
  for (const NumberOption &o : number_options) {
    if (o.code != c) continue;
    if (!building) return 1;
    if (take_number(o, argument) != 0) return -1;
    // A level asked for is the level of every chunk.
    if (o.code == level_option) compress_settings.automatic = false;
    return 1;
  }
  return 0;
}

// Says what was wrong with the option that getopt_long refused in
// argv[element] (opterr is off, so that the words are the same whatever C
// library the program is linked with): an unknown short or long option, an
// ambiguous abbreviation, a missing argument, or an argument given to a long
// option that takes none.  Prints nothing for -?, which is no error.
void report_option_error(char **argv, int element) {
  const char *word = argv[element];
  const char *me = options.program_name;
  auto long_name = [](int val) {
    for (const struct option *o = startup_long_options; o->name; o++)
      if (o->val == val) return o;
    return static_cast<const struct option *>(nullptr);
  };
  if (optopt == 0) {
    if (strncmp(word, "--", 2) != 0) return;  // -?
    const char *name = word + 2;
    size_t len = strcspn(name, "=");
    int matches = 0;
    for (const struct option *o = startup_long_options; o->name; o++)
      matches += strncmp(o->name, name, len) == 0;
    if (matches < 2) {
      fprintf(stderr, "%s: unrecognized option '%s'\n", me, word);
      return;
    }
    fprintf(stderr, "%s: option '--%.*s' is ambiguous; possibilities:", me, int(len), name);
    for (const struct option *o = startup_long_options; o->name; o++)
      if (strncmp(o->name, name, len) == 0) fprintf(stderr, " '--%s'", o->name);
    fprintf(stderr, "\n");
    return;
  }
  if (const struct option *o = optopt > 0xff ? long_name(optopt) : nullptr) {
    fprintf(stderr,
            o->has_arg == no_argument ? "%s: option '--%s' doesn't allow an argument\n"
                                      : "%s: option '--%s' requires an argument\n",
            me, o->name);
    return;
  }
  // A letter followed by ':' in the option string takes an argument.
  const char *letter = strchr(startup_option_string + 1, optopt);
  if (optopt != ':' && letter && letter[1] == ':')
    fprintf(stderr, "%s: option requires an argument -- '%c'\n", me, optopt);
  else
    fprintf(stderr, "%s: invalid option -- '%c'\n", me, optopt);
}

// With -u, the words after the archive's name: what follows a "--" becomes
// the post-install command's arguments; other words are ignored, but an
// option among them is refused (it would be dropped, and an -n dropped runs
// a post-install command the user asked not to run).  Returns 0, or -1
// after saying why.
int take_arguments_after_name(int count, char **words) {
  for (int i = 0; i < count; i++) {
    if (strcmp(words[i], "--") == 0) {
      options.post_install_args = words + i + 1;
      options.post_install_count = count - i - 1;
      return 0;
    }
    if (words[i][0] == '-' && words[i][1]) {
      fprintf(stderr, "%s: options go before the archive name: %s\n", options.program_name,
              words[i]);
      return -1;
    }
  }
  return 0;
}

// Checks the archive a in a child process of its own, so that damage that
// ends a check (a fatal stream error) leaves the other archives of the run
// to be checked.  Sets options.exit_code to 1 when the check failed.
void check_apart(const Archive &a) {
  fflush(stdout);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // The check ends with this process, however it ends: no verdict is
    // printed after it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(1);
    check_archive(a);
    fflush(stdout);
    _exit(options.exit_code);
  }
  if (pid < 0) {  // no child to be had: checked here, as a single archive is
    check_archive(a);
    return;
  }
  close(a.fd);
  if (fatal_wait_child(pid) != 0) options.exit_code = 1;
}

// Writes out what is left of standard output and closes it, so that a listing
// that could not be written fails.  Returns 0, or -1 after saying why.
int finish_standard_output() {
  errno = 0;
  bool failed = fflush(stdout) != 0 || ferror(stdout);
  int error = errno ? errno : EIO;
  if (fclose(stdout) != 0 && !failed) {
    failed = true;
    error = errno;
  }
  if (!failed) return 0;
  errno = error;
  syserr_report("stdout");
  return -1;
}

}  // namespace

// "+": options stop at the first file argument, so `kapsa file -a` takes
// "-a" for a file name.
const char startup_option_string[] = "+h?ucvxnlap:C:r:f:V:S:t:";

const struct option startup_long_options[] = {
    {"level", required_argument, nullptr, level_option},
    {"threads", required_argument, nullptr, threads_option},
    {"arch", required_argument, nullptr, arch_option},
    {"help", no_argument, nullptr, help_option},
    {"version", no_argument, nullptr, version_option},
    {"check", no_argument, nullptr, check_option},
    {"verify", no_argument, nullptr, verify_option},
    {"quiet", no_argument, nullptr, quiet_option},
    {"zstd", optional_argument, nullptr, zstd_option},
    {"zstd-memory", required_argument, nullptr, zstd_memory_option},
    {nullptr, 0, nullptr, 0},
};

void print_help(Mode mode) {
  print_usage(mode, stdout, false);
  bool building = mode == Mode::build;
  const HelpLine *lines = building ? build_help : extract_help;
  size_t count = building ? sizeof build_help / sizeof *build_help
                          : sizeof extract_help / sizeof *extract_help;
  for (size_t i = 0; i < count; i++) {
    if (!lines[i].option)
      printf("\n%s\n", lines[i].words);
    else
      printf("  %-14s %s\n", lines[i].option, lines[i].words);
  }
  const char *me = options.program_name;
  printf("\nCommon command lines:\n");
  if (building) {
    printf("  %s -f 'tar xf -' -r 'sh ./app/setup.sh' app.tar > app.run\n", me);
    printf("  %s --check app.run\n", me);
    printf("  %s -l app.run\n", me);
  } else {
    printf("  %s --check\n", me);
    printf("  %s -n -t /bigdisk\n", me);
    printf("  %s -x > data\n", me);
  }
  printf("\nSee kapsa(1).\n");
}

void print_usage(Mode mode, FILE *out, bool options_too) {
  fprintf(out, "Version: %s\n", version_string);
  if (mode == Mode::build) {
    fprintf(out,
            "Usage: %s [-huclva] [-p kapsa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
            "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] <files...>\n",
            options.program_name);
    return;
  }
  fputc('\n', out);
  text_print_escaped(out, preamble.comment, true);
  fputs("\n\n", out);
  fprintf(out, "Usage: %s [-hclnvtx]\n", options.program_name);
  if (!options_too) return;
  fputs(
      "    -h: show this help\n"
      "    -u: use as utility to decompress archive specified on command-line\n"
      "    -l: list compression statistics\n"
      "    -c: extract to stdout instead of archive name\n"
      "    -x: extract only. do not deflate the archive\n"
      "    -n: do not run install command after deflating archive\n"
      "    -t: temp path for decompression if archive allows\n"
      "    -v: verbose output\n",
      out);
}

int startup_main(int argc, char **argv) {
  options.program_name = argc > 0 && argv[0] ? argv[0] : "kapsa";
  sync_abort_hook = [](const char *call) {
    fprintf(stderr, "%s: %s failed\n", options.program_name, call);
  };
  RunningProgram running;
  locate_running_program(options.program_name, &running);
  options.program_path = running.path;
  const char *self_name = running.lookup_name;

  for (char *text : {preamble.features, preamble.comment, preamble.run_command,
                     preamble.extract_command, options.extractor_path, options.temp_path})
    *text = '\0';

  // The probe's descriptor and texts are kept for the job on the running
  // archive: the options may change the texts meanwhile (-C, -r, -f).
  Mode mode = Mode::build;
  off_t probe_offset = 0;
  int probe = find_preamble(self_name, false, &probe_offset);
  Preamble probed = preamble;
  if (probe >= 0) {
    mode = Mode::extract;
  } else if (preamble.read_failed) {
    return 1;  // the program's own file cannot be read: neither mode can run
  } else if (preamble.damaged) {
    mode = Mode::extract;  // an archive, though a damaged one
  }

  bool archive_named = false;
  bool ended_by_dashes = false;  // a "--" ended the options
  int options_end = optind;      // first word after the last option
  opterr = 0;
  for (;;) {
    int element = optind;
    optopt = 0;
    int c = getopt_long(argc, argv, startup_option_string, startup_long_options, nullptr);
    if (c == -1) {
      ended_by_dashes = optind > options_end && strcmp(argv[optind - 1], "--") == 0;
      break;
    }
    options_end = optind;
    if (c == 'u') {
      mode = Mode::extract;
      archive_named = true;
      continue;
    }
    // Asked for, the usage and the version go to standard output.
    if (c == help_option || c == version_option) {
      if (c == help_option)
        print_help(mode);
      else
        printf("Version: %s\n", version_string);
      return finish_standard_output() == 0 ? 0 : 1;
    }
    if (c == arch_option) {
      if (mode == Mode::build && take_arch(optarg, running.path) != 0) return 1;
      continue;
    }
    if (c == zstd_option) {
      if (mode == Mode::build && take_zstd(optarg) != 0) return 1;
      continue;
    }
    int taken = take_option(c, mode, optarg);
    if (taken < 0) return 1;
    if (taken == 0) {  // -h, -?, and what getopt refused
      if (c == '?') report_option_error(argv, element);
      print_usage(mode);
      return 1;
    }
  }
  int file_count = argc - optind;
  char **files = argv + optind;

  if (!preamble.comment[0]) text_copy(preamble.comment, text_size, default_comment);
  if (!options.extractor_path[0] && running.path)
    text_copy(options.extractor_path, text_size, running.path);

  // The running archive: the probe's, or found again to say what is wrong.
  auto running_archive = [&](Archive *a) {
    if (probe < 0) return open_archive(self_name, false, a);
    preamble = probed;
    adopt_archive(probe, probe_offset, self_name, a);
    probe = -1;
    return 0;
  };

  // Listing and checking take the same archives: the running one, or each
  // file argument of the plain tool, read by its name whatever its mode
  // bits.  A check of several archives tests each one, whatever the ones
  // before it gave.
  if (options.list_mode || options.check_mode) {
    Archive a;
    if (file_count == 0 || mode == Mode::extract) {
      if (running_archive(&a) != 0)
        options.exit_code = 1;
      else if (options.check_mode)
        check_archive(a);
      else
        list_archive(a);
    } else {
      for (int i = 0; i < file_count; i++) {
        if (open_archive(files[i], true, &a) != 0)
          options.exit_code = 1;
        else if (!options.check_mode)
          list_archive(a);
        else if (file_count == 1)
          check_archive(a);
        else
          check_apart(a);
      }
    }
    return finish_standard_output() == 0 ? options.exit_code : 1;
  }
  if (mode == Mode::extract) {
    Archive a;
    if (archive_named) {
      if (file_count == 0) {
        print_usage(mode);
        return 1;
      }
      if (take_arguments_after_name(file_count - 1, files + 1) != 0) return 1;
      if (probe >= 0) close(probe);
      if (open_archive(files[0], true, &a) != 0) return 1;
    } else {
      if (ended_by_dashes) {
        options.post_install_args = files;
        options.post_install_count = file_count;
      }
      if (running_archive(&a) != 0) return 1;
    }
    return extract_archive(a) == 0 ? 0 : 1;
  }
  if (file_count == 0) {
    print_usage(mode);
    fprintf(stderr, "%s: what files do you want to compress?\n", options.program_name);
    return 1;
  }
  if (check_build_options() != 0) return 1;
  return build_archive(file_count, files);
}

}  // namespace kapsa
