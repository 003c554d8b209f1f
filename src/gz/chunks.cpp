// Decoding a member's DEFLATE data on every processor: the cut at the
// markers, runs, the worker ring and the hand-over to the serial reader.
//
// The calling thread reads the data sequentially (read, as the serial reader
// does), cuts it into pieces at the markers, copies each piece into a slot
// of the ring and submits it; workers decode the submitted pieces in order of
// submission; the calling thread takes the pieces back in the same order and
// writes each one once it is decoded and confirmed.  Every piece is decoded
// as if it started at a block boundary: one that did not (a false marker)
// is never confirmed, because the piece before it does not end there, and
// then the serial reader goes on from the last confirmed boundary.
//
// Workers never report, end the process or touch the stream or the output:
// a piece they cannot decode is marked doubt.  The pool is stopped and
// joined before the serial reader takes over and on every way out.
#include "gz/chunks.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "gz/deflate.h"
#include "gz/reader.h"
#include "gz/runs.h"
#include "gz/stream.h"
#include "io/fdio.h"
#include "io/sync.h"

namespace kapsa {

namespace {

constexpr size_t window_size = 32768;  // DEFLATE's window: what the serial reader needs

// The bits of a piece from bit `at` on, lowest first, read as inflate reads
// them; past the end the bits are zero and `over` says so.
struct BitReader {
  const unsigned char *data;
  size_t size;
  uint64_t at;  // bit position

