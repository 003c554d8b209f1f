// Removing a directory tree that this run made (a staging directory),
// without ever following a symbolic link, from a signal handler too.
#pragma once

namespace kapsa {

// Removes the directory at path (relative to the directory descriptor dir,
// or AT_FDCWD) and everything below it: entries are unlinked where they
// stand, symbolic links as links, subdirectories emptied first.  Returns
// 0, or -1 with errno set when something could not be removed (what could
// be is gone).  Async-signal-safe: only system calls, no heap.
int rmtree(int dir, const char *path);

}  // namespace kapsa
