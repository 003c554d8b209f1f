// Listing an archive: its preamble texts and one line of compression statistics.
#pragma once

#include "archive/preamble.h"
#include "base/options.h"

namespace kapsa {

// What a run of listings keeps from one to the next.
struct Listing {
  bool header_due = true;  // the column header is still to be printed
};

// Lists the archive a (opened) on standard output and closes it.  On
// failure it prints to standard error and sets options.exit_code to 1; a
// damaged header or trailer does not end the run.
void list_archive(Archive &a, Options &options, Listing &listing);

}  // namespace kapsa
