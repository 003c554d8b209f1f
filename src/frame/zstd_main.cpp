// kapsa-zstd LEVEL THREADS NAME: the zstd compressor of `kapsa --zstd`.
//
// Compresses its standard input into zstd frames on its standard output,
// each with its content size and its content checksum (XXH64), at LEVEL (1
// to 22), with a window of at most 2^27 bytes, the most an extractor
// accepts.  It is a program of its own because the compressor is large and
// every archive carries the program as its extractor: the extractor keeps
// only the decoder.  NAME is the input's name for messages.  Exit status 0,
// or 1 after "<NAME>: zstd: <reason>".
//
// Debian's static libzstd is built without its worker threads, so the
// parallel work is done here, the same way at any thread count:
//   - below level 16, the input is cut into segments of 16 MiB, each one
//     frame, compressed by up to THREADS threads (as many as 256 MiB of
//     memory holds) and written in order: the bytes depend only on the input
//     and the level;
//   - from level 16 on, whose tables take 100 MiB and more, the whole input
//     is one frame, streamed on one thread (with its size in the frame when
//     standard input is a regular file).
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
// Sizes of a level's tables are of libzstd's static-linking interface: the
// library is linked in, never loaded.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int one_frame_level = 16;
constexpr size_t segment_size = size_t(16) << 20;
constexpr size_t memory_budget = size_t(256) << 20;
constexpr int window_log_max = 27;

const char *input_name = "stdin";

int fail(const char *reason) {
  fprintf(stderr, "%s: zstd: %s\n", input_name, reason);
  return 1;
}

bool write_all(const unsigned char *data, size_t count) {
  while (count > 0) {
    ssize_t n = write(STDOUT_FILENO, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= size_t(n);
  }
  return true;
}

// Reads up to size bytes; fewer only at the end of the input.  -1 on error.
long read_full(unsigned char *data, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(STDIN_FILENO, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += size_t(n);
  }
  return long(got);
}

// A compressor with the frame parameters every frame carries.
ZSTD_CCtx *make_context(int level) {
  ZSTD_CCtx *cctx = ZSTD_createCCtx();
  auto set = [&](ZSTD_cParameter p, int v) {
    return !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, p, v));
  };
  if (cctx && set(ZSTD_c_compressionLevel, level) && set(ZSTD_c_checksumFlag, 1) &&
      set(ZSTD_c_contentSizeFlag, 1) &&
      (int(ZSTD_getCParams(level, 0, 0).windowLog) <= window_log_max ||
       set(ZSTD_c_windowLog, window_log_max)))
    return cctx;
  ZSTD_freeCCtx(cctx);
  return nullptr;
}

// One frame of the whole input, streamed.
int compress_whole(int level) {
  ZSTD_CCtx *cctx = make_context(level);
  if (!cctx) return fail("out of memory");
  struct stat st;
  if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
    off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (at >= 0 && st.st_size >= at &&
        ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx, (unsigned long long)(st.st_size - at))))
      return fail("cannot set up the compressor");
  }
  size_t in_size = ZSTD_CStreamInSize(), out_size = ZSTD_CStreamOutSize();
  unsigned char *in_buf = static_cast<unsigned char *>(malloc(in_size));
  unsigned char *out_buf = static_cast<unsigned char *>(malloc(out_size));
  if (!in_buf || !out_buf) return fail("out of memory");
  for (bool last = false; !last;) {
    long n = read_full(in_buf, in_size);
    if (n < 0) return fail(strerror(errno));
    last = size_t(n) < in_size;
    ZSTD_inBuffer in = {in_buf, size_t(n), 0};
    for (;;) {
      ZSTD_outBuffer out = {out_buf, out_size, 0};
      size_t left = ZSTD_compressStream2(cctx, &out, &in, last ? ZSTD_e_end : ZSTD_e_continue);
      if (ZSTD_isError(left)) return fail(ZSTD_getErrorName(left));
      if (!write_all(out_buf, out.pos)) return fail(strerror(errno));
      if (last ? left == 0 : in.pos == in.size) break;
    }
  }
  ZSTD_freeCCtx(cctx);
  return 0;
}

// The segments: slot i of the ring holds segment i % count.
struct Slot {
  unsigned char *in, *out;
  size_t in_len, out_len;
  bool done;
  const char *error;  // libzstd's reason, when it failed
};

struct Ring {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  Slot *slots;
  size_t count;
  size_t out_capacity;
  int level;
  unsigned long long submitted = 0, taken = 0;
  bool stopping = false;
};

