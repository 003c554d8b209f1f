// The member compressor: chunk reading, the worker pool and the splice.
//
// The calling thread reads the chunks (through read_for_compressor, which
// keeps the CRC and the byte count), hands them to the workers in order and
// writes the compressed chunks in the same order, each as soon as it and
// every chunk before it are done.  A ring of two chunks per worker bounds
// the memory whatever the size of the input: a chunk's buffers are used
// again once it has been written.  Whether a chunk is the last one is known
// only when the next read finds the end of the input, so the workers keep
// every chunk's final block and the calling thread splices all but the last
// one as it writes them.
//
// Workers never end the process or touch the stream buffers: a chunk that
// cannot be compressed is marked failed and reported by the calling thread.
// With one thread, or when no worker thread can be started, the calling
// thread compresses each chunk itself, which gives the same bytes.
#include "gz/deflate.h"

#include <libdeflate.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "gz/reader.h"
#include "gz/runs.h"
#include "gz/stream.h"
#include "io/sync.h"

namespace kapsa {


namespace {

// Room after a compressed chunk for the splice's zero byte and empty stored block.
constexpr size_t splice_room = 5;

// The blocks of the automatic choice in a chunk of chunk_size bytes.
size_t rule_blocks(size_t chunk_size) {
  return (chunk_size + deflate_rule_block - 1) / deflate_rule_block;
}

}  // namespace

int deflate_find_end(const unsigned char *data, size_t size, DeflateEnd *end) {
  if (size > UINT32_MAX) return -1;
  z_stream zs = {};
  if (inflateInit2(&zs, -15) != Z_OK) return -1;
  InflateGuard guard{&zs};
  unsigned char sink[32768];
  zs.next_in = const_cast<unsigned char *>(data);
  zs.avail_in = uInt(size);
  // The first block starts at the first bit.
  DeflateEnd at = {0, 0, 0};
  for (;;) {
    zs.next_out = sink;
    zs.avail_out = sizeof sink;
    int ret = inflate(&zs, Z_BLOCK);
    if (ret != Z_OK) return -1;  // the final block ends inflate at its boundary below
    if (!(zs.data_type & 128)) continue;
    // At a block boundary: data_type's low bits count the bits of the last
    // byte taken that are not used yet, and 64 says the block that just
    // ended was the final one.
    int unused = zs.data_type & 7;
    if (zs.data_type & 64) {
      if (zs.avail_in != 0) return -1;
      at.unused_bits = unused;
      *end = at;
      return 0;
    }
    size_t next = size - zs.avail_in;
    at.final_byte = unused ? next - 1 : next;
    at.final_bit = unused ? 8 - unused : 0;
  }
}

size_t deflate_splice(unsigned char *data, size_t size, const DeflateEnd &end) {
  data[end.final_byte] = static_cast<unsigned char>(data[end.final_byte] & ~(1u << end.final_bit));
  int unused = end.unused_bits;
  // The stored block's three header bits, all zero, go into the padding;
  // a byte of its own when the padding is shorter.  The rest of that byte
  // aligns the block's LEN and NLEN.
  if (unused > 0) data[size - 1] = static_cast<unsigned char>(data[size - 1] & (0xffu >> unused));
  if (unused < 3) data[size++] = 0;
  static const unsigned char empty_stored[4] = {0x00, 0x00, 0xff, 0xff};
  for (unsigned char c : empty_stored) data[size++] = c;
  return size;
}

namespace {

// The bytes at p as a little-endian number of type T, so that the choice of
// levels, and with it the archive, is the same on every host (compilers
// make one load of the loop).
template <typename T>
T load_le(const unsigned char *p) {
  T v = 0;
  for (size_t i = 0; i < sizeof v; i++) v |= T(p[i]) << (8 * i);
  return v;
}

// How many bytes, up to limit, the strings at a and b have in common; both
// may be read 8 bytes at a time up to limit rounded up to 8.
unsigned common_length(const unsigned char *a, const unsigned char *b, unsigned limit) {
  unsigned length = 0;
  while (length < limit) {
    uint64_t differ = load_le<uint64_t>(a + length) ^ load_le<uint64_t>(b + length);
    if (differ != 0) {
      length += unsigned(__builtin_ctzll(differ)) / 8;
      break;
    }
    length += 8;
  }
  return length < limit ? length : limit;
}

}  // namespace

int deflate_block_level(const unsigned char *data, size_t size, uint16_t *counts, uint16_t *last) {
  // libdeflate's thresholds: any match below 512 bytes; a minimum of 5 bytes
  // or more below 45 kinds of literals in use.  gzip -9's: a match of 258
  // bytes ends the search; a chain walks 4096 entries, a quarter after a
  // match of 32 bytes.
  constexpr size_t any_match_below = 512;
  constexpr unsigned few_literals = 45, longest = 258, good = 32;
  constexpr uint64_t walk_limit = 250;  // entries a byte
  if (size < any_match_below) return 9;

  // The literals: the bytes that begin a 4-byte string new to the block
  // (the first 4096 words of counts, 16 bits each, mark the strings seen).
  // A kind is in use above 1/1024 of them.  Every 4 KiB, the kinds already
  // above 1/1024 of the most there can be at the end are counted: enough of
  // them settle it.
  constexpr uint32_t seen_bits = uint32_t(1) << 16;
  static_assert(seen_bits / 16 <= deflate_rule_slots, "the marks fit in counts");
  memset(counts, 0, seen_bits / 16 * sizeof *counts);
  uint32_t fresh[4][256] = {};  // four tables: no store waits for the one before
  uint32_t fresh_count = 0;
  auto kinds_above = [&fresh](uint32_t cutoff) {
    unsigned kinds = 0;
    for (int b = 0; b < 256; b++)
      kinds += fresh[0][b] + fresh[1][b] + fresh[2][b] + fresh[3][b] > cutoff;
    return kinds;
  };
  constexpr size_t stretch = 4096;
  for (size_t begin = 0; begin + 4 <= size; begin += stretch) {
    size_t end = begin + stretch < size - 3 ? begin + stretch : size - 3;
    for (size_t i = begin; i < end; i++) {
      uint32_t slot = (load_le<uint32_t>(data + i) * 0x9E3779B1u) >> 16;
      unsigned bits = counts[slot >> 4], bit = 1u << (slot & 15);
      uint32_t is_new = (bits & bit) == 0;
      counts[slot >> 4] = uint16_t(bits | bit);
      fresh[i & 3][data[i]] += is_new;
      fresh_count += is_new;
    }
    if (end < size - 3 && kinds_above(uint32_t((fresh_count + size - end) >> 10)) >= few_literals)
      return 9;
  }
  if (kinds_above(fresh_count >> 10) >= few_literals) return 9;

  // gzip's walk.  counts: the earlier copies of each 3-byte string in the
  // block (gzip's chains are of 3-byte strings); last: where the latest copy
  // of each 4-byte string is, plus 1 (0: none).  A match is the latest copy
  // of its 4-byte string as far as it goes, or 3 bytes when only the 3-byte
  // string was seen.
  memset(counts, 0, deflate_rule_slots * sizeof *counts);
  memset(last, 0, deflate_rule_slots * sizeof *last);
  uint64_t walk = 0;
  size_t next = 0;       // the first position no match taken covers
  bool open = false;     // the position before was searched and is undecided
  unsigned pending = 0;  // then: the length of its match, 0 for none
  // The last 8 bytes begin no search: matches are compared 8 bytes at a time.
  for (size_t i = 0; i + 8 <= size; i++) {
    uint32_t word = load_le<uint32_t>(data + i);
    uint32_t slot3 = ((word & 0xffffff) * 0x9E3779B1u) >> 17;
    uint32_t slot4 = (word * 0x9E3779B1u) >> 17;
    unsigned seen = counts[slot3];
    unsigned earlier = last[slot4];
    counts[slot3] = uint16_t(seen + 1);
    last[slot4] = uint16_t(i + 1);
    if (i < next) continue;
    unsigned length = 0;
    if (!open || pending < longest) {
      unsigned chain = open && pending >= good ? 1024 : 4096;
      walk += seen < chain ? seen : chain;
      if (earlier != 0) {
        size_t room = (size - i) & ~size_t(7);
        length =
            common_length(data + earlier - 1, data + i, room < longest ? unsigned(room) : longest);
      }
      if (length < 4) length = seen != 0 ? 3 : 0;
    }
    if (open && pending >= 3 && length <= pending) {  // the match before is taken
      next = i - 1 + pending;
      open = false;
      continue;
    }
    open = true;
    pending = length;
  }
  return walk < walk_limit * size ? 6 : 9;
}

int deflate_available_processors() {
  long count = 0;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) count = CPU_COUNT(&set);
  if (count <= 0) count = sysconf(_SC_NPROCESSORS_ONLN);
  if (count < 1) count = 1;
  return count > deflate_threads_max ? deflate_threads_max : int(count);
}

