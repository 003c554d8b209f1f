// Making a tree's entries below a directory descriptor (the rules are in
// tree/unpack.h).
#include "tree/unpack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/syserr.h"
#include "base/text.h"

namespace kapsa {

namespace {

// Reports "<root>/<name>: <system error>".  Returns -1.
int fail(const TreeUnpacker &u, const char *name) {
  int saved = errno;
  text_print_escaped(stderr, u.root_name);
  fputc('/', stderr);
  text_print_escaped(stderr, name);
  fprintf(stderr, ": %s\n", syserr_text(saved));
  errno = saved;
  return -1;
}

// The mode an entry gets: its permission bits without setuid, setgid and
// sticky, narrowed by the file-creation mask.
mode_t final_mode(const TreeUnpacker &u, unsigned mode) { return mode_t(mode & 0777) & ~u.mask; }

// Writes size bytes of data at offset of fd, continuing short writes.
// Returns 0, or -1 with errno set.
int pwrite_all(int fd, const unsigned char *data, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = pwrite(fd, data, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    data += n;
    size -= size_t(n);
    offset += uint64_t(n);
  }
  return 0;
}

// Makes the entry e (a regular file is opened for its data).  Returns 0,
// or -1 after saying why.
int on_entry(void *ctx, const TreeEntry &e) {
  TreeUnpacker &u = *static_cast<TreeUnpacker *>(ctx);
  const char *last;
  int dir = tree_walk_parent(u.walk, e.name, &last);
  if (dir < 0) return fail(u, e.name);
  struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(e.mtime), 0}};
  switch (e.type) {
    case TreeType::directory: {
      if (mkdirat(dir, last, 0700) == 0) return 0;
      struct stat st;
      int saved = errno;
      if (saved == EEXIST && fstatat(dir, last, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISDIR(st.st_mode))
        return 0;
      errno = saved;
      return fail(u, e.name);
    }
    case TreeType::file:
      u.file_fd = openat(dir, last, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (u.file_fd < 0) return fail(u, e.name);
      u.file_offset = u.file_end = 0;
      u.block_fill = 0;
      return 0;
    case TreeType::symlink:
      if (symlinkat(e.target, dir, last) != 0 ||
          utimensat(dir, last, times, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(u, e.name);
      return 0;
    case TreeType::hard_link: {
      const char *file_last;
      int file_dir = tree_walk_parent(u.link_walk, e.target, &file_last);
      struct stat st;
      if (file_dir < 0 || fstatat(file_dir, file_last, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(u, e.target);
      if (!S_ISREG(st.st_mode)) {  // the parser lets only regular files be named
        errno = EINVAL;
        return fail(u, e.target);
      }
      if (linkat(file_dir, file_last, dir, last, 0) != 0) return fail(u, e.name);
      u.files++;
      return 0;
    }
  }
  return 0;
}

// Writes size bytes of data (whole blocks, at an aligned offset): runs of
// data at once; blocks of zeros are skipped, to be read back as zeros.
int put_blocks(TreeUnpacker &u, const unsigned char *data, size_t size) {
  size_t run = 0;  // where the data not written yet begins
  for (size_t at = 0; at < size; at += tree_hole_size) {
    bool hole = data[at] == 0 && memcmp(data + at, data + at + 1, tree_hole_size - 1) == 0;
    size_t run_end = hole ? at : at + tree_hole_size;
    if (!hole && run_end < size) continue;
    if (run_end > run) {
      if (pwrite_all(u.file_fd, data + run, run_end - run, u.file_offset + run) != 0)
        return fail(u, u.parser.entry.name);
      u.file_end = u.file_offset + run_end;
    }
    run = at + tree_hole_size;
  }
  u.file_offset += size;
  return 0;
}

// Whole aligned blocks go out at once; the bytes of a block that comes in
// pieces wait in u.block until it is whole (or the file ends).
int on_data(void *ctx, const unsigned char *data, size_t size) {
  TreeUnpacker &u = *static_cast<TreeUnpacker *>(ctx);
  u.bytes += size;
  while (size > 0) {
    size_t n = size / tree_hole_size * tree_hole_size;
    if (u.block_fill == 0 && n > 0) {
      if (put_blocks(u, data, n) != 0) return -1;
    } else {
      n = tree_hole_size - u.block_fill < size ? tree_hole_size - u.block_fill : size;
      memcpy(u.block + u.block_fill, data, n);
      u.block_fill += n;
      if (u.block_fill == tree_hole_size) {
        u.block_fill = 0;
        if (put_blocks(u, u.block, tree_hole_size) != 0) return -1;
      }
    }
    data += n;
    size -= n;
  }
  return 0;
}

// Finishes a regular file: its last bytes, its length, mode and time.
// Returns 0, or -1 after saying why.
int on_entry_end(void *ctx, const TreeEntry &e) {
  TreeUnpacker &u = *static_cast<TreeUnpacker *>(ctx);
  if (e.type != TreeType::file) return 0;
  if (u.block_fill > 0) {  // the file's last bytes
    if (pwrite_all(u.file_fd, u.block, u.block_fill, u.file_offset) != 0) return fail(u, e.name);
    u.file_offset += u.block_fill;
    u.file_end = u.file_offset;
    u.block_fill = 0;
  }
  int fd = u.file_fd;
  u.file_fd = -1;
  struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(e.mtime), 0}};
  bool done = (u.file_end == e.size || ftruncate(fd, off_t(e.size)) == 0) &&
              fchmod(fd, final_mode(u, e.mode)) == 0 && futimens(fd, times) == 0;
  int saved = errno;
  if (close(fd) != 0 && done) {
    done = false;
    saved = errno;
  }
  errno = saved;
  if (!done) return fail(u, e.name);
  u.files++;
  return 0;
}

// Gives a directory its mode and time.  Returns 0, or -1 after saying why.
int finish_directory(void *ctx, const TreeEntry &dir) {
  TreeUnpacker &u = *static_cast<TreeUnpacker *>(ctx);
  const char *last;
  int parent = tree_walk_parent(u.walk, dir.name, &last);
  int fd = parent < 0 ? -1 : openat(parent, last, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return fail(u, dir.name);
  struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(dir.mtime), 0}};
  bool done = fchmod(fd, final_mode(u, dir.mode)) == 0 && (dir.implied || futimens(fd, times) == 0);
  int saved = errno;
  close(fd);
  errno = saved;
  return done ? 0 : fail(u, dir.name);
}

}  // namespace

void tree_unpack_begin(TreeUnpacker &u, int root_fd, const char *root_name) {
  TreeParseCalls calls = {on_entry, on_data, on_entry_end};
  tree_parse_begin(u.parser, calls, &u);
  tree_walk_begin(u.walk, root_fd, true);
  tree_walk_begin(u.link_walk, root_fd, false);
  u.root_name = root_name;
  u.mask = umask(0);
  umask(u.mask);
  u.file_fd = -1;
  u.file_offset = u.file_end = 0;
  u.block_fill = 0;
  u.files = u.bytes = 0;
}

int tree_unpack_feed(TreeUnpacker &u, const unsigned char *data, size_t size) {
  return tree_parse_feed(u.parser, data, size);
}

int tree_unpack_end(TreeUnpacker &u) {
  int result = tree_parse_end(u.parser);
  if (result == 0) {
    tree_walk_end(u.link_walk);
    result = tree_parse_each_directory(u.parser, finish_directory, &u) == 0 ? 0 : -1;
  }
  if (u.file_fd >= 0) close(u.file_fd);
  u.file_fd = -1;
  tree_walk_end(u.walk);
  tree_walk_end(u.link_walk);
  tree_parse_free(u.parser);
  return result;
}

}  // namespace kapsa