void *worker_main(void *arg) {
  Ring &ring = *static_cast<Ring *>(arg);
  ZSTD_CCtx *cctx = make_context(ring.level);
  pthread_mutex_lock(&ring.mutex);
  for (;;) {
    while (!ring.stopping && ring.taken == ring.submitted)
      pthread_cond_wait(&ring.changed, &ring.mutex);
    if (ring.stopping) break;
    Slot &slot = ring.slots[ring.taken++ % ring.count];
    pthread_mutex_unlock(&ring.mutex);
    size_t n = cctx ? ZSTD_compress2(cctx, slot.out, ring.out_capacity, slot.in, slot.in_len) : 0;
    pthread_mutex_lock(&ring.mutex);
    slot.error = !cctx ? "out of memory" : ZSTD_isError(n) ? ZSTD_getErrorName(n) : nullptr;
    slot.out_len = slot.error ? 0 : n;
    slot.done = true;
    pthread_cond_broadcast(&ring.changed);
  }
  pthread_mutex_unlock(&ring.mutex);
  ZSTD_freeCCtx(cctx);
  return nullptr;
}

// The input in segments of one frame each, on up to threads workers.
int compress_segments(int level, int threads) {
  ZSTD_compressionParameters params = ZSTD_getCParams(level, segment_size, 0);
  size_t bound = ZSTD_compressBound(segment_size);
  size_t per_worker = ZSTD_estimateCCtxSize_usingCParams(params) + 2 * (segment_size + bound);
  int fit = int(memory_budget / per_worker);
  if (threads > fit) threads = fit > 0 ? fit : 1;
  Ring ring;
  ring.count = 2 * size_t(threads);
  ring.out_capacity = bound;
  ring.level = level;
  ring.slots = static_cast<Slot *>(calloc(ring.count, sizeof(Slot)));
  if (!ring.slots) return fail("out of memory");
  for (size_t i = 0; i < ring.count; i++) {
    ring.slots[i].in = static_cast<unsigned char *>(malloc(segment_size));
    ring.slots[i].out = static_cast<unsigned char *>(malloc(bound));
    if (!ring.slots[i].in || !ring.slots[i].out) return fail("out of memory");
  }
  // Stacks of their own size: the C library's default may be small.
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0 ||
      pthread_attr_setstacksize(&attributes, size_t(1) << 20) != 0)
    return fail("cannot start a thread");
  pthread_t *workers = static_cast<pthread_t *>(calloc(size_t(threads), sizeof(pthread_t)));
  int running = 0;
  while (workers && running < threads &&
         pthread_create(&workers[running], &attributes, worker_main, &ring) == 0)
    running++;
  pthread_attr_destroy(&attributes);
  if (running == 0) return fail("cannot start a thread");

  int status = 0;
  unsigned long long read = 0, written = 0;
  bool at_end = false;
  while (status == 0) {
    while (!at_end && read - written < ring.count) {
      Slot &slot = ring.slots[read % ring.count];
      long n = read_full(slot.in, segment_size);
      if (n < 0) {
        status = fail(strerror(errno));
        break;
      }
      at_end = size_t(n) < segment_size;
      // An empty input still gives one (empty) frame.
      if (n == 0 && read > 0) break;
      slot.in_len = size_t(n);
      pthread_mutex_lock(&ring.mutex);
      slot.done = false;
      ring.submitted++;
      pthread_cond_broadcast(&ring.changed);
      pthread_mutex_unlock(&ring.mutex);
      read++;
    }
    if (status != 0 || written == read) break;
    Slot &slot = ring.slots[written % ring.count];
    pthread_mutex_lock(&ring.mutex);
    while (!slot.done) pthread_cond_wait(&ring.changed, &ring.mutex);
    pthread_mutex_unlock(&ring.mutex);
    if (slot.error)
      status = fail(slot.error);
    else if (!write_all(slot.out, slot.out_len))
      status = fail(strerror(errno));
    written++;
  }
  pthread_mutex_lock(&ring.mutex);
  ring.stopping = true;
  pthread_cond_broadcast(&ring.changed);
  pthread_mutex_unlock(&ring.mutex);
  for (int i = 0; i < running; i++) pthread_join(workers[i], nullptr);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s level threads name < input > frames\n", argc > 0 ? argv[0] : "");
    return 2;
  }
  input_name = argv[3];
  int level = atoi(argv[1]), threads = atoi(argv[2]);
  if (level < 1 || level > ZSTD_maxCLevel()) return fail("no such level");
  if (threads < 1) threads = 1;
  return level >= one_frame_level ? compress_whole(level) : compress_segments(level, threads);
}
