// The build: an archive from the extractor image, the preamble and the
// input files, written through one sink.
#pragma once

#include "archive/preamble.h"
#include "base/options.h"
#include "io/sink.h"

namespace kapsa {

// Builds an archive of the file_count files into out: the NAME item for the
// first file (and SIZE= and MEMBERS= where the payload kind records them)
// added to texts.features, the extractor image and the preamble texts, then
// each file as one member or frame of the payload kind the feature list
// says (payload/payload.h).  Every input is opened before anything is
// written; one that cannot be is reported and left out.  Returns the exit
// status: options.exit_code (1 when an input was left out), or 1 when the
// build could not be made.
int build_archive(Options &options, Preamble &texts, int file_count, char **files, Sink &out);

}  // namespace kapsa
