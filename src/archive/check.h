// Testing an archive without extracting it: its payload decompressed exactly
// as an extraction would, into nothing.
#pragma once

namespace kapsa {

// Checks the payload behind the preamble of the archive open on fd (at its
// first payload byte): the gzip header, then the member decompressed and its
// CRC-32 and length checked, nothing written.  Returns 1 when it is good, 0
// for a raw payload (which carries no checksum), -1 when the header was
// refused (after "<archive>: unknown compression method") or the SIZE= item
// does not match the trailer (after saying so).  Damaged data
// ends the process with the stream error an extraction would print.
int check_payload(int fd, const char *archive);

// Tests the archive that name stands for (as_named: as open_archive takes
// it): prints "<name>: OK", or
// "<name>: OK (raw payload: not checked)", to standard output; on a failure
// the message an extraction would print, and options.exit_code becomes 1.
void check_archive(const char *name, bool as_named);

}  // namespace kapsa
