// Packing a directory tree as a POSIX pax tar stream, in two steps: the
// plan walks the tree and refuses what cannot be packed before anything is
// written, and knows the stream's exact length; the stream then reads the
// files again and writes it.
//
// The stream holds the directory's contents (not the directory itself),
// sorted bytewise by name, a directory's name ending in "/": for each entry
//   an extended header, only when the entry needs one:
//     ustar header  name "././@PaxHeader", mode 0644, uid/gid/mtime 0,
//                   typeflag 'x', size the bytes of the records
//     records       in this order, each "<length> <key>=<value>\n":
//                   path=      the name does not fit the ustar name and
//                   prefix fields, or has a byte outside 0x01-0x7f
//                   linkpath=  the link target is over 100 bytes, or has
//                   such a byte
//                   size=      the size is 8 GiB or more
//                   mtime=     the time is before 1970 or after 2242
//                   (whole seconds), padded with zeros to 512
//   ustar header    name (or prefix "/" name, split at the last "/" that
//                   fits; the name's first 100 bytes when a path record
//                   holds it), mode (the permission bits with setuid, setgid
//                   and sticky, 7 octal digits), uid and gid 0, size,
//                   mtime (11 octal digits, 0 when a record holds it),
//                   checksum (6 octal digits, NUL, blank), typeflag '0'
//                   file, '1' hard link, '2' symbolic link, '5' directory,
//                   linkname, magic "ustar\0", version "00", uname and
//                   gname empty, devmajor and devminor 0; every number
//                   ends with a NUL
//   data            a file's bytes, padded with zeros to 512
// then two zero blocks, and zeros up to a multiple of 10,240 bytes (GNU
// tar's and Python's record size).  Nothing of the packing host goes in:
// no owner, no access or change time, no device numbers, no fraction of a
// second, no header name that varies, so the same tree gives the same
// bytes anywhere.  A regular file whose inode an earlier name in the
// stream has is a hard link to that name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tree/tar.h"

namespace kapsa {

// One entry of a plan.
struct TreePlanEntry {
  TreeType type;    // what it is
  unsigned mode;    // permission bits, 07777 at most
  uint64_t size;    // data bytes (regular files; 0 for the others)
  int64_t mtime;    // modification time, clamped
  uint64_t device;  // st_dev, st_ino: the inode, for hard links
  uint64_t inode;
  uint64_t links;  // st_nlink
  size_t name_at;  // offsets in TreePlan::text while the plan is made
  size_t target_at;
  const char *name;    // below the directory; a directory's ends in "/"
  const char *target;  // symbolic link: its target; hard link: the file's name; else ""
};

struct TreePlan {
  const char *dir;         // the directory packed, as the caller named it
  int dir_fd;              // open on it until tree_plan_free, or -1
  TreePlanEntry *entries;  // in stream order
  size_t count;            // entries
  size_t room;             // entries allocated
  char *text;              // the names and targets, each NUL-terminated
  size_t text_used;        // bytes of text
  size_t text_room;        // bytes allocated for text
  uint64_t file_bytes;     // data bytes of the regular files together
  uint64_t stream_bytes;   // the exact length of the stream tree_stream writes
};

// Plans the stream of the tree under dir, never following a symbolic link
// inside it.  clamp_mtime: -1, or a time no written mtime may exceed
// (SOURCE_DATE_EPOCH).  Returns 0, or -1 after one line on standard error
// ("<dir>/<name>: cannot pack a FIFO", "... a socket", "... a character
// device", "... a block device", "<dir>/<name>: symbolic link points
// outside the tree: <target>", "<dir>/<name>: symbolic link target has
// '..' after a name: <target>", "<dir>/<name>: name too long", or
// "<path>: <system error>" for what cannot be opened or read; texts
// escaped).  tree_plan_free releases the plan in either case.
int tree_plan(const char *dir, long long clamp_mtime, TreePlan *plan);

// Writes the stream of plan to out_fd, exactly plan.stream_bytes bytes,
// reading every regular file again (openat with O_NOFOLLOW, through
// directories opened the same way).  Returns 0, or -1 after one line on
// standard error: "<dir>/<name>: changed size while it was read", "...: is
// no longer a regular file", "<path>: <system error>" for a file, or
// "<out_name>: <system error>" for a failed write.
int tree_stream(const TreePlan &plan, int out_fd, const char *out_name);

// Releases what plan holds (also after a failed tree_plan).
void tree_plan_free(TreePlan *plan);

}  // namespace kapsa
