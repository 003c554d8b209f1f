// The member compressor: one DEFLATE stream made of chunks compressed in
// parallel.
//
// The input is read through read_for_compressor in chunks of a fixed size.
// Worker threads compress the chunks independently with libdeflate; each
// chunk but the last is then made non-final and byte-aligned (its last
// block's BFINAL bit cleared, an empty stored block appended), so that the
// chunks, written one after the other, form one valid DEFLATE stream that
// any inflater reads (without --level a chunk may itself be several streams
// joined that way).  The bytes depend only on the input, the level and the
// chunk size, never on the number of threads or on timing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kapsa {

// Levels: libdeflate's 1 to 12; 9 stands for the automatic choice.
constexpr int deflate_level_min = 1, deflate_level_max = 12, deflate_default_level = 9;
constexpr int deflate_threads_max = 256;
constexpr size_t deflate_chunk_size = size_t(4) << 20;
// At most this many chunks are in memory at once (each one chunk_size of
// input and its compressed form, about 8 MiB at the default chunk size: 128
// MiB at most), whatever --threads asks; two per worker while that fits.
constexpr size_t deflate_ring_max = 16;

// How a member is compressed; the build fills it from --level and
// --threads.
struct DeflateSettings {
  int level;          // libdeflate's scale: 1 fastest .. 12 smallest (--level)
  int threads;        // compressing threads (--threads), at most the processors; 0: all of them
  size_t chunk_size;  // input bytes per chunk; only tests change it, to get many chunks
  bool automatic;     // no --level: each block's level chosen from its bytes (see below)
};

// The automatic choice (level 9 for the record), the processors available
// and deflate_chunk_size.
constexpr DeflateSettings deflate_defaults = {deflate_default_level, 0, deflate_chunk_size, true};

// Without --level, each chunk is compressed the way that is never slower
// than gzip -9 on it:
//   - a chunk of one byte repeated joins a run of such chunks, written as
//     one stream of one block (gz/runs.h; libdeflate's many blocks would
//     cost more than gzip's on them);
//   - else each block of deflate_rule_block bytes gets the level
//     deflate_block_level says, libdeflate's 9 or its 6; consecutive blocks
//     of one level are compressed as one stream, and the streams of a chunk
//     are joined like the chunks.
// The choice depends on the chunk's bytes alone, and reads every block of
// it: no part of a chunk escapes it.
//
// Why two levels.  libdeflate's lazy parse (levels 5 to 9) takes no match
// shorter than a minimum that grows as fewer kinds of literals are in use:
// 5 bytes below 45 kinds, up to 9.  On numbers, dates, addresses and the
// like, a search that finds only shorter matches has walked its whole hash
// chain (600 entries at level 9) for nothing, and every literal costs such a
// search: level 9 then runs up to six times slower than gzip -9, which takes
// the short matches and moves on.  Its near-optimal levels (10 to 12) are no
// way out: slower than gzip -9 on ordinary data, and on some numbers too.
// Level 6 walks 35 entries at most and stays under half of gzip's time on
// such data; it is smaller than gzip -9 on numbers, and up to a sixth larger
// on words of a few letters in random order.  Where gzip's own chains are
// long (few symbols in random order), gzip is the slow one, its deep search
// pays in size, and level 9 is kept.
//
// deflate_block_level decides for the size bytes at data (at most
// deflate_rule_block) in two steps:
//   - the kinds of literals: the bytes that begin a 4-byte string new to
//     the block, a kind counting above 1/1024 of them (as libdeflate counts
//     its literals); 45 kinds or more: level 9;
//   - gzip's walk: gzip -9's lazy parse, with the latest earlier copy of
//     each 4-byte string as its candidate, counting for each search the
//     earlier copies of its 3-byte string in the block (the chain gzip
//     walks; at most 4096, 1024 after a match of 32 bytes or more).  Fewer
//     than 250 entries a byte: level 6, else level 9.  The count runs up to
//     2.7 times above gzip's real walk, which from there is still over 90
//     entries a byte: slower than level 9 on any such data measured.
// Below 512 bytes libdeflate takes any match: level 9.  counts and last are
// scratch tables of deflate_rule_slots entries each.
constexpr size_t deflate_rule_block = 32768;
constexpr size_t deflate_rule_slots = size_t(1) << 15;
int deflate_block_level(const unsigned char *data, size_t size, uint16_t *counts, uint16_t *last);

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
// from 1 to deflate_threads_max.
int deflate_available_processors();

// Compresses everything read_for_compressor delivers from the stream's input
// into one raw DEFLATE stream, as settings say, appended to out_buf through
// put_bytes.  An empty input gives an empty final block (03 00).  Failures
// end the process.
void deflate_input(const DeflateSettings &settings);

}  // namespace kapsa
