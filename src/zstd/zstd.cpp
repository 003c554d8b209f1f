// Decoding and measuring zstd payloads.
#include "zstd/zstd.h"

#include <unistd.h>
// The frame header reader is of libzstd's static-linking interface: the
// library is linked in, never loaded.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/fatal.h"
#include "base/progress.h"
#include "base/text.h"
#include "io/fdio.h"
#include "io/source.h"

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

[[noreturn]] void damaged(const char *name, const char *reason) {
  progress_end();
  fprintf(stderr, "%s: damaged payload: %s\n", Shown(name).text, reason);
  fatal_exit();
}

// A block of the payload read at a time: libzstd's own suggestion.
using Block = std::unique_ptr<unsigned char, decltype(&free)>;
using SourcePtr = std::unique_ptr<Source, decltype(&free)>;

}  // namespace

int zstd_measure(int fd, off_t start, off_t end, ZstdSizes *sizes) {
  *sizes = ZstdSizes{0, 0, false, false, 0};
  SourcePtr source(static_cast<Source *>(malloc(sizeof(Source))), free);
  if (!source) return -1;
  Source &r = *source;
  source_begin(r, fd, end, start);
  // The bytes at offset at, as many as there are up to count.
  auto read_at = [&r](off_t at, unsigned char *data, size_t count) {
    source_seek(r, at);
    size_t got = 0;
    for (int c; got < count && (c = source_byte(r)) >= 0;) data[got++] = (unsigned char)c;
    return got;
  };
  off_t at = start;
  while (at < end) {
    unsigned char head[ZSTD_FRAMEHEADERSIZE_MAX];
    size_t n = read_at(at, head, sizeof head);
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
      if (read_at(at, block, 3) != 3) return 0;
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
  if (r.error) {
    errno = r.error;
    return -1;
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

void zstd_decode(int in_fd, uint64_t in_left, const char *program, const char *name, Output &out,
                 uint64_t window) {
  auto short_of_memory = [&]() {
    output_settle(out);
    progress_end();
    zstd_report_memory(name, window);
    fatal_exit();
  };
  ZSTD_DCtx *dctx = ZSTD_createDCtx();
  if (!dctx) short_of_memory();
  DecoderGuard guard{dctx};
  if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, zstd_window_log_max)))
    short_of_memory();
  size_t block_size = ZSTD_DStreamInSize();
  Block block(static_cast<unsigned char *>(malloc(block_size)), free);
  if (!block) short_of_memory();
  ZSTD_inBuffer in = {block.get(), 0, 0};
  size_t hint = 0;       // what the last call said: 0 at the end of a frame
  bool decoded = false;  // a call was made
  bool drained = true;   // the decoder holds no output it has not given: it wants input
  for (;;) {
    if (in.pos == in.size && drained) {
      size_t want = in_left < block_size ? size_t(in_left) : block_size;
      errno = 0;
      size_t n = want ? fdio_read(in_fd, block.get(), want) : 0;
      in_left -= n;
      if (n == 0) {
        if (errno != 0 || hint != 0 || !decoded) {
          output_settle(out);
          fatal_read_error(program, name);  // a read error, or the input ends inside a frame
        }
        break;
      }
      in = {block.get(), n, 0};
    }
    size_t room;
    unsigned char *space = output_space(out, &room);
    ZSTD_outBuffer ob = {space, room, 0};
    size_t taken = in.pos;
    hint = ZSTD_decompressStream(dctx, &ob, &in);
    output_commit(out, ob.pos, (long long)(in.pos - taken));
    if (ZSTD_getErrorCode(hint) == ZSTD_error_memory_allocation) short_of_memory();
    if (ZSTD_isError(hint)) {
      output_settle(out);
      damaged(name, ZSTD_getErrorName(hint));
    }
    decoded = true;
    // A frame that is whole and flushed (0) holds nothing more, even when it
    // filled the output exactly; a full output may hold more.
    drained = hint == 0 || ob.pos < ob.size;
  }
  output_end(out);
}

}  // namespace kapsa
