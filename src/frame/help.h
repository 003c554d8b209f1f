// The help texts: the short usage of either mode (-h, an option error) and
// --help's list of every option with a few words.
#pragma once

#include <cstdio>

namespace kapsa {

enum class Mode { build, extract };

// Writes the version line and the usage of mode to out, with program as
// the name; in extract mode the comment (escaped, its lines kept) and, with
// options_too, the eight option lines.
void print_usage(Mode mode, const char *program, const char *comment, FILE *out = stderr,
                 bool options_too = true);

// --help: the usage line of mode, then every option of that mode, grouped,
// a line each with a few words, the commonest command lines and where the
// manual is, on standard output.
void print_help(Mode mode, const char *program, const char *comment);

// The version line: "Version: <version>\n".
void print_version(FILE *out);

}  // namespace kapsa
