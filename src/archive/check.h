// Testing an archive without extracting it: its payload decoded exactly as
// an extraction would, into nothing.
#pragma once

#include <cstdint>

#include "archive/preamble.h"
#include "base/options.h"

namespace kapsa {

// Checks the payload of the archive a (its descriptor at the first payload
// byte): the sizes it claims, its header (notes: say what it ignores), its
// member count, then the data decoded and its CRC-32 and length checked (of
// zstd, every frame and its checksum), nothing written.  *memory_mib, when
// given, receives the MiB of memory that unpacking zstd frames needs (0 for
// the other kinds).  Returns 1 when it is good, 0 for a raw payload (which
// carries no checksum), -1 when the sizes, the header or the member count
// were refused, or the memory that decoding needs cannot be had (after
// saying so; a refused header after "<archive>: unknown compression
// method").  Damaged data ends the process with the stream error an
// extraction would print.
int check_payload(Archive &a, const Options &options, bool notes, uint64_t *memory_mib = nullptr);

// Tests the archive a and closes it: prints "<name>: OK", "<name>: OK
// (unpacking needs N MiB of memory)" for zstd frames, or "<name>: OK (raw
// payload: not checked)", to standard output; on a failure the message an
// extraction would print, and options.exit_code becomes 1.
void check_archive(Archive &a, Options &options);

}  // namespace kapsa