namespace {

// One slot of the ring: a chunk of input and its compressed form.
struct Chunk {
  unsigned char *in;   // chunk_size bytes from malloc
  unsigned char *out;  // out_capacity bytes from malloc
  size_t in_len;       // input bytes held
  size_t out_len;      // compressed bytes, a complete stream ending as `end` says
  DeflateEnd end;
  bool done;    // compressed (or failed); written under the pool's lock
  bool failed;  // libdeflate or the walk refused the chunk
  bool run;     // holds a run of one-byte chunks, compressed by the calling thread
};

struct Pool;

struct Worker {
  Pool *pool;
  libdeflate_compressor *compressor;  // the level's; level 9 in the automatic choice
  libdeflate_compressor *bounded;     // the automatic choice's level 6, else null
  uint16_t *counts;                   // the choice's scratch tables, else null
  uint16_t *last;
  unsigned char *levels;  // the choice's level of each block of a chunk, else null
  pthread_t thread;
};

// Frees what a worker holds; it holds nothing afterwards.
void release_worker(Worker &worker) {
  libdeflate_free_compressor(worker.compressor);
  libdeflate_free_compressor(worker.bounded);
  free(worker.counts);
  free(worker.last);
  free(worker.levels);
  worker = Worker{};
}

// The chunk ring, the compressors and the worker threads.  The chunks of
// the input take the slots of chunks[] in turn (a run of one-byte chunks
// takes one slot); workers take the submitted ones in order from queue[].  Everything is released,
// the threads stopped and joined first, when the pool goes out of scope.
struct Pool {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t queued = PTHREAD_COND_INITIALIZER;    // a chunk was submitted, or stopping
  pthread_cond_t finished = PTHREAD_COND_INITIALIZER;  // a chunk was compressed
  Chunk *chunks = nullptr;
  Chunk **queue = nullptr;  // the submitted chunks in order (runs are not): queue[i % chunk_count]
  size_t chunk_count = 0;
  size_t chunk_size = 0;  // input bytes of a full chunk
  size_t out_capacity = 0;
  Worker *workers = nullptr;  // compressors for worker_count threads, at least one
  int worker_count = 0;
  int running = 0;  // threads started: workers[0 .. running)
  uint64_t submitted = 0;
  uint64_t taken = 0;
  bool stopping = false;
  bool automatic = false;  // each chunk's engine is chosen from its bytes

