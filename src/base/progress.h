// The progress line of a long transfer on a terminal.
//
// While a transfer runs (an extraction's payload, a check, a build's inputs)
// and standard error is a terminal, a transfer that has been running for more
// than a second shows one line there, redrawn in place at most ten times a
// second: the share of the bytes done, the speed and the time left.  The line
// is erased before any other message is printed and when the transfer ends,
// so that the terminal ends up showing what it would have shown without it.
// Nothing is written when standard error is not a terminal, or when the
// transfer is quiet (--quiet).
#pragma once

namespace kapsa {

// Starts a transfer of total bytes (0 when unknown), done of them already;
// shown on a terminal unless quiet.
void progress_begin(long long total, long long done, bool quiet);

// Counts bytes more as done, and redraws the line when it is time.
void progress_advance(long long bytes);

// Erases the line, if it is shown, so that a message can be printed; the
// transfer goes on and the line comes back at the next redraw.
// Async-signal-safe.
void progress_erase();

// Erases the line and ends the transfer.  Async-signal-safe.
void progress_end();

}  // namespace kapsa
