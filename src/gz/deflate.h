// The member compressor: one DEFLATE stream made of chunks compressed in
// parallel.
//
// The input is read through read_for_compressor in chunks of a fixed size.
// Worker threads compress the chunks independently with libdeflate; each
// chunk but the last is then made non-final and byte-aligned (its last
// block's BFINAL bit cleared, an empty stored block appended), so that the
// chunks, written one after the other, form one valid DEFLATE stream that
// any inflater reads.  The bytes depend only on the input, the level and the
// chunk size, never on the number of threads or on timing.
#pragma once

#include <cstddef>

namespace kapsa {

constexpr int compress_level_min = 1;
constexpr int compress_level_max = 12;
constexpr int compress_default_level = 9;
constexpr int compress_threads_max = 256;
constexpr size_t compress_chunk_size = size_t(4) << 20;
// At most this many chunks are in memory at once (each one chunk_size of
// input and its compressed form, about 8 MiB at the default chunk size: 128
// MiB at most), whatever --threads asks; two per worker while that fits.
constexpr size_t compress_ring_max = 16;

struct CompressSettings {
  int level;          // libdeflate's scale: 1 fastest .. 12 smallest (--level)
  int threads;        // compressing threads (--threads), at most the processors; 0: all of them
  size_t chunk_size;  // input bytes per chunk; only tests change it, to get many chunks
};

// Read by every member the process writes; a build sets it from --level and
// --threads.  Starts as the default level, the processors available and
// compress_chunk_size.
extern CompressSettings compress_settings;

// Where a complete DEFLATE stream ends: the BFINAL bit of its last block
// and the padding after that block's end.
struct DeflateEnd {
  size_t final_byte;  // byte holding the last block's BFINAL bit
  int final_bit;      // that bit's place in the byte, 0 = least significant
  int unused_bits;    // padding bits at the top of the stream's last byte, 0 to 7
};

// Walks the complete DEFLATE stream of size bytes at data block by block
// (zlib's inflate with Z_BLOCK) and fills *end.  Returns 0, or -1 when the
// data is not one complete stream with nothing after it.
int deflate_find_end(const unsigned char *data, size_t size, DeflateEnd *end);

// Makes the stream of size bytes at data, which ends as *end says,
// non-final and byte-aligned: clears the BFINAL bit and appends an empty
// stored block (00 00 FF FF, after a zero byte when fewer than three
// padding bits are left).  data must have room for 5 more bytes.  Returns
// the new size; another stream may then follow directly.
size_t deflate_splice(unsigned char *data, size_t size, const DeflateEnd &end);

// The processors this process may run on (sched_getaffinity, else sysconf),
// from 1 to compress_threads_max.
int compress_available_processors();

// Compresses everything read_for_compressor delivers from options.archive_fd
// into one raw DEFLATE stream, appended to out_buf through put_bytes.  An
// empty input gives an empty final block (03 00).  Failures end the process.
void compress_input();

}  // namespace kapsa
