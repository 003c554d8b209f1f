// Listing an archive: its preamble texts and one line of compression statistics.
#pragma once

namespace kapsa {

// Lists the archive that name stands for (as_named: as open_archive takes
// it) on standard output.  On failure it
// prints to standard error and sets options.exit_code to 1.
void list_archive(const char *name, bool as_named);

}  // namespace kapsa
