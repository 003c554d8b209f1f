// The command line: options read in order into the run record, each seeing
// the mode in force when it is read (-u switches to extract mode), then the
// file arguments.
#pragma once

#include <getopt.h>

#include "archive/preamble.h"
#include "base/options.h"
#include "frame/help.h"

namespace kapsa {

// What the command line said.
struct Arguments {
  Options options;          // the run settings
  Mode mode;                // the mode in force after the options
  bool archive_named;       // -u: the archive is the first file argument
  bool ended_by_dashes;     // a "--" ended the options
  Preamble texts;           // -C, -r and -f, and the build's items of -a, -V and -S
  bool comment_given;       // -C was given
  char **files;             // the file arguments
  int file_count;
};

// The option tables (getopt_long's), for the tests that hold --help to them.
extern const char args_option_string[];
extern const struct option args_long_options[];

// Reads the command line into *args, the start-up's probe having found
// mode; probed is the running archive's preamble (null when there is none),
// whose comment the usage shows; program_file is the running program's own
// file (for --arch).  Returns -1 when the job is to run; otherwise the exit
// status: 0 after --help and --version (printed), 1 after -h, -?, an option
// error or a refused argument (said).
int args_parse(int argc, char **argv, Mode mode, const Preamble *probed, const char *program_file,
               Arguments *args);

// With -u, the words after the archive's name: what follows a "--" becomes
// the post-install command's arguments; other words are ignored, but an
// option among them is refused (it would be dropped, and an -n dropped runs
// a post-install command the user asked not to run).  Returns 0, or -1
// after saying why.
int args_after_name(Options &options, int count, char **words);

// The build options that do not go together: --zstd with -a (raw) or with
// --level (gzip's), --zstd-memory without --zstd.  Returns 0, or -1 after
// saying so.
int args_check_build(const Arguments &args);

}  // namespace kapsa
