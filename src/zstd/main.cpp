// kapsa-zstd LEVEL WINDOW_LOG PARENT NAME [SIZE [OFFSET]]: the zstd
// compressor of `kapsa --zstd`.
//
// Compresses its standard input into one zstd frame on its standard output,
// with its content size (when it is known: SIZE, or the rest of a regular
// file) and its content checksum (XXH64), at LEVEL (1 to 22).  The frame's
// window is 2^WINDOW_LOG bytes (10 to 27; 27, the most an extractor accepts,
// unless the build caps the memory an extraction may need), with long
// distance matching from 2^20 on: an installation's tar holds files that
// repeat far apart (a compiler's executables share most of their code), and
// finding those repeats is worth more than any level.  A level's tables are
// made smaller, where they must, so that the compressor needs at most about
// 256 MiB.  libzstd's worker threads are not in Debian's static build of
// it: a frame is made on one thread, and its bytes depend only on the
// input, the level and the window; a build runs several of these programs
// at once, one frame each (zstd/compressor.h).
//
// With SIZE, the frame is of SIZE bytes (at most the window: the build cuts
// larger inputs into frames), read whole into memory first, at OFFSET of
// standard input when it is given (pread: several compressors share one
// file), else from standard input as it comes, so that the build can feed
// the next compressor at once; zstd then reads the frame's bytes where they
// are instead of copying them into a window of its own, and the memory is
// the same.  Without SIZE, standard input is compressed as it comes.
//
// It ends with its parent: PARENT is the process id of the kapsa that
// started it, and the kernel kills this process when that one ends, however
// it ends, so that no compressor goes on writing into an archive that its
// build has given up.
//
// It is a program of its own because the compressor is large and every
// archive carries the program as its extractor: the extractor keeps only the
// decoder.  NAME is the input's name for messages.  Exit status 0, or 1
// after "<NAME>: zstd: <reason>".
#include <signal.h>
#include <sys/prctl.h>
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
#include <memory>

namespace {

constexpr int window_log_min = 10, window_log_max = 27;
// Long distance matching needs a window of this much at least to be worth
// its tables.
constexpr int ldm_window_log_min = 20;
// The compressor's estimate; its resident memory stays some way below.
constexpr size_t memory_budget = size_t(224) << 20;
constexpr int table_log_min = 16;

const char *input_name = "stdin";

using Block = std::unique_ptr<unsigned char, decltype(&free)>;

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

// Reads up to size bytes of standard input into data, at offset (pread)
// when it is not -1, else from the file position on.  Returns the bytes read
// (fewer only at the end of the input), or -1 on error.
long read_full(unsigned char *data, size_t size, long long offset = -1) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = offset < 0 ? read(STDIN_FILENO, data + got, size - got)
                           : pread(STDIN_FILENO, data + got, size - got,
                                   off_t(offset) + off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += size_t(n);
  }
  return long(got);
}

// The parameters of LEVEL's frames with a window of 2^window_log, its
// tables cut down until the compressor's estimated memory fits the budget.
ZSTD_CCtx_params *make_params(int level, int window_log) {
  ZSTD_CCtx_params *params = ZSTD_createCCtxParams();
  if (!params) return nullptr;
  if (ZSTD_isError(ZSTD_CCtxParams_init(params, level))) {
    ZSTD_freeCCtxParams(params);
    return nullptr;
  }
  ZSTD_compressionParameters cp = ZSTD_getCParams(level, 0, 0);
  auto set = [&](ZSTD_cParameter p, int v) {
    return !ZSTD_isError(ZSTD_CCtxParams_setParameter(params, p, v));
  };
  bool ldm = window_log >= ldm_window_log_min;
  if (!set(ZSTD_c_checksumFlag, 1) || !set(ZSTD_c_contentSizeFlag, 1) ||
      !set(ZSTD_c_windowLog, window_log) || !set(ZSTD_c_enableLongDistanceMatching, ldm) ||
      // The long distance matcher's own defaults for this window, given
      // here, so that the memory estimate below knows them.
      (ldm && (!set(ZSTD_c_ldmHashLog, window_log - 7) || !set(ZSTD_c_ldmMinMatch, 64) ||
               !set(ZSTD_c_ldmBucketSizeLog, 3) || !set(ZSTD_c_ldmHashRateLog, 7)))) {
    ZSTD_freeCCtxParams(params);
    return nullptr;
  }
  int chain = int(cp.chainLog), hash = int(cp.hashLog);
  while (ZSTD_estimateCStreamSize_usingCCtxParams(params) > memory_budget &&
         (chain > table_log_min || hash > table_log_min)) {
    if (chain >= hash)
      chain--;
    else
      hash--;
    if (!set(ZSTD_c_chainLog, chain) || !set(ZSTD_c_hashLog, hash)) {
      ZSTD_freeCCtxParams(params);
      return nullptr;
    }
  }
  return params;
}

