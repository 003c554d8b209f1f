// Unpacking a tree's tar stream below an open directory (the caller's
// private staging directory), for installers that run as root.
//
// The stream is read by the parser of tree/tar.h, whose policy refuses an
// unsafe entry before anything of it is made.  Then:
//   - every name is reached component by component from the root with
//     openat(O_NOFOLLOW | O_DIRECTORY) (tree/walk.h): no symbolic link is
//     ever followed, not even one the stream made itself
//   - directories are made 0700 (the missing ones above a name too) and
//     get their modes and times at the end, deepest first, so that one
//     without write permission can still be filled
//   - regular files are made with O_CREAT | O_EXCL | O_NOFOLLOW and
//     written (blocks of 4 KiB of zeros are left as holes), then given
//     their mode and time (fchmod, futimens)
//   - hard links with linkat to the regular file made earlier, symbolic
//     links with symlinkat, their times with utimensat(AT_SYMLINK_NOFOLLOW)
//   - modes are the permission bits without setuid, setgid and sticky,
//     narrowed by the process's file-creation mask; a directory the stream
//     implied but never listed gets 0777 narrowed by it, and no time
//   - nothing is ever chowned: what is made belongs to whoever runs it
//   - nothing that exists is replaced: an entry over an existing name
//     (other than a directory over a directory) fails
// Access times are left as they are.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "tree/tar.h"
#include "tree/walk.h"

namespace kapsa {

// A block of zeros this large, at an offset of a multiple of it, is left as a hole.
constexpr size_t tree_hole_size = 4096;

struct TreeUnpacker {
  TreeParser parser;                    // the stream's parser: its reason and bad_name when refused
  TreeWalk walk;                        // reaches the directory of each name
  TreeWalk link_walk;                   // reaches the file a hard link names
  const char *root_name;                // the root's name, for messages (tree_unpack_begin)
  mode_t mask;                          // the process's file-creation mask (tree_unpack_begin)
  int file_fd;                          // the regular file being written, or -1
  uint64_t file_offset;                 // bytes of it taken so far
  uint64_t file_end;                    // where the last bytes written to it end
  unsigned char block[tree_hole_size];  // the start of a block of it that came in pieces
  size_t block_fill;                    // bytes in block
  uint64_t files;                       // regular files and hard links made, for a progress line
  uint64_t bytes;                       // file data bytes taken, for a progress line
};

// Starts unpacking below root_fd (left open: it stays the caller's), named
// root_name in messages ("<root_name>/<name>: <system error>").
void tree_unpack_begin(TreeUnpacker &u, int root_fd, const char *root_name);

// Unpacks size bytes more of the stream (any split of it).  Returns 0 to
// go on; 1 when the stream is refused (nothing printed: the caller prints
// tree_report_unsafe(archive, u.parser)); -1 after a system error was
// reported with its path.  After a non-zero result later feeds return it
// too; what was made stays (the caller removes its staging directory).
int tree_unpack_feed(TreeUnpacker &u, const unsigned char *data, size_t size);

// The stream has ended: checks that it ended cleanly (tree_parse_end),
// then gives the directories their modes and times.  Returns 0, 1 or -1
// as the feed.  Always releases what the unpacker holds; to be called
// after tree_unpack_begin whatever the feeds returned.
int tree_unpack_end(TreeUnpacker &u);

}  // namespace kapsa
