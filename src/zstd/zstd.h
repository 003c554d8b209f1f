// zstd payloads (feature item ZSTD): zstd frames, one per window of each
// input file (128 MiB, less when the build caps an extraction's memory),
// one after the other, each with its content size and its content
// checksum (XXH64).  Decoded in the extractor with Debian's static libzstd,
// all frames one after the other as one stream, with a window of at most
// 2^27 bytes: a frame asking for more is refused, not allocated.
//
// A frame, as walked here to measure a payload without decoding it:
//   magic FD 2F B5 28, frame header (2 to 14 bytes), blocks (3-byte header:
//   last-block bit, type raw/RLE/compressed, size), checksum (4) when the
//   header says so.  Skippable frames (magic 184D2A5?, 4-byte size) are
//   stepped over.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "io/output.h"

namespace kapsa {

// The largest window a frame may ask for: 128 MiB of memory at most.
constexpr int zstd_window_log_max = 27;
// The smallest window a build may cap the frames at (libzstd's least).
constexpr int zstd_window_log_min = 10;

// What a zstd payload holds, measured from its frame and block headers.
struct ZstdSizes {
  uint64_t content;  // the sum of the frames' content sizes (those that give one)
  int frames;        // frames found
  bool unknown;      // a frame gives no content size
  bool whole;        // the frames end exactly at the end of the file
  uint64_t window;   // the largest window a frame asks for, in bytes
};

// Bytes of memory an extraction needs to decode frames whose largest window
// is window bytes: libzstd's decoder with that window, the output path's
// regions and the program itself.
uint64_t zstd_memory_needed(uint64_t window);

// The same in whole MiB, rounded up, as messages and listings show it.
uint64_t zstd_memory_mib(uint64_t window);

// The window log of frames whose extraction needs at most cap_mib MiB: the
// largest from zstd_window_log_min to zstd_window_log_max that fits, or 0
// when not even the smallest does.
int zstd_window_log_for(uint64_t cap_mib);

// Says "<archive>: not enough memory to unpack: this archive needs N MiB"
// on standard error.
void zstd_report_memory(const char *archive, uint64_t window);

// Walks the frames of the payload from offset start of fd up to offset end,
// without moving the file position.  Returns 0 with *sizes
// filled (whole false when the payload is cut or holds something that is no
// frame: decoding it will say what), -1 when fd cannot be read.
int zstd_measure(int fd, off_t start, off_t end, ZstdSizes *sizes);

// Decodes every frame read from in_fd (named name in the messages of
// program), at most in_left bytes of it, into out, which it ends.  Memory refused to the decoder ends the process
// with zstd_report_memory's message for window (the largest window, as
// measured).  A damaged frame, a checksum mismatch, a window
// too large or anything after the last frame ends the process with
// "<archive>: damaged payload: <libzstd's reason>"; input that ends inside a
// frame, or holds none, with "unexpected end of file".  Whole windows
// decoded before the fault are written first.
void zstd_decode(int in_fd, uint64_t in_left, const char *program, const char *name, Output &out,
                 uint64_t window);

}  // namespace kapsa
