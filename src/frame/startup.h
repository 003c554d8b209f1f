// Start-up: the choice of the one job a process does, and its exit status.
#pragma once

namespace kapsa {

// Runs one kapsa process from its command line and returns its exit status:
// 1 after -h, -?, an option error or a refused text; the listing's or the
// build's exit_code; 0 or 1 after an extraction.
int startup_main(int argc, char **argv);

}  // namespace kapsa
