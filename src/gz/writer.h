// Writing one gzip member.
#pragma once

#include "gz/deflate.h"
#include "io/sink.h"

namespace kapsa {

// Compresses everything readable from in (named name: its last component
// is the stored name) into one gzip member on out, as settings say, for the
// messages of program.  Failures end the process.
void write_gzip_member(int in, const char *name, Sink &out, const DeflateSettings &settings,
                       const char *program);

}  // namespace kapsa
