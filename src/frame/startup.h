// Start-up: options, the choice between build and extract mode, the build.
#pragma once

#include <getopt.h>

#include <cstdio>

namespace kapsa {

enum class Mode { build, extract };

// Writes the version line and the usage of mode to out; in extract mode
// the archive's comment, and with options_too the eight option lines.
void print_usage(Mode mode, FILE *out = stderr, bool options_too = true);

// --help: the usage line of mode, then every option of that mode, grouped,
// a line each with a few words, the commonest command lines and where the
// manual is, on standard output.
void print_help(Mode mode);

// The option tables (getopt_long's), for the tests that hold --help to them.
extern const char startup_option_string[];
extern const struct option startup_long_options[];

// Runs one kapsa process from its command line and returns its exit status:
// 1 after -h, -?, an option error or a refused text; the listing's or the
// build's exit_code; 0 or 1 after an extraction.
int startup_main(int argc, char **argv);

}  // namespace kapsa
