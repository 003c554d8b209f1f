// Reading the command line into the run record.
#include "frame/args.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/features.h"
#include "base/locate.h"
#include "base/text.h"
#include "gz/deflate.h"
#include "zstd/compressor.h"

namespace kapsa {

namespace {

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
  zstd_memory_option,
  target_option,
  replace_option,
  sign_option,
  license_option,
  accept_option,
  key_option,
  minisig_option
};

// --zstd-memory: the frames' smallest window needs about 6 MiB to unpack.
constexpr int zstd_memory_min = 8, zstd_memory_max = 1 << 20;

// Copies an option's argument into a text buffer, refusing one that does
// not fit.  Returns 0, or -1 after printing why.
int take_argument(char *field, int option, const char *argument, const char *program) {
  if (text_copy(field, text_size, argument) == 0) return 0;
  if (option < 256)
    fprintf(stderr, "%s: argument of -%c too long (at most %zu characters)\n", program, option,
            text_size - 1);
  else
    fprintf(stderr, "%s: argument of --%s too long (at most %zu characters)\n", program,
            option == target_option ? "target" : "?", text_size - 1);
  return -1;
}

// Options that set a flag.
struct FlagOption {
  int letter;
  int Options::*flag;
};
const FlagOption flag_options[] = {
    {'c', &Options::to_stdout},      {'l', &Options::list_mode},
    {'v', &Options::verbose},        {'x', &Options::extract_only},
    {'n', &Options::no_run},         {check_option, &Options::check_mode},
    {quiet_option, &Options::quiet}, {verify_option, &Options::verify_first},
    {replace_option, &Options::replace}, {accept_option, &Options::accept},
    {minisig_option, &Options::minisig}};

// Options that copy their argument into a text of the run record (-t only
// in extract mode) or of the preamble texts.
struct TextOption {
  int letter;
  char (Options::*setting)[text_size];  // or
  char (Preamble::*text)[text_size];
  bool ignored_in_build;  // the build ignores it
};
const TextOption text_options[] = {{'p', &Options::extractor_path, nullptr, false},
                                   {'C', nullptr, &Preamble::comment, false},
                                   {'r', nullptr, &Preamble::run_command, false},
                                   {'f', nullptr, &Preamble::extract_command, false},
                                   {'t', &Options::temp_path, nullptr, true},
                                   {target_option, &Options::target, nullptr, false}};

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
  int Options::*field;
  int min, max;
};
const NumberOption number_options[] = {
    {level_option, "level", &Options::level, deflate_level_min, deflate_level_max},
    {threads_option, "threads", &Options::threads, 1, deflate_threads_max},
    {zstd_memory_option, "zstd-memory", &Options::zstd_memory, zstd_memory_min, zstd_memory_max}};

// Takes the value of --name, a whole decimal number from min to max, into
// *field.  Returns 0, or -1 after printing why and the build usage.
int take_number(const char *name, int min, int max, const char *argument, int *field,
                const char *program) {
  char *end = nullptr;
  errno = 0;
  long value = argument[0] >= '0' && argument[0] <= '9' ? strtol(argument, &end, 10) : -1;
  if (errno == 0 && end && *end == '\0' && value >= min && value <= max) {
    *field = int(value);
    return 0;
  }
  fprintf(stderr, "%s: invalid --%s value: '%s' (%d to %d)\n", program, name, argument, min, max);
  print_usage(Mode::build, program, "");
  return -1;
}

// Takes --arch=name in build mode: the extractor image of that architecture,
// installed beside the running program at program_file, becomes the
// extractor as if -p had named it.  Returns 0, or -1 after saying why (an
// unknown name with the build usage; a missing image in one line).
int take_arch(const char *name, const char *program_file, Options &options) {
  const char *me = options.program_name;
  if (!locate_known_arch(name)) {
    fprintf(stderr, "%s: invalid --arch value: '%s' (x86_64 or aarch64)\n", me, name);
    print_usage(Mode::build, me, "");
    return -1;
  }
  char tried[2 * text_size];
  const char *image = locate_extractor_image(name, program_file, tried, sizeof tried);
  if (!image) {
    fprintf(stderr, "%s: no %s extractor image installed (looked for %s)\n", me, name, tried);
    return -1;
  }
  return take_argument(options.extractor_path, 'p', image, me);
}

// Applies option c (argument: its argument, if it takes one) in the mode in
// force.  Returns 1 when applied, 0 when c is no option of ours (-h, -?, and
// what getopt refused), -1 when its argument was refused (after a message).
int take_option(int c, const char *argument, Arguments &args) {
  Options &o = args.options;
  const char *me = o.program_name;
  bool building = args.mode == Mode::build;
  for (const FlagOption &f : flag_options) {
    if (f.letter != c) continue;
    o.*f.flag = 1;
    return 1;
  }
  for (const TextOption &t : text_options) {
    if (t.letter != c) continue;
    if (building && t.ignored_in_build) return 1;
    if (c == 'C') args.comment_given = true;
    char *field = t.setting ? o.*t.setting : args.texts.*t.text;
    return take_argument(field, c, argument, me) == 0 ? 1 : -1;
  }
  for (const FeatureOption &f : feature_options) {
    if (f.letter != c) continue;
    if (!building) return 1;
    return feature_add(args.texts.features, sizeof args.texts.features, f.key,
                       f.has_value ? argument : "", me) == 0
               ? 1
               : -1;
  }
  for (const NumberOption &n : number_options) {
    if (n.code != c) continue;
    if (!building) return 1;
    return take_number(n.name, n.min, n.max, argument, &(o.*n.field), me) == 0 ? 1 : -1;
  }
  if (c == sign_option) {
    if (building) o.sign_key = argument;
    return 1;
  }
  if (c == license_option) {
    // Building, the licence to store; running an archive, a request to see
    // its own.
    if (!building)
      o.show_license = 1;
    else if (argument)
      o.license_file = argument;
    else {
      fprintf(stderr, "%s: --license takes the licence's file: --license=FILE\n", me);
      return -1;
    }
    return 1;
  }
  if (c == key_option) {
    if (o.key_count == int(sizeof o.keys / sizeof *o.keys)) {
      fprintf(stderr, "%s: at most %zu --key options\n", me, sizeof o.keys / sizeof *o.keys);
      return -1;
    }
    o.keys[o.key_count++] = argument;
    return 1;
  }
  if (c == zstd_option) {
    if (!building) return 1;
    o.zstd_level = zstd_level_default;
    return !argument || take_number("zstd", 1, zstd_level_max, argument, &o.zstd_level, me) == 0
               ? 1
               : -1;
  }
  return 0;
}