  Pool() = default;
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;
  ~Pool() {
    sync_stop_workers(*this);
    for (int i = 0; workers && i < worker_count; i++) release_worker(workers[i]);
    for (size_t i = 0; chunks && i < chunk_count; i++) {
      free(chunks[i].in);
      free(chunks[i].out);
    }
    free(chunks);
    free(queue);
    free(workers);
  }
};

// Compresses the size bytes at in with compressor into out (room for
// capacity bytes, the splice's included).  A stream that is not the last of
// its chunk is spliced at once; the end of the last one is found into *end
// only when find_end says so (another chunk may follow it).  Returns the
// bytes written, or 0 when libdeflate or the walk fails.
size_t deflate_stream(libdeflate_compressor *compressor, const unsigned char *in, size_t size,
                       unsigned char *out, size_t capacity, bool last, bool find_end,
                       DeflateEnd *end) {
  size_t length = libdeflate_deflate_compress(compressor, in, size, out, capacity - splice_room);
  if (length == 0) return 0;
  if (!last || find_end) {
    if (deflate_find_end(out, length, end) != 0) return 0;
  }
  return last ? length : deflate_splice(out, length, *end);
}

// Compresses chunk with worker's compressor or, in the automatic choice, as
// streams of the blocks that deflate_block_level gives one level, joined.
// Where the chunk's (last) stream ends is found only for a chunk that may be
// followed by another (a full one): a short chunk is the last, and is never
// spliced.
void deflate_chunk(const Pool &pool, const Worker &worker, Chunk &chunk) {
  bool full = chunk.in_len == pool.chunk_size;
  if (!pool.automatic) {
    chunk.out_len = deflate_stream(worker.compressor, chunk.in, chunk.in_len, chunk.out,
                                    pool.out_capacity, true, full, &chunk.end);
    chunk.failed = chunk.out_len == 0;
    return;
  }
  size_t blocks = (chunk.in_len + deflate_rule_block - 1) / deflate_rule_block;
  for (size_t k = 0; k < blocks; k++) {
    size_t begin = k * deflate_rule_block;
    size_t size =
        chunk.in_len - begin < deflate_rule_block ? chunk.in_len - begin : deflate_rule_block;
    worker.levels[k] =
        (unsigned char)deflate_block_level(chunk.in + begin, size, worker.counts, worker.last);
  }
  chunk.out_len = 0;
  chunk.failed = false;
  for (size_t first = 0, after; first < blocks; first = after) {
    for (after = first + 1; after < blocks && worker.levels[after] == worker.levels[first];)
      after++;
    size_t begin = first * deflate_rule_block;
    size_t end = after == blocks ? chunk.in_len : after * deflate_rule_block;
    bool last = after == blocks;
    DeflateEnd stream_end = {0, 0, 0};
    size_t length = deflate_stream(worker.levels[first] == 9 ? worker.compressor : worker.bounded,
                                    chunk.in + begin, end - begin, chunk.out + chunk.out_len,
                                    pool.out_capacity - chunk.out_len, last, full, &stream_end);
    if (length == 0) {
      chunk.failed = true;
      return;
    }
    if (last) {
      chunk.end = stream_end;
      chunk.end.final_byte += chunk.out_len;
    }
    chunk.out_len += length;
  }
}

void *worker_main(void *arg) {
  Worker &self = *static_cast<Worker *>(arg);
  Pool &pool = *self.pool;
  sync_serve(pool, [&](uint64_t job) -> bool & {
    Chunk &chunk = *pool.queue[job % pool.chunk_count];
    deflate_chunk(pool, self, chunk);
    return chunk.done;
  });
  return nullptr;
}

// Adds a chunk to the ring.  Returns false when its buffers cannot be had.
bool add_chunk(Pool &pool) {
  Chunk &chunk = pool.chunks[pool.chunk_count];
  chunk.in = static_cast<unsigned char *>(malloc(pool.chunk_size));
  chunk.out = static_cast<unsigned char *>(malloc(pool.out_capacity));
  if (!chunk.in || !chunk.out) {
    free(chunk.in);
    free(chunk.out);
    chunk = Chunk{};
    return false;
  }
  pool.chunk_count++;
  return true;
}

// Adds a worker's compressors (and, for the automatic choice, its level 6,
// scratch tables and levels).  Returns false when they cannot be had.
bool add_worker(Pool &pool, const DeflateSettings &settings) {
  Worker &worker = pool.workers[pool.worker_count];
  worker.pool = &pool;
  worker.compressor = libdeflate_alloc_compressor(settings.automatic ? 9 : settings.level);
  bool whole = worker.compressor != nullptr;
  if (settings.automatic) {
    worker.bounded = libdeflate_alloc_compressor(6);
    worker.counts = static_cast<uint16_t *>(malloc(deflate_rule_slots * sizeof(uint16_t)));
    worker.last = static_cast<uint16_t *>(malloc(deflate_rule_slots * sizeof(uint16_t)));
    worker.levels = static_cast<unsigned char *>(malloc(rule_blocks(settings.chunk_size)));
    whole = whole && worker.bounded && worker.counts && worker.last && worker.levels;
  }
  if (!whole) {
    release_worker(worker);
    return false;
  }
  pool.worker_count++;
  return true;
}

// Allocates the ring (two chunks per worker, at least two, at most
// deflate_ring_max) and the workers' compressors, and starts the workers;
// one worker starts no thread.  What one worker needs comes first (two
// chunks, its compressors); then a chunk and a worker in turn, as long as
// memory lasts: with less, the pool makes do with fewer workers (the bytes
// are the same).  Only the first worker's share missing is a failure.
void pool_start(Pool &pool, const DeflateSettings &settings, int threads) {
  size_t ring = 2 * size_t(threads);
  if (ring > deflate_ring_max) ring = deflate_ring_max;
  pool.workers = static_cast<Worker *>(calloc(size_t(threads), sizeof(Worker)));
  pool.chunks = static_cast<Chunk *>(calloc(ring, sizeof(Chunk)));
  pool.queue = static_cast<Chunk **>(calloc(ring, sizeof(Chunk *)));
  if (!pool.workers || !pool.chunks || !pool.queue) stream_fatal_error("out of memory");
  pool.chunk_size = settings.chunk_size;
  // Room for a stream of each block with its splice, the most streams a
  // chunk can have; a stream of several blocks never needs more.
  size_t blocks = rule_blocks(settings.chunk_size);
  pool.out_capacity =
      blocks * (libdeflate_deflate_compress_bound(nullptr, deflate_rule_block) + splice_room);
  pool.automatic = settings.automatic;
  // The last chunk is known only once the one after it is read: two at least.
  if (!add_chunk(pool) || !add_chunk(pool) || !add_worker(pool, settings))
    stream_fatal_error("out of memory");
  // No more workers than chunks to work on.
  bool more = true;
  while (more && (pool.chunk_count < ring || pool.worker_count < threads)) {
    if (pool.chunk_count < ring) more = add_chunk(pool);
    if (more && pool.worker_count < threads && size_t(pool.worker_count) < pool.chunk_count)
      more = add_worker(pool, settings);
  }
  threads = pool.worker_count;
  if (threads == 1) return;
  // The workers leave the asynchronous signals to the calling thread.
  sigset_t old;
  fatal_block_signals(&old, false);
  while (pool.running < threads && pthread_create(&pool.workers[pool.running].thread, nullptr,
                                                  worker_main, &pool.workers[pool.running]) == 0)
    pool.running++;
  fatal_restore_signals(&old);
}

void pool_submit(Pool &pool, Chunk &chunk) {
  chunk.run = false;
  if (pool.running == 0) return;
  sync_lock(&pool.mutex);
  chunk.done = false;
  pool.queue[pool.submitted++ % pool.chunk_count] = &chunk;
  sync_broadcast(&pool.queued);
  sync_unlock(&pool.mutex);
}

// Waits until chunk is compressed, or compresses it here without workers.
void pool_finish(Pool &pool, Chunk &chunk) {
  if (pool.running == 0) {
    deflate_chunk(pool, pool.workers[0], chunk);
    return;
  }
  sync_lock(&pool.mutex);
  while (!chunk.done) sync_wait(&pool.finished, &pool.mutex);
  sync_unlock(&pool.mutex);
}

// Fills buffer with up to size input bytes; fewer only at the end of the input.
size_t read_chunk(unsigned char *buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    long n = read_for_compressor(buffer + got, size - got);
    if (n == 0) break;
    got += size_t(n);
  }
  return got;
}