// Compresses in (its bytes in memory, and in place for the whole call: zstd
// reads them there) to standard output.  Returns 0, or 1 after a message.
int compress_whole(ZSTD_CCtx *cctx, ZSTD_inBuffer in, unsigned char *out_buf, size_t out_size) {
  for (;;) {
    ZSTD_outBuffer out = {out_buf, out_size, 0};
    size_t left = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_end);
    if (ZSTD_isError(left)) return fail(ZSTD_getErrorName(left));
    if (!write_all(out_buf, out.pos)) return fail(strerror(errno));
    if (left == 0) return 0;
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 5 || argc > 7) {
    fprintf(stderr, "usage: %s level window_log parent name [size [offset]] < input > frame\n",
            argc > 0 ? argv[0] : "");
    return 2;
  }
  // Killed when the parent ends; a parent that ended before this line
  // leaves this process to another one: then it ends at once.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != pid_t(atol(argv[3]))) return 1;
  input_name = argv[4];
  int level = atoi(argv[1]);
  int window_log = atoi(argv[2]);
  if (level < 1 || level > ZSTD_maxCLevel()) return fail("no such level");
  if (window_log < window_log_min || window_log > window_log_max) return fail("no such window");
  std::unique_ptr<ZSTD_CCtx_params, size_t (*)(ZSTD_CCtx_params *)> params(
      make_params(level, window_log), ZSTD_freeCCtxParams);
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  ZSTD_CCtx *cctx = context.get();
  if (!params || !cctx || ZSTD_isError(ZSTD_CCtx_setParametersUsingCCtxParams(cctx, params.get())))
    return fail("cannot set up the compressor");
  size_t out_size = ZSTD_CStreamOutSize();
  Block out_block(static_cast<unsigned char *>(malloc(out_size)), free);
  unsigned char *out_buf = out_block.get();
  if (!out_buf) return fail("out of memory");
  struct stat st;
  if (argc >= 6) {
    // One frame of a known size, read whole first.
    unsigned long long size = strtoull(argv[5], nullptr, 10);
    long long offset = argc == 7 ? atoll(argv[6]) : -1;
    if (size > (1ull << window_log) || ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx, size)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_stableInBuffer, 1)))
      return fail("cannot set up the compressor");
    Block frame(static_cast<unsigned char *>(malloc(size ? size_t(size) : 1)), free);
    if (!frame) return fail("out of memory");
    long n = read_full(frame.get(), size_t(size), offset);
    if (n < 0) return fail(strerror(errno));
    // Fewer bytes than pledged: zstd says so.
    return compress_whole(cctx, ZSTD_inBuffer{frame.get(), size_t(n), 0}, out_buf, out_size);
  }
  if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
    off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (at >= 0 && st.st_size >= at &&
        ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx, (unsigned long long)(st.st_size - at))))
      return fail("cannot set up the compressor");
  }
  size_t in_size = ZSTD_CStreamInSize();
  Block in_block(static_cast<unsigned char *>(malloc(in_size)), free);
  unsigned char *in_buf = in_block.get();
  if (!in_buf) return fail("out of memory");
  for (bool last = false; !last;) {
    long n = read_full(in_buf, in_size);
    if (n < 0) return fail(strerror(errno));
    last = size_t(n) < in_size;
    ZSTD_inBuffer in = {in_buf, size_t(n), 0};
    if (last) return compress_whole(cctx, in, out_buf, out_size);
    while (in.pos < in.size) {
      ZSTD_outBuffer out = {out_buf, out_size, 0};
      size_t left = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue);
      if (ZSTD_isError(left)) return fail(ZSTD_getErrorName(left));
      if (!write_all(out_buf, out.pos)) return fail(strerror(errno));
    }
  }
  return 0;
}
