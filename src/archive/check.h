// Testing an archive without extracting it: its payload decoded exactly as
// an extraction would, into nothing.
#pragma once

#include "archive/preamble.h"

namespace kapsa {

// Checks the payload of the archive a (its descriptor at the first payload
// byte): the sizes it claims, the gzip header (notes: say what it ignores),
// then the member decoded and its CRC-32 and length checked (of zstd, every
// frame and its checksum), nothing written.  Returns 1 when it is good, 0 for a raw payload (which
// carries no checksum), -1 when the sizes or the header were refused (after saying so; a refused
// header after "<archive>: unknown compression method").  Damaged data ends the process with the
// stream error an extraction would print.
int check_payload(const Archive &a, bool notes);

// Tests the archive a and closes it: prints "<name>: OK", or "<name>: OK
// (raw payload: not checked)", to standard output; on a failure the message
// an extraction would print, and options.exit_code becomes 1.
void check_archive(const Archive &a);

}  // namespace kapsa