  // The next 57 bits or more (64 when the data holds them), lowest first.
  uint64_t peek() const {
    size_t byte = size_t(at >> 3);
    uint64_t word = 0;
    if (byte + 8 <= size) {
      memcpy(&word, data + byte, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      word = __builtin_bswap64(word);
#endif
    } else {
      for (size_t i = 0; byte + i < size && i < 8; i++) word |= uint64_t(data[byte + i]) << (8 * i);
    }
    return word >> (at & 7);
  }
  bool over() const { return at > uint64_t(size) * 8; }
};

// A Huffman code of n bits read at the reader's position: codes come first
// bit first, the most significant bit of the code.
uint32_t take_code(BitReader &r, int n) {
  uint64_t bits = r.peek();
  uint32_t code = 0;
  for (int i = 0; i < n; i++) code = code << 1 | uint32_t((bits >> i) & 1);
  r.at += uint64_t(n);
  return code;
}

uint32_t take_bits(BitReader &r, int n) {
  uint32_t value = uint32_t(r.peek() & ((uint64_t(1) << n) - 1));
  r.at += uint64_t(n);
  return value;
}

// Whether the size bytes at in begin with the block header of a run of
// one byte (either BFINAL); *byte gets the byte, *at the bit after the
// header.
bool run_header(const ChunksKeys &keys, const unsigned char *in, size_t size, unsigned char *byte,
                uint64_t *at) {
  // The first 71 bits are those of every run, but for BFINAL.
  const RunHeader &first = keys.runs[0];
  if (size < 16 || (in[0] | 1) != first.bytes[0] || memcmp(in + 1, first.bytes + 1, 7) != 0)
    return false;
  for (int b = 0; b < 256; b++) {
    const RunHeader &h = keys.runs[b];
    if (h.len + 1 > size || memcmp(in + 1, h.bytes + 1, h.len - 1) != 0) continue;
    uint64_t mask = (uint64_t(1) << h.bit_count) - 1;
    if ((in[h.len] & mask) != (h.bits & mask)) continue;
    *byte = (unsigned char)b;
    *at = uint64_t(h.len) * 8 + uint64_t(h.bit_count);
    return true;
  }
  return false;
}

// Walks a run (gz/runs.h) as inflate reads it: the byte as a literal first,
// then literals of it, matches at distance 1 and the end of the block, with
// the codes its header gives.  Fills *piece and returns true when the block
// decodes to the byte alone and then either is final or is followed by an
// empty stored block ending at the piece's last byte; false otherwise (the
// piece is then read as any other).
bool walk_run(const ChunksKeys &keys, const unsigned char *in, size_t size, Piece *piece) {
  unsigned char byte;
  uint64_t at;
  if (!run_header(keys, in, size, &byte, &at)) return false;
  BitReader r = {in, size, at};
  // The literal/length codes: 285 '0', the byte '10', 256 to 258 six bits
  // from 110000, 259 to 284 seven bits from 1100110; the one distance code
  // '0' (inflate refuses '1').
  if (take_code(r, 2) != 2) return false;  // a match first would reach before the piece
  uint64_t count = 1;
  for (;;) {
    uint64_t bits = r.peek();
    if (bits == 0 && uint64_t(size) * 8 >= r.at + 64) {  // 32 matches of 258
      count += 32 * 258;
      r.at += 64;
      continue;
    }
    if ((bits & 1) == 0) {  // 285: a match of 258
      r.at += 1;
      if (take_code(r, 1) != 0) return false;
      count += 258;
    } else if ((bits & 2) == 0) {  // the byte
      r.at += 2;
      count += 1;
    } else {
      uint32_t code = take_code(r, 6);
      int symbol;
      if (code >= 48 && code <= 50) {
        symbol = 256 + int(code - 48);
      } else {
        code = code << 1 | take_code(r, 1);
        if (code < 102) return false;
        symbol = 259 + int(code - 102);
      }
      if (symbol == 256) break;
      static constexpr uint16_t base[] = {3,  4,  5,  6,   7,   8,   9,   10, 11, 13,
                                          15, 17, 19, 23,  27,  31,  35,  43, 51, 59,
                                          67, 83, 99, 115, 131, 163, 195, 227};
      static constexpr uint8_t extra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                          2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
      int i = symbol - 257;
      uint32_t length = base[i] + take_bits(r, extra[i]);
      if (take_code(r, 1) != 0) return false;
      count += length;
    }
    if (r.over()) return false;
  }
  if (r.over()) return false;
  *piece = Piece{PieceEnd::run, 0, 0, count, byte, (in[0] & 1) != 0};
  if (piece->final) {
    piece->used = size_t((r.at + 7) >> 3);
    return true;
  }
  // An empty stored block, not final, its LEN and NLEN the piece's last bytes.
  if (take_bits(r, 3) != 0) return false;
  size_t len_at = size_t((r.at + 7) >> 3);
  return len_at + 4 == size && memcmp(in + len_at, "\x00\x00\xff\xff", 4) == 0;
}

}  // namespace

void chunks_prepare(ChunksKeys *keys) {
  for (int b = 0; b < 256; b++) {
    RunHeader &h = keys->runs[b];
    RunStream run;
    run_stream_begin(run, (unsigned char)b, h.bytes, sizeof h.bytes);
    h.len = run.len;
    h.bits = run.bits;
    h.bit_count = run.bit_count;
  }
}

Piece chunks_decode_piece(z_stream *zs, const ChunksKeys &keys, const unsigned char *in,
                          size_t size, unsigned char *out) {
  Piece piece = {PieceEnd::doubt, 0, 0, 0, 0, false};
  if (walk_run(keys, in, size, &piece)) return piece;
  piece = Piece{PieceEnd::doubt, 0, 0, 0, 0, false};
  if (inflateReset(zs) != Z_OK) return piece;
  zs->next_in = const_cast<unsigned char *>(in);
  zs->avail_in = uInt(size);
  zs->next_out = out;
  zs->avail_out = uInt(chunks_out_max + 1);
  for (;;) {
    int ret = inflate(zs, Z_BLOCK);
    if (ret == Z_STREAM_END) {  // the member's final block ends in the piece
      piece.end = PieceEnd::ended;
      piece.used = size - zs->avail_in;
      break;
    }
    if (ret != Z_OK) return piece;         // damaged, or a distance into the bytes before
    if (zs->avail_out == 0) return piece;  // longer than a chunk
    if (zs->avail_in > 0) continue;
    // All of it read: it must end at a block boundary, byte-aligned.
    if ((zs->data_type & 128) == 0 || (zs->data_type & 7) != 0) return piece;
    piece.end = (zs->data_type & 64) ? PieceEnd::ended : PieceEnd::joined;
    piece.used = size;
    break;
  }
  piece.out_len = chunks_out_max + 1 - zs->avail_out;
  return piece;
}

namespace {

// The data as read: the bytes from `at` on, cut into pieces at the markers.
struct Feed {
  int fd;
  unsigned char *buf;  // chunks_in_max bytes
  off_t at;            // file offset of buf[0]
  size_t len;          // bytes held
  size_t pos;          // where the next piece starts
  size_t scanned;      // bytes from pos on searched for a marker already
  uint64_t left;       // bytes of the payload not read yet
  bool end;            // the payload, or a failed read, ends at buf[len]
};

// Reads more behind what the feed holds, moving the unused bytes to the
// front first.  Returns false when nothing more can be read.
bool feed_more(Feed &f) {
  if (f.end) return false;
  if (f.pos > 0) {
    memmove(f.buf, f.buf + f.pos, f.len - f.pos);
    f.at += off_t(f.pos);
    f.len -= f.pos;
    f.pos = 0;
  }
  size_t want = chunks_in_max - f.len;
  if (want > f.left) want = size_t(f.left);
  size_t n = want ? fdio_read(f.fd, f.buf + f.len, want) : 0;
  f.len += n;
  f.left -= n;
  if (n < want || f.left == 0)
    f.end = true;  // the end, or a read that failed: the serial reader will see
  return n > 0;
}

// The next piece: from pos up to the first marker after it (a byte below
// 0x20, then 00 00 FF FF; the piece ends after them), else up to the end of
// the data.  Returns its length, 0 when no data is left; *whole is false
// when the piece is longer than a piece may be (it is then not decoded).
size_t feed_piece(Feed &f, bool *whole) {
  *whole = true;
  for (;;) {
    size_t from = f.pos + (f.scanned > 3 ? f.scanned : 3);
    while (from < f.len) {
      const void *hit = memchr(f.buf + from, 0xff, f.len - from);
      if (!hit) {
        from = f.len;
        break;
      }
      size_t q = size_t(static_cast<const unsigned char *>(hit) - f.buf);
      if (q + 1 >= f.len) {
        from = q;  // the next byte is still to come
        break;
      }
      if (f.buf[q + 1] == 0xff && f.buf[q - 1] == 0 && f.buf[q - 2] == 0 && f.buf[q - 3] < 0x20)
        return q + 2 - f.pos;
      from = q + 1;
    }
    f.scanned = (from < f.len ? from : f.len) - f.pos;
    if (f.len - f.pos >= chunks_in_max) {
      *whole = false;
      return f.len - f.pos;
    }
    if (!feed_more(f)) return f.len - f.pos;
  }
}

// One slot of the ring: a piece's bytes and what it decodes to.
struct Slot {
  unsigned char *in;   // chunks_in_max bytes
  unsigned char *out;  // chunks_out_max bytes and one, to see a piece longer than that
  off_t start;         // file offset of the piece
  size_t size;         // its bytes
  bool whole;          // not longer than a piece may be
  Piece piece;
  bool done;  // decoded; written under the pool's lock
};

struct Pool;

struct Worker {
  Pool *pool;
  z_stream zs;  // a raw inflater, once inflateInit2 has taken it
  pthread_t thread;
};

// The ring, the decompressors and the worker threads.  Pieces take the slots
// in turn; workers take the submitted ones in order.  Everything is released,
// the threads stopped and joined first, when the pool goes out of scope.
struct Pool {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t queued = PTHREAD_COND_INITIALIZER;    // a piece was submitted, or stopping
  pthread_cond_t finished = PTHREAD_COND_INITIALIZER;  // a piece was decoded
  const ChunksKeys *keys = nullptr;
  Slot *slots = nullptr;
  size_t slot_count = 0;
  Worker *workers = nullptr;
  int worker_count = 0;  // inflaters: workers[0]'s is the calling thread's without threads
  int running = 0;       // threads started: workers[0 .. running)
  uint64_t submitted = 0;
  uint64_t taken = 0;
  bool stopping = false;

