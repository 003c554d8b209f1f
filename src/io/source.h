// Reading a file from any offset through a buffer of its own (pread): the
// file position of the descriptor is never moved, so a reader may look
// ahead in an archive (its trailer, its members, its frames) while the
// descriptor stays where the payload's decoder needs it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kapsa {

constexpr size_t source_buffer_size = size_t(64) << 10;

// A file read from an offset on.  A bit reader built on it (the DEFLATE
// walker) keeps its bits in bits and count; byte readers leave them alone.
struct Source {
  int fd;
  off_t limit;     // nothing at or after this offset is read
  off_t at;        // file offset of buf[0]
  size_t pos;      // next byte of buf to take (a bit reader may run past len)
  size_t len;      // bytes of buf read from the file
  bool eof;        // the file, or the limit, ends at buf[len]
  int error;       // errno of a failed read, else 0
  uint64_t bits;   // a bit reader's bits taken but not yet used, lowest first
  unsigned count;  // how many
  unsigned char buf[source_buffer_size];
};

// A source of fd, reading nothing at or after limit (source_no_limit: the
// end of the file), positioned at start.
void source_begin(Source &s, int fd, off_t limit, off_t start);
constexpr off_t source_no_limit = off_t(~uint64_t(0) >> 1);

// Goes to offset start, keeping what the buffer holds when start is in it.
void source_seek(Source &s, off_t start);

// The offset of the next byte to take.
inline off_t source_offset(const Source &s) { return s.at + off_t(s.pos); }

// Moves the unread bytes (and a few before them) to the buffer's start and
// reads more behind them.  Returns false when a read fails (s.error) or the
// file or the limit ends (s.eof).
bool source_fill(Source &s);

// The next byte, or -1 at the end or after a failed read.
int source_byte(Source &s);

// Skips count bytes; false when the file ends first or a read fails.
bool source_skip(Source &s, size_t count);

// Reads count bytes into data; false when the file ends first or a read
// fails.
bool source_read(Source &s, void *data, size_t count);

// Skips a NUL-terminated text; false when the file ends first.
bool source_skip_text(Source &s);

}  // namespace kapsa
