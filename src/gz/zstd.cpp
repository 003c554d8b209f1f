// Decoding and measuring zstd payloads.
#include "gz/zstd.h"

#include <sys/stat.h>
#include <unistd.h>
// The frame header reader is of libzstd's static-linking interface: the
// library is linked in, never loaded.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <cerrno>
#include <cstdio>

#include "base/fatal.h"
#include "base/options.h"
#include "base/progress.h"
#include "gz/stream.h"

namespace kapsa {

namespace {

// Releases the decoder on every way out, the fuzzing build's throw too.
struct DecoderGuard {
  ZSTD_DCtx *dctx;
  ~DecoderGuard() { ZSTD_freeDCtx(dctx); }
};

// Memory of the extraction besides the decoder's: the output path's
// regions and the program's own (its buffers, stack and code), rounded up.
constexpr uint64_t extraction_overhead = output_region_count * output_region_size + (1 << 20);

[[noreturn]] void damaged(const char *reason) {
  progress_end();
  fprintf(stderr, "%s: damaged payload: %s\n", options.input_name, reason);
  fatal_exit();
}

// Bytes of fd at any offset, through a buffer of its own (pread).
struct Reader {
  int fd;
  off_t buffered_at = -1;  // file offset of buf[0]
  size_t len = 0;
  unsigned char buf[65536];
};

// Copies count bytes at offset into data.  Returns how many there were.
size_t read_at(Reader &r, off_t offset, unsigned char *data, size_t count) {
  size_t got = 0;
  while (got < count) {
    off_t at = offset + off_t(got);
    if (r.buffered_at < 0 || at < r.buffered_at || at >= r.buffered_at + off_t(r.len)) {
      ssize_t n;
      do {
        n = pread(r.fd, r.buf, sizeof r.buf, at);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) {
        r.buffered_at = -1;
        return got;
      }
      r.buffered_at = at;
      r.len = size_t(n);
    }
    size_t from = size_t(at - r.buffered_at);
    size_t piece = r.len - from < count - got ? r.len - from : count - got;
    for (size_t i = 0; i < piece; i++) data[got + i] = r.buf[from + i];
    got += piece;
  }
  return got;
}

}  // namespace

int zstd_measure(int fd, off_t start, ZstdSizes *sizes) {
  *sizes = ZstdSizes{0, 0, false, false, 0};
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  Reader r{fd, -1, 0, {}};
  off_t at = start, end = st.st_size;
  while (at < end) {
    unsigned char head[ZSTD_FRAMEHEADERSIZE_MAX];
    size_t n = read_at(r, at, head, sizeof head);
    ZSTD_frameHeader frame;
    if (n < 4 || ZSTD_getFrameHeader(&frame, head, n) != 0) return 0;  // not a whole frame
    if (frame.frameType == ZSTD_skippableFrame) {
      // Its magic and length (8 bytes: libzstd leaves headerSize 0 for
      // these), then that many bytes of user data.
      at += off_t(ZSTD_SKIPPABLEHEADERSIZE) + off_t(frame.frameContentSize);
      continue;
    }
    at += off_t(frame.headerSize);
    if (frame.windowSize > sizes->window) sizes->window = frame.windowSize;
    for (bool last = false; !last;) {  // the blocks
      unsigned char block[3];
      if (read_at(r, at, block, 3) != 3) return 0;
      uint32_t header = uint32_t(block[0]) | uint32_t(block[1]) << 8 | uint32_t(block[2]) << 16;
      last = header & 1;
      uint32_t type = (header >> 1) & 3, size = header >> 3;
      if (type == 3) return 0;  // reserved: no block
      at += 3 + off_t(type == 1 ? 1 : size);
    }
    if (frame.checksumFlag) at += 4;
    if (at > end) return 0;
    sizes->frames++;
    if (frame.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
      sizes->unknown = true;
    } else if (sizes->content > UINT64_MAX - frame.frameContentSize) {
      sizes->content = UINT64_MAX;  // a hostile sum saturates
    } else {
      sizes->content += frame.frameContentSize;
    }
  }
  sizes->whole = sizes->frames > 0 && at == end;
  return 0;
}

uint64_t zstd_memory_needed(uint64_t window) {
  if (window > (uint64_t(1) << zstd_window_log_max)) window = uint64_t(1) << zstd_window_log_max;
  return ZSTD_estimateDStreamSize(size_t(window)) + extraction_overhead;
}

uint64_t zstd_memory_mib(uint64_t window) {
  return (zstd_memory_needed(window) + (1 << 20) - 1) >> 20;
}

int zstd_window_log_for(uint64_t cap_mib) {
  for (int log = zstd_window_log_max; log >= zstd_window_log_min; log--)
    if (zstd_memory_mib(uint64_t(1) << log) <= cap_mib) return log;
  return 0;
}

void zstd_report_memory(const char *archive, uint64_t window) {
  fprintf(stderr, "%s: not enough memory to unpack: this archive needs %llu MiB\n", archive,
          (unsigned long long)zstd_memory_mib(window));
}

void zstd_decode(Output &out, uint64_t window) {
  auto short_of_memory = [&]() {
    output_settle(out);
    progress_end();
    zstd_report_memory(options.input_name, window);
    fatal_exit();
  };
  ZSTD_DCtx *dctx = ZSTD_createDCtx();
  if (!dctx) short_of_memory();
  DecoderGuard guard{dctx};
  if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, zstd_window_log_max)))
    short_of_memory();
  ZSTD_inBuffer in = {stream.in_buf, stream.in_len, stream.in_pos};
  size_t hint = 0;       // what the last call said: 0 at the end of a frame
  bool decoded = false;  // a call was made
  bool drained = true;   // the decoder holds no output it has not given: it wants input
  for (;;) {
    if (in.pos == in.size && drained) {
      if (try_refill_input() < 0) {
        if (errno != 0 || hint != 0 || !decoded) {
          output_settle(out);
          stream_fatal_read();  // a read error, or the input ends inside a frame
        }
        break;
      }
      stream.in_pos = 0;
      in = {stream.in_buf, stream.in_len, 0};
    }
    size_t room;
    unsigned char *space = output_space(out, &room);
    ZSTD_outBuffer ob = {space, room, 0};
    size_t taken = in.pos;
    hint = ZSTD_decompressStream(dctx, &ob, &in);
    stream.in_pos = uint32_t(in.pos);
    output_commit(out, ob.pos, (long long)(in.pos - taken));
    if (ZSTD_getErrorCode(hint) == ZSTD_error_memory_allocation) short_of_memory();
    if (ZSTD_isError(hint)) {
      output_settle(out);
      damaged(ZSTD_getErrorName(hint));
    }
    decoded = true;
    // A frame that is whole and flushed (0) holds nothing more, even when it
    // filled the output exactly; a full output may hold more.
    drained = hint == 0 || ob.pos < ob.size;
  }
  output_end(out);
}

}  // namespace kapsa
