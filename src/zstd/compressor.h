// The zstd compressor of a build: the program kapsa-zstd (zstd/main.cpp),
// installed beside kapsa, started for each frame; it reads its part of the
// input itself (or from a pipe that the build feeds) and writes one frame
// into a pipe that the build drains into its sink, so that the archive's
// bytes all pass one place.
//
// An input whose size is known is cut into frames of the window's size
// (2^window_log bytes, the last frame the rest), compressed by several
// compressors at once: the cut depends on the size alone, so the archive's
// bytes are the same at any number of threads, and each frame's window is
// its whole content, so that only matches across the cuts are lost.  An
// input of unknown size (a pipe) is one frame, compressed as it comes.
#pragma once

#include "io/sink.h"

namespace kapsa {

constexpr int zstd_level_default = 19;
constexpr int zstd_level_max = 22;

// The frames an input becomes: in_fd open on it, size its bytes when it is
// not a regular file (-1: unknown); a regular file's size is the rest of it
// from the file position on.  One per window of 2^window_log bytes, the last
// one the rest; one for an empty input or one of unknown size.
long long compressor_frames(int in_fd, long long size, int window_log);

// Writes the input open on in_fd (named name; size as for
// compressor_frames) as its frames at level, each with a window of
// 2^window_log bytes, to out through the compressor program at compressor,
// up to threads compressors at once (0: one a processor).  The compressors
// end with this process however it ends; when one fails or a signal ends
// it, that is said, and all are waited for.  Returns 0, or -1 after a message
// (a compressor's own, "<program>: <name>: zstd: the compressor ended by
// signal N", "<name>: changed size while it was read", or why one could
// not run).
int compressor_write_frames(const char *compressor, int in_fd, const char *name, int level,
                            int window_log, long long size, int threads, Sink &out,
                            const char *program);

}  // namespace kapsa