// Says what was wrong with the option that getopt_long refused in
// argv[element] (opterr is off, so that the words are the same whatever C
// library the program is linked with): an unknown short or long option, an
// ambiguous abbreviation, a missing argument, or an argument given to a long
// option that takes none.  Prints nothing for -?, which is no error.
void report_option_error(char **argv, int element, const char *me) {
  const char *word = argv[element];
  auto long_name = [](int val) {
    for (const struct option *o = args_long_options; o->name; o++)
      if (o->val == val) return o;
    return static_cast<const struct option *>(nullptr);
  };
  if (optopt == 0) {
    if (strncmp(word, "--", 2) != 0) return;  // -?
    const char *name = word + 2;
    size_t len = strcspn(name, "=");
    int matches = 0;
    for (const struct option *o = args_long_options; o->name; o++)
      matches += strncmp(o->name, name, len) == 0;
    if (matches < 2) {
      fprintf(stderr, "%s: unrecognized option '%s'\n", me, word);
      return;
    }
    fprintf(stderr, "%s: option '--%.*s' is ambiguous; possibilities:", me, int(len), name);
    for (const struct option *o = args_long_options; o->name; o++)
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
  const char *letter = strchr(args_option_string + 1, optopt);
  if (optopt != ':' && letter && letter[1] == ':')
    fprintf(stderr, "%s: option requires an argument -- '%c'\n", me, optopt);
  else
    fprintf(stderr, "%s: invalid option -- '%c'\n", me, optopt);
}

}  // namespace

// "+": options stop at the first file argument, so `kapsa file -a` takes
// "-a" for a file name.
const char args_option_string[] = "+h?ucvxnlap:C:r:f:V:S:t:";

const struct option args_long_options[] = {
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
    {"target", required_argument, nullptr, target_option},
    {"replace", no_argument, nullptr, replace_option},
    {"sign", required_argument, nullptr, sign_option},
    {"license", optional_argument, nullptr, license_option},
    {"accept", no_argument, nullptr, accept_option},
    {"key", required_argument, nullptr, key_option},
    {"minisig", no_argument, nullptr, minisig_option},
    {nullptr, 0, nullptr, 0},
};

int args_parse(int argc, char **argv, Mode mode, const Preamble *probed, const char *program_file,
               Arguments *args) {
  Arguments &a = *args;
  Options &o = a.options;
  a.mode = mode;
  const char *me = o.program_name;
  // The usage shows the comment held when it is asked for: the last -C
  // given so far, else the running archive's.
  auto comment = [&]() {
    return a.comment_given ? a.texts.comment : probed ? probed->comment : "";
  };
  int options_end = optind;  // first word after the last option
  opterr = 0;
  for (;;) {
    int element = optind;
    optopt = 0;
    int c = getopt_long(argc, argv, args_option_string, args_long_options, nullptr);
    if (c == -1) {
      a.ended_by_dashes = optind > options_end && strcmp(argv[optind - 1], "--") == 0;
      break;
    }
    options_end = optind;
    if (c == 'u') {
      a.mode = Mode::extract;
      a.archive_named = true;
      continue;
    }
    // Asked for, the usage and the version go to standard output.
    if (c == help_option || c == version_option) {
      if (c == help_option)
        print_help(a.mode, me, comment());
      else
        print_version(stdout);
      return 0;
    }
    if (c == arch_option) {
      if (a.mode == Mode::build && take_arch(optarg, program_file, o) != 0) return 1;
      continue;
    }
    int taken = take_option(c, optarg, a);
    if (taken < 0) return 1;
    if (taken == 0) {  // -h, -?, and what getopt refused
      if (c == '?') report_option_error(argv, element, me);
      print_usage(a.mode, me, comment());
      return 1;
    }
  }
  a.file_count = argc - optind;
  a.files = argv + optind;
  return -1;
}

int args_after_name(Options &options, int count, char **words) {
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

int args_check_build(const Arguments &args) {
  const Options &o = args.options;
  const char *me = o.program_name;
  if (o.zstd_memory && !o.zstd_level) {
    fprintf(stderr, "%s: --zstd-memory is the memory unpacking zstd frames needs: give --zstd too\n",
            me);
    return -1;
  }
  if (!o.zstd_level) return 0;
  if (feature_lookup(args.texts.features, "NOCOMPR")) {
    fprintf(stderr, "%s: --zstd compresses and -a stores the files raw: choose one\n", me);
    print_usage(Mode::build, me, "");
    return -1;
  }
  if (o.level) {
    fprintf(stderr, "%s: --level is the gzip level; give a zstd level as --zstd=LEVEL\n", me);
    return -1;
  }
  return 0;
}

}  // namespace kapsa
