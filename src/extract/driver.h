// One extraction run, from the preamble to the post-install command.
//
//   1. find the preamble again in the archive
//   2. raw payload (NOCOMPR, named by NAME=) or a gzip member (stored name)
//   3. with VFYFS= (and without -x): make room for the data
//   4. start the extract command (default: cat > %p/%o), or use stdout (-x)
//   5. decompress or copy the payload into it
//   6. wait for the extract command and check that it succeeded
//   7. unless -n or -x: export the feature list and run the post-install
//      command, asking first with -v
//   8. remove the temporary link of step 3
//
// A fatal error or a signal on the way ends the run through the cleanup of
// base/fatal, which does steps 6 and 8 (without the check) before the
// process ends.
#pragma once

#include "archive/preamble.h"
#include "base/options.h"

namespace kapsa {

// Extracts the archive a (opened, at its first payload byte) as options
// say, and closes it.  Returns 0 on success; -1
// for a failure it reported; 1 when a raw payload held no data; otherwise the status that system()
// gave for the post-install command.
int extract_archive(Archive &a, Options &options);

}  // namespace kapsa
