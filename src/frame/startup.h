// Start-up: options, the choice between build and extract mode, the build.
#pragma once

#include <cstdio>

namespace kapsa {

enum class Mode { build, extract };

// Writes the version line and the usage of mode to out.
void print_usage(Mode mode, FILE *out = stderr);

// Runs one kapsa process from its command line and returns its exit status:
// 1 after -h, -?, an option error or a refused text; the listing's or the
// build's exit_code; 0 or 1 after an extraction.
int startup_main(int argc, char **argv);

}  // namespace kapsa
