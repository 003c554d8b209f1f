// Decoding a member's DEFLATE data on every processor, piece by piece.
//
// The member compressor (gz/deflate.h) writes independent DEFLATE streams
// one after the other, each made non-final and ended by an empty stored
// block: its three header bits (all zero) and zero padding in the byte
// before, then LEN and NLEN, 00 00 FF FF, at a byte boundary.  No stream
// refers to the bytes of another, so each can be decoded on its own.  The
// decoder cuts the data at every such marker (a byte below 0x20, then 00 00
// FF FF) into pieces, decodes the pieces on worker threads, and writes them
// in order through the one output path.  A piece counts only once
// everything before it has been written and the piece before it has been
// seen to end exactly at its start, after a non-final block: the marker
// itself confirms nothing.
//
// Each piece is inflated by zlib, the serial reader's own inflater, from
// its first byte with an empty window, and must end at a block boundary at
// its last byte (Z_BLOCK tells).  A piece that refers to no byte before it
// (zlib refuses a distance beyond what it has written) then decodes exactly
// as the serial reader, with those bytes in its window, decodes it: the
// same bytes, and the same refusals.  libdeflate would be twice as fast,
// but it takes streams that zlib refuses (a distance code of one codeword
// read with its other bit: one flipped bit of a build's data), and the
// serial reader's messages must stay what they are.
//
// A run of one byte (gz/runs.h), a few kilobytes for hundreds of megabytes,
// is recognised by its exact block header and walked, code by code, the way
// zlib reads it, without being decoded: it is written as that byte, at the
// speed of memory.
//
// Any doubt hands the rest to the serial reader (gz/reader.h) at the last
// confirmed boundary, with the output's last 32 KiB as its window: a piece
// that does not end at its marker, one that zlib refuses (a damaged piece,
// the end of a cut archive, a foreign stream whose blocks refer across the
// markers), one longer than a chunk.  What is written and what is said are
// then the serial reader's own, byte for byte.  With one processor the
// serial reader does it all, as it always has.
//
// Memory: a ring of pieces (two more than the workers, 16 at most), each up
// to a chunk of output and its compressed bytes, and a read buffer of the
// same size; the ring's buffers are used again piece after piece.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "gz/deflate.h"
#include "io/output.h"

namespace kapsa {

// The longest piece decoded in parallel: the compressor's chunk, and its
// compressed bytes with room for incompressible data's stored blocks.
constexpr size_t chunks_out_max = deflate_chunk_size;
constexpr size_t chunks_in_max = chunks_out_max + (size_t(64) << 10);

// Members with fewer bytes of data than this are read by the serial reader
// alone.
constexpr uint64_t chunks_parallel_min = uint64_t(16) << 10;

// Decodes the DEFLATE data of the member whose header the stream has just
// read (gz/reader.h: read_member_header), from the stream's input, into
// out, which it ends, with threads workers (0: one a processor; with one,
// the serial reader reads it all; when no thread starts, the calling thread
// decodes the pieces itself).  The stream is left at the byte after the data, for the trailer.
// Damaged data, an early end and a failed read are the serial reader's to
// report: it takes over where this decoder has a doubt (or at once, when the
// input cannot be seeked), and ends the process as it does.
void chunks_inflate(Output &out, int threads);

// What one piece decodes to, for chunks_decode_piece.
enum class PieceEnd {
  joined,  // it ends after a non-final block at its last byte; the data goes on
  ended,   // the member's final block ends in it, after `used` bytes
  run,     // a run: `count` bytes of `byte`, joined or ended as `final` says
  doubt,   // not decoded: the serial reader must read it
};

struct Piece {
  PieceEnd end;
  size_t out_len;      // bytes decoded into out (joined, ended)
  size_t used;         // ended, and a final run: the piece's bytes up to the final block's end
  uint64_t count;      // run: its length
  unsigned char byte;  // run: its byte
  bool final;          // run: its block is the member's final one
};

// The block header of a run of one byte, as gz/runs.h writes it: whole
// bytes, then bit_count bits more.
struct RunHeader {
  unsigned char bytes[48];
  size_t len;
  uint64_t bits;
  int bit_count;
};

// What every piece of one decode is read against: the run headers of the
// 256 bytes.
struct ChunksKeys {
  RunHeader runs[256];
};

void chunks_prepare(ChunksKeys *keys);

// Decodes the piece of size bytes at in into out (chunks_out_max bytes and
// one more)
// with zs, a raw inflater (inflateInit2 with -15 bits), which it resets
// first.  Thread-safe for distinct pieces and inflaters.
Piece chunks_decode_piece(z_stream *zs, const ChunksKeys &keys, const unsigned char *in,
                          size_t size, unsigned char *out);

}  // namespace kapsa