  Pool() = default;
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;
  ~Pool() {
    sync_stop_workers(*this);
    for (int i = 0; workers && i < worker_count; i++) inflateEnd(&workers[i].zs);
    for (size_t i = 0; slots && i < slot_count; i++) {
      free(slots[i].in);
      free(slots[i].out);
    }
    free(slots);
    free(workers);
  }
};

void decode_slot(const Pool &pool, z_stream *zs, Slot &slot) {
  if (!slot.whole) {
    slot.piece = Piece{PieceEnd::doubt, 0, 0, 0, 0, false};
    return;
  }
  slot.piece = chunks_decode_piece(zs, *pool.keys, slot.in, slot.size, slot.out);
}

void *worker_main(void *arg) {
  Worker &self = *static_cast<Worker *>(arg);
  Pool &pool = *self.pool;
  sync_serve(pool, [&](uint64_t job) -> bool & {
    Slot &slot = pool.slots[job % pool.slot_count];
    decode_slot(pool, &self.zs, slot);
    return slot.done;
  });
  return nullptr;
}

// Allocates the ring (two slots more than the workers) and the inflaters,
// and starts the workers when there are two or more.  With less memory the
// pool makes do with fewer.  Returns false when not even one slot and one
// inflater can be had.
bool pool_start(Pool &pool, int threads) {
  size_t want = size_t(threads) + 2;
  pool.slots = static_cast<Slot *>(calloc(want, sizeof(Slot)));
  pool.workers = static_cast<Worker *>(calloc(size_t(threads), sizeof(Worker)));
  if (!pool.slots || !pool.workers) return false;
  while (pool.slot_count < want) {
    Slot &slot = pool.slots[pool.slot_count];
    slot.in = static_cast<unsigned char *>(malloc(chunks_in_max));
    slot.out = static_cast<unsigned char *>(malloc(chunks_out_max + 1));
    if (!slot.in || !slot.out) {
      free(slot.in);
      free(slot.out);
      slot = Slot{};
      break;
    }
    pool.slot_count++;
  }
  while (pool.worker_count < threads) {
    Worker &worker = pool.workers[pool.worker_count];
    worker.pool = &pool;
    if (inflateInit2(&worker.zs, -15) != Z_OK) break;
    pool.worker_count++;
  }
  if (pool.slot_count == 0 || pool.worker_count == 0) return false;
  if (pool.worker_count < 2 || pool.slot_count < 3) return true;  // the calling thread decodes
  // The workers leave the asynchronous signals to the calling thread.
  sigset_t old;
  fatal_block_signals(&old, false);
  while (pool.running < pool.worker_count &&
         pthread_create(&pool.workers[pool.running].thread, nullptr, worker_main,
                        &pool.workers[pool.running]) == 0)
    pool.running++;
  fatal_restore_signals(&old);
  return true;
}

void pool_submit(Pool &pool, Slot &slot) {
  if (pool.running == 0) return;
  sync_lock(&pool.mutex);
  slot.done = false;
  pool.submitted++;
  sync_broadcast(&pool.queued);
  sync_unlock(&pool.mutex);
}

// Waits until slot is decoded, or decodes it here without workers.
void pool_finish(Pool &pool, Slot &slot) {
  if (pool.running == 0) {
    decode_slot(pool, &pool.workers[0].zs, slot);
    return;
  }
  sync_lock(&pool.mutex);
  while (!slot.done) sync_wait(&pool.finished, &pool.mutex);
  sync_unlock(&pool.mutex);
}

// The last 32 KiB written, for the serial reader's window.
struct Window {
  unsigned char bytes[window_size];
  size_t len;
};

void window_add(Window &w, const unsigned char *data, size_t n) {
  if (n >= window_size) {
    memcpy(w.bytes, data + n - window_size, window_size);
    w.len = window_size;
    return;
  }
  size_t keep = w.len + n > window_size ? window_size - n : w.len;
  memmove(w.bytes, w.bytes + w.len - keep, keep);
  memcpy(w.bytes + keep, data, n);
  w.len = keep + n;
}

void window_add_run(Window &w, unsigned char byte, uint64_t n) {
  size_t fill = n < window_size ? size_t(n) : window_size;
  unsigned char run[window_size];
  memset(run, byte, fill);
  window_add(w, run, fill);
}

// Writes n bytes at data through out, counting input bytes of the payload
// for them.
void emit(Output &out, const unsigned char *data, size_t n, long long input) {
  while (n > 0) {
    size_t room;
    unsigned char *space = output_space(out, &room);
    size_t k = room < n ? room : n;
    memcpy(space, data, k);
    output_commit(out, k, input);
    input = 0;
    data += k;
    n -= k;
  }
  if (input) output_commit(out, 0, input);
}

void emit_run(Output &out, unsigned char byte, uint64_t n, long long input) {
  while (n > 0) {
    size_t room;
    unsigned char *space = output_space(out, &room);
    size_t k = room < n ? room : size_t(n);
    memset(space, byte, k);
    output_commit(out, k, input);
    input = 0;
    n -= k;
  }
  if (input) output_commit(out, 0, input);
}

// Puts the stream's input at offset `at` of the file, with `end` the end of
// the payload and `base` the offset the stream's count starts from, for the
// serial reader or the trailer.
void stream_seek(off_t at, off_t end, off_t base) {
  if (lseek(stream.in_fd, at, SEEK_SET) != at) {
    // The file was seekable a moment ago: nothing the serial reader can
    // make good.
    stream_fatal_read();
  }
  stream.in_pos = stream.in_len = 0;
  stream.in_left = uint64_t(end - at);
  stream.in_total = uint32_t(at - base);
}

}  // namespace

void chunks_inflate(Output &out, int threads) {
  // Where the data starts: behind what the header reader took of in_buf.
  off_t read_to = lseek(stream.in_fd, 0, SEEK_CUR);
  if (read_to < 0 || stream.in_left > (uint64_t(1) << 62)) {
    inflate_member(out, nullptr, 0);
    return;
  }
  size_t held = stream.in_len - stream.in_pos;
  off_t start = read_to - off_t(held);
  off_t end = read_to + off_t(stream.in_left);
  off_t base = start - off_t(stream_consumed());  // where the stream began counting
  if (threads <= 0) threads = deflate_available_processors();
  // The ring holds two pieces more than the workers: no more than the
  // compressor's ring, 16 chunks, whatever the processors.
  if (size_t(threads) + 2 > deflate_ring_max) threads = int(deflate_ring_max) - 2;
  // Nothing to gain from the pieces' copies on one processor, nor from a
  // ring of chunks for data that a glance reads (a run of 16 KiB stands for
  // some 17 MB: zlib reads it in a few hundredths of a second).
  if (threads < 2 || uint64_t(held) + stream.in_left < chunks_parallel_min) {
    inflate_member(out, nullptr, 0);
    return;
  }

  struct Resources {
    ChunksKeys *keys = static_cast<ChunksKeys *>(malloc(sizeof(ChunksKeys)));
    Window *window = static_cast<Window *>(malloc(sizeof(Window)));
    unsigned char *feed = static_cast<unsigned char *>(malloc(chunks_in_max));
    ~Resources() {
      free(keys);
      free(window);
      free(feed);
    }
  } r;
  off_t resume = start;  // the last confirmed boundary
  bool ended = false;
  {
    Pool pool;
    if (r.keys && r.window && r.feed && pool_start(pool, threads)) {
      chunks_prepare(r.keys);
      pool.keys = r.keys;
      r.window->len = 0;
      Feed f = {stream.in_fd, r.feed, start, held, 0, 0, stream.in_left, stream.in_left == 0};
      memcpy(f.buf, stream.in_buf + stream.in_pos, held);
      uint64_t read = 0, written = 0;
      bool fed = false;  // no piece is left to cut
      for (;;) {
        while (!fed && read - written < pool.slot_count) {
          Slot &slot = pool.slots[read % pool.slot_count];
          size_t size = feed_piece(f, &slot.whole);
          if (size == 0) {
            fed = true;
            break;
          }
          slot.start = f.at + off_t(f.pos);
          slot.size = size;
          memcpy(slot.in, f.buf + f.pos, size);
          f.pos += size;
          f.scanned = 0;
          if (!slot.whole) fed = true;  // nothing after it can be confirmed
          pool_submit(pool, slot);
          read++;
        }
        if (written == read) break;  // the data ended without a final block
        Slot &slot = pool.slots[written % pool.slot_count];
        pool_finish(pool, slot);
        const Piece &piece = slot.piece;
        if (piece.end == PieceEnd::doubt) break;
        bool last = piece.end == PieceEnd::ended || (piece.end == PieceEnd::run && piece.final);
        long long input = last ? (long long)piece.used : (long long)slot.size;
        // The serial reader reads a byte past the final block before it
        // sees the end of the data: with none there, it stops for the cut.
        if (last && f.end && slot.start + off_t(input) == f.at + off_t(f.len)) break;
        if (piece.end == PieceEnd::run) {
          emit_run(out, piece.byte, piece.count, input);
          window_add_run(*r.window, piece.byte, piece.count);
        } else {
          emit(out, slot.out, piece.out_len, input);
          window_add(*r.window, slot.out, piece.out_len);
        }
        resume = slot.start + off_t(input);
        written++;
        if (last) {
          ended = true;
          break;
        }
      }
    }
  }  // the workers are stopped here
  stream_seek(resume, end, base);
  if (ended) {
    output_end(out);
    return;
  }
  if (resume == start) {
    inflate_member(out, nullptr, 0);
  } else {
    inflate_member(out, r.window->bytes, r.window->len);
  }
}

}  // namespace kapsa