// Whether the size bytes at data are one byte repeated: compared 32 bytes
// at a time with the byte's pattern (this is read for every chunk).
bool one_byte(const unsigned char *data, size_t size) {
  if (size == 0) return false;
  const uint64_t pattern = 0x0101010101010101ull * data[0];
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    uint64_t words[4];
    memcpy(words, data + i, sizeof words);
    if ((words[0] ^ pattern) | (words[1] ^ pattern) | (words[2] ^ pattern) | (words[3] ^ pattern))
      return false;
  }
  for (; i < size; i++)
    if (data[i] != data[0]) return false;
  return true;
}

// The most chunks one run holds: its compressed form (about 4 KB a chunk)
// stays far below a slot's capacity.
constexpr int run_chunks_max = 64;

// A run of chunks that each hold the same byte repeated, written as one
// stream (gz/runs.h) into the ring slot of its first chunk, so that the run
// pays for one block header.
struct Run {
  RunStream stream;
  bool open = false;
  int chunks = 0;
  Chunk *slot = nullptr;
};

// Adds chunk (one byte repeated) to the open run, or starts a run in its
// slot.  Returns whether the chunk's slot was taken by a new run.
bool run_add(Run &run, Chunk &chunk, size_t out_capacity) {
  bool started = !run.open;
  if (started) {
    run_stream_begin(run.stream, chunk.in[0], chunk.out, out_capacity - splice_room);
    run.open = true;
    run.chunks = 0;
    run.slot = &chunk;
    chunk.run = true;
  }
  run_stream_add(run.stream, chunk.in_len);
  run.chunks++;
  return started;
}

