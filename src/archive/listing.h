// Listing an archive: its preamble texts and one line of compression statistics.
#pragma once

#include "archive/preamble.h"

namespace kapsa {

// Lists the archive a on standard output and closes it.  On failure it
// prints to standard error and sets options.exit_code to 1; a damaged
// header or trailer does not end the run.
void list_archive(const Archive &a);

}  // namespace kapsa
