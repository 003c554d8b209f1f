// Reading a directory tree's tar stream: a push parser that checks every
// header and applies the unpacking policy, touching no file.
//
// The stream is POSIX pax (ustar blocks of 512 bytes, with 'x' extended
// headers), as tree/pack.h writes it; GNU tar's 'L' and 'K' long names are
// read too.  One ustar header block:
//   offset size  field
//        0  100  name       NUL-terminated unless it fills the field
//      100    8  mode       octal
//      108    8  uid        octal (checked, ignored)
//      116    8  gid        octal (checked, ignored)
//      124   12  size       octal, or base-256 (first byte 0x80)
//      136   12  mtime      octal, or base-256 (0x80 positive, 0xff negative)
//      148    8  chksum     octal sum of the 512 bytes, this field as 8 blanks
//      156    1  typeflag   '0' (or NUL, '7') file, '1' hard link, '2'
//                           symbolic link, '5' directory; 'x', 'g', 'L', 'K'
//                           are headers of the entry that follows
//      157  100  linkname
//      257    6  magic      "ustar\0" (POSIX) or "ustar " (GNU, then the
//                           prefix field holds other things and is ignored)
//      263    2  version    "00" (POSIX) or " \0" (GNU); not checked
//      265   32  uname      ignored
//      297   32  gname      ignored
//      329    8  devmajor   ignored
//      337    8  devminor   ignored
//      345  155  prefix     the name is prefix + "/" + name when not empty
//      500   12  (unused)
// A numeric field is leading blanks, octal digits, then only blanks and
// NULs (all of them empty is 0).  An entry's data follows its header,
// padded with anything to a multiple of 512 bytes.  An extended header's
// data is records "<length> <key>=<value>\n", the length in decimal
// counting the whole record; path, linkpath, size and mtime (whole seconds,
// a fraction is dropped) replace the header's fields, GNU.sparse.* is
// refused, every other key is checked for form and ignored.  A global
// header ('g') is checked and ignored; one that sets path, linkpath, size
// or mtime is refused.  At most 65,536 bytes of extended header data an
// entry.  The stream ends with two zero blocks; whatever follows them must
// be zero bytes (a tar file is padded to its record size with them).  A
// stream that stops anywhere before the second zero block is truncated.
//
// The policy: names are relative, have no ".." component, no NUL, are at
// most tree_name_max bytes and are not empty once "." components, empty
// components and a trailing "/" are dropped; only directories end in "/".
// Only directories, regular files, symbolic links and hard links are
// taken.  A symbolic link's target is relative, and read from the link's
// directory it stays in the tree: leading ".." components climb at most
// as far as the link is deep, and none follows a name (which a later
// entry could make a link itself).  A hard link names a regular file the
// stream made earlier.  No name goes through a symbolic link or a file
// the stream made, and no name comes twice unless as a directory both
// times.  Setuid, setgid and sticky bits are passed on as they are: the
// unpacker drops them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kapsa {

constexpr size_t tree_block = 512;
// Longest name and link target, without the trailing "/" of a directory.
constexpr size_t tree_name_max = 4095;
// Most extended header data (records, or a GNU long name) for one entry.
constexpr size_t tree_extended_max = 65536;

enum class TreeType : char { file = '0', hard_link = '1', symlink = '2', directory = '5' };

// One entry of the stream, as the parser hands it on.
struct TreeEntry {
  TreeType type;       // what it is
  const char *name;    // relative, no "." or empty components, no trailing "/"
  const char *target;  // symbolic link: the target as stored; hard link: the
                       // file's name, cleaned like name; else ""
  unsigned mode;       // permission bits as stored, 07777 at most
  uint64_t size;       // data bytes that follow (regular files; 0 for the others)
  int64_t mtime;       // modification time, seconds since the epoch
  bool implied;        // a directory the stream never listed (see tree_parse_each_directory)
};

// What the parser hands each entry to; any may be null.  A call that
// returns non-zero stops the parsing (after saying why): the feed returns -1.
struct TreeParseCalls {
  int (*entry)(void *ctx, const TreeEntry &entry);                 // before its data
  int (*data)(void *ctx, const unsigned char *data, size_t size);  // a piece of the file's data
  int (*entry_end)(void *ctx, const TreeEntry &entry);             // after the last data byte
};

// The names the stream has made, for hard links, duplicates and the
// directories (an open-addressed table over records in one growing block).
struct TreeNames {
  unsigned char *records;  // the records one after another, each 8-byte aligned
  size_t used;             // bytes of records
  size_t room;             // bytes allocated for records
  size_t *slots;           // record offset + 1 by hash, 0 for none
  size_t slot_count;       // a power of two; at most half of them used
  size_t count;            // names held
};

