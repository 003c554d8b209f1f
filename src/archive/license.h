// An archive's licence: text stored behind the preamble (feature item
// LICENSE=<bytes>), shown and accepted before anything is made or started.
#pragma once

#include <cstddef>

#include "archive/preamble.h"
#include "base/options.h"
#include "io/sink.h"

namespace kapsa {

// The longest licence: 1 MiB.
constexpr size_t license_max = size_t(1) << 20;

// Reads the licence file path for a build into *text (malloc'd, *size
// bytes): UTF-8 text of at most license_max bytes, without control
// characters other than newline and tab.  Returns 0, or -1 after one line
// naming the file.
int license_load(const char *path, char **text, size_t *size);

// Prints the licence of the archive a to out.  Returns 0, or -1 after
// saying why (a read error).
int license_print(const Archive &a, FILE *out);

// The gate of a run: when the archive a has a licence and --accept was not
// given, shows it (on a terminal through $PAGER when that is set, else
// printed; on standard error with -x, whose standard output is the data)
// and asks "Do you accept the licence? [y/N] ", going on only on "y" or
// "yes".  Without a terminal on standard input: "<archive>: this archive
// has a licence: read it with --license and pass --accept to accept it".
// Returns 0 to go on, -1 after saying why not.
int license_gate(const Archive &a, const Options &options);

}  // namespace kapsa