// Ends the open run: its stream is complete, and its slot done.
void run_close(Run &run) {
  run.open = false;
  Chunk &slot = *run.slot;
  slot.out_len = run_stream_end(run.stream);
  slot.failed = slot.out_len == 0;
  slot.end = DeflateEnd{0, 0, run.stream.padding};  // one block: BFINAL is the first bit
  slot.done = true;
}

}  // namespace

void deflate_input(const DeflateSettings &settings) {
  // More threads than processors, or than the ring has chunks for, would
  // only wait: they are not started.
  int processors = deflate_available_processors();
  int threads =
      settings.threads > 0 && settings.threads < processors ? settings.threads : processors;
  if (size_t(threads) > deflate_ring_max) threads = int(deflate_ring_max);
  Run run;
  Pool pool;
  pool_start(pool, settings, threads);

  uint64_t read = 0, written = 0;
  bool at_end = false;
  for (;;) {
    while (!at_end && read - written < pool.chunk_count) {
      Chunk &chunk = pool.chunks[read % pool.chunk_count];
      chunk.in_len = read_chunk(chunk.in, settings.chunk_size);
      at_end = chunk.in_len < settings.chunk_size;
      if (chunk.in_len == 0) break;
      bool repeated = pool.automatic && one_byte(chunk.in, chunk.in_len);
      if (run.open && (!repeated || run.stream.byte != chunk.in[0] || run.chunks == run_chunks_max))
        run_close(run);
      if (repeated) {
        // A chunk added to an open run leaves its slot free for the next.
        if (run_add(run, chunk, pool.out_capacity)) read++;
        continue;
      }
      pool_submit(pool, chunk);
      read++;
    }
    if (at_end && run.open) run_close(run);
    if (written == read) break;
    Chunk &chunk = pool.chunks[written % pool.chunk_count];
    if (chunk.run && run.open && run.slot == &chunk) continue;  // still growing: read on
    if (!chunk.run) pool_finish(pool, chunk);
    if (chunk.failed) stream_fatal_error("compressor failed");
    bool last = at_end && written + 1 == read;
    put_bytes(chunk.out,
              last ? chunk.out_len : deflate_splice(chunk.out, chunk.out_len, chunk.end));
    written++;
  }
  if (read == 0) {  // no input: one empty final block with fixed codes
    put_byte(0x03);
    put_byte(0x00);
  }
}

}  // namespace kapsa
