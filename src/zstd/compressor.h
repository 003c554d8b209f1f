// The zstd compressor of a build: the program kapsa-zstd (zstd/main.cpp),
// installed beside kapsa, started for each input; it reads the input
// itself and writes one frame into a pipe that the build drains into its
// sink, so that the archive's bytes all pass one place.
#pragma once

#include "io/sink.h"

namespace kapsa {

constexpr int zstd_level_default = 19;
constexpr int zstd_level_max = 22;

// Writes the input open on in_fd (named name; size bytes when it is not a
// regular file and size is not -1) as one zstd frame at level, with a
// window of 2^window_log bytes, to out through the compressor
// program at compressor.  The compressor ends with this process however it
// ends; when it fails or a signal ends it, that is said and it is waited
// for.  Returns 0, or -1 after a message (the compressor's own, or
// "<program>: <name>: zstd: the compressor ended by signal N", or why it
// could not run).
int compressor_write_frame(const char *compressor, int in_fd, const char *name, int level,
                           int window_log, long long size, Sink &out, const char *program);

}  // namespace kapsa
