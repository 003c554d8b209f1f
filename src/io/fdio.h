// Reading and writing whole counts of bytes on a descriptor: reads and
// writes that deliver less than asked for are continued, interrupted ones
// retried, so that no caller ever mistakes a short read or write for the
// end or for an error.
#pragma once

#include <sys/stat.h>

#include <cstddef>

namespace kapsa {

// Reads from fd into data until count bytes have arrived, the input ends or
// a read fails.  Returns the number of bytes read.  When that is less than
// count, errno is 0 at the end of the input and the read's error after a
// failure.
size_t fdio_read(int fd, void *data, size_t count);

// Reads up to count bytes at offset of fd (pread: the file position stays
// where it is).  Returns the number read, fewer only at the end of the file
// (errno 0) or after a failed read (errno set).
size_t fdio_read_at(int fd, long long offset, void *data, size_t count);

// Writes count bytes of data to fd.  A descriptor that someone left
// non-blocking is waited on until it drains.  Returns 0, or -1 with errno
// set when a write fails (EIO when one makes no progress at all).
int fdio_write(int fd, const void *data, size_t count);

// Opens the file at path for reading (close-on-exec) and fills *st.
// Returns the descriptor, or -1 after "<path>: <the system's reason>".
int fdio_open_file(const char *path, struct stat *st);

}  // namespace kapsa