struct TreeParser {
  TreeParseCalls calls;              // the caller's (tree_parse_begin)
  void *ctx;                         // handed to every call
  int state;                         // what the next byte of the stream belongs to
  int status;                        // 0 while parsing; else what feed and end return
  uint64_t offset;                   // bytes of the stream taken so far
  uint64_t header_offset;            // where the last header block began
  unsigned char block[tree_block];   // the header block being gathered
  size_t block_fill;                 // bytes in block
  uint64_t remaining;                // data bytes of the entry or extended header to come
  uint64_t padding;                  // padding bytes to skip after them
  char extended_type;                // 'x', 'g', 'L' or 'K' while its data is gathered
  unsigned char *extended;           // its data (malloc), extended_size bytes
  size_t extended_size;              // its size
  size_t extended_fill;              // bytes of it gathered
  bool has_path, has_linkpath;       // set by extended headers for the next entry:
  bool has_size, has_mtime;          //   which of the fields below replace the header's
  uint64_t size;                     // extended size
  int64_t mtime;                     // extended mtime
  char name[tree_name_max + 2];      // the entry's name (extended, then cleaned)
  char target[tree_name_max + 2];    // the entry's link target (extended, then cleaned)
  TreeEntry entry;                   // the entry being read
  TreeNames names;                   // what the stream has made
  const char *reason;                // why the stream was refused (status 1)
  char bad_name[tree_name_max + 2];  // the name of the entry refused, as stored, or ""
  uint64_t bad_offset;               // where in the stream the refused header or byte is
};

// Starts a parser that hands what it reads to calls, with ctx.
void tree_parse_begin(TreeParser &p, const TreeParseCalls &calls, void *ctx);

// Parses size bytes more of the stream (any split of it: one byte at a
// time will do).  Returns 0 to go on; 1 when the stream is refused
// (p.reason and p.bad_name say why, nothing printed: see
// tree_report_unsafe); -1 when a call returned non-zero or memory ran out
// ("<name>: Cannot allocate memory").  After a non-zero result every later
// feed and end returns the same.
int tree_parse_feed(TreeParser &p, const unsigned char *data, size_t size);

// The stream has ended.  Returns 0 when it ended cleanly (two zero blocks,
// then zero bytes only), 1 when it was cut short ("truncated", with the
// name of the entry whose data it cut) or refused before, -1 as a feed.
int tree_parse_end(TreeParser &p);

// Calls fn for each directory the stream made, listed or implied by a name
// below it (implied set, mode 0777, mtime 0), each after every directory
// below it.  Returns 0, or what fn returned when it was not 0 (the rest is
// skipped), or -1 when memory ran out (said).
int tree_parse_each_directory(const TreeParser &p, int (*fn)(void *ctx, const TreeEntry &dir),
                              void *ctx);

// Releases what the parser holds; needed after tree_parse_begin, whatever
// happened.
void tree_parse_free(TreeParser &p);

// Prints why the stream of archive was refused, to standard error:
// "<archive>: unsafe entry in the tree: <name> (<reason>)", or without a
// name "<archive>: damaged tree at byte <offset> (<reason>)", names
// escaped.
void tree_report_unsafe(const char *archive, const TreeParser &p);

// Whether a symbolic link name (a clean relative name) may point at
// target: null when it may, else the reason ("empty link target", "link
// outside the tree", "'..' after a name in the link").
const char *tree_link_refusal(const char *name, const char *target);

// Prints entry as one line of a listing:
//   <type> <mode> <size> <name>[ -> <target>]
// type "d" directory, "-" file, "l" symbolic link, "h" hard link; mode four
// octal digits; size in bytes, right-aligned in 12 columns; a directory's
// name ends in "/"; name and target escaped (base/text.h).
void tree_print_entry(FILE *out, const TreeEntry &entry);

// A parse of an archive's tree stream fed from an output path (the
// consumer of io/output.h), for --check and the verbose listing: a stream
// refused is said as tree_report_unsafe says it, naming the archive; with
// list, every entry is printed to standard output as it comes.
struct TreeCheck {
  TreeParser parser;
  const char *archive;  // for the messages
  bool list;            // print each entry (tree_print_entry)
};

// Begins checking into check (which must stay where it is until the end).
void tree_check_begin(TreeCheck &check, const char *archive, bool list);

// The consumer: parses count bytes more of the stream.  Returns 0, or 1
// after saying why the stream is refused.
int tree_check_consume(void *check, const unsigned char *data, size_t count);

// The stream has ended.  Returns 0 when it is whole and safe, else 1 after
// saying why.  Releases what the parse holds.
int tree_check_end(TreeCheck &check);

}  // namespace kapsa
