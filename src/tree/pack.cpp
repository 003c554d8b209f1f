// Planning and writing the tar stream of a directory tree (the layout is
// described in tree/pack.h).
#include "tree/pack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/syserr.h"
#include "base/text.h"
#include "io/fdio.h"
#include "tree/walk.h"

namespace kapsa {

namespace {

constexpr uint64_t octal_11_limit = uint64_t(1) << 33;  // 8^11: what 11 octal digits hold
constexpr size_t ustar_name_size = 100, ustar_prefix_size = 155, ustar_linkname_size = 100;
// Room for an entry's extended records, and for all of its headers.
constexpr size_t records_room = 2 * (tree_name_max + 1 + 16) + 2 * 40;
constexpr size_t headers_room =
    tree_block + (records_room + tree_block - 1) / tree_block * tree_block + tree_block;
constexpr size_t out_size = 131072;
constexpr uint64_t record_size = 20 * tree_block;  // the stream is padded to a multiple of it

// n rounded up to whole blocks.
uint64_t padded(uint64_t n) { return (n + tree_block - 1) / tree_block * tree_block; }

// "<dir>/<name>" on standard error, escaped, without the line's end.
void print_path(const char *dir, const char *name) {
  text_print_escaped(stderr, dir);
  size_t n = strlen(dir);
  if (name[0] && !(n > 0 && dir[n - 1] == '/')) fputc('/', stderr);
  text_print_escaped(stderr, name);
}

// Prints "<dir>/<name>: <what>[: <target>]" to standard error.  Returns -1.
int report(const char *dir, const char *name, const char *what, const char *target = nullptr) {
  print_path(dir, name);
  fprintf(stderr, ": %s", what);
  if (target) {
    fputs(": ", stderr);
    text_print_escaped(stderr, target);
  }
  fputc('\n', stderr);
  return -1;
}

// Prints "<dir>/<name>: <system error>".  Returns -1.
int report_errno(const char *dir, const char *name) {
  return report(dir, name, syserr_text(errno));
}

// Appends text (len bytes and a NUL) to the plan's text.  Returns its
// offset, or SIZE_MAX when memory ran out.
size_t add_text(TreePlan &plan, const char *text, size_t len) {
  if (plan.text_used + len + 1 > plan.text_room) {
    size_t room = plan.text_room ? 2 * plan.text_room : 65536;
    while (room < plan.text_used + len + 1) room *= 2;
    char *grown = static_cast<char *>(realloc(plan.text, room));
    if (!grown) return SIZE_MAX;
    plan.text = grown;
    plan.text_room = room;
  }
  size_t at = plan.text_used;
  memcpy(plan.text + at, text, len);
  plan.text[at + len] = '\0';
  plan.text_used += len + 1;
  return at;
}

// Adds an entry named path (len bytes) from st, with target (of a link).
// Returns 0, or -1 after saying memory ran out.
int add_entry(TreePlan &plan, const char *path, size_t len, const struct stat &st, TreeType type,
              const char *target, long long clamp_mtime) {
  if (plan.count == plan.room) {
    size_t room = plan.room ? 2 * plan.room : 1024;
    TreePlanEntry *grown =
        static_cast<TreePlanEntry *>(realloc(plan.entries, room * sizeof *grown));
    if (!grown) {
      errno = ENOMEM;
      return report_errno(plan.dir, path);
    }
    plan.entries = grown;
    plan.room = room;
  }
  TreePlanEntry &e = plan.entries[plan.count];
  e = TreePlanEntry{};
  e.type = type;
  e.mode = unsigned(st.st_mode) & 07777;
  e.size = type == TreeType::file ? uint64_t(st.st_size) : 0;
  e.mtime = st.st_mtim.tv_sec;
  if (clamp_mtime >= 0 && e.mtime > clamp_mtime) e.mtime = clamp_mtime;
  e.device = uint64_t(st.st_dev);
  e.inode = uint64_t(st.st_ino);
  e.links = uint64_t(st.st_nlink);
  e.name_at = add_text(plan, path, len);
  e.target_at = target ? add_text(plan, target, strlen(target)) : 0;
  if (e.name_at == SIZE_MAX || e.target_at == SIZE_MAX) {
    errno = ENOMEM;
    return report_errno(plan.dir, path);
  }
  plan.count++;
  return 0;
}

// Adds the entries of the directory open as fd (closed here), whose name
// below the top is path[0..len) ("" or ending in "/"; path holds
// tree_name_max + 2 bytes).  Returns 0, or -1 after saying why.
int scan(TreePlan &plan, int fd, char *path, size_t len, long long clamp_mtime) {
  DIR *d = fdopendir(fd);
  if (!d) {
    int saved = errno;
    close(fd);
    errno = saved;
    return report_errno(plan.dir, path);
  }
  std::unique_ptr<DIR, int (*)(DIR *)> closer(d, closedir);
  for (;;) {
    errno = 0;
    struct dirent *de = readdir(d);
    if (!de) {
      if (errno == 0) return 0;
      path[len] = '\0';
      return report_errno(plan.dir, path);
    }
    const char *name = de->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    size_t name_len = strlen(name);
    if (len + name_len > tree_name_max) {
      path[len] = '\0';
      print_path(plan.dir, path);
      text_print_escaped(stderr, name);
      fputs(": name too long\n", stderr);
      return -1;
    }
    memcpy(path + len, name, name_len + 1);
    size_t full = len + name_len;
    struct stat st;
    if (fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return report_errno(plan.dir, path);
    if (S_ISDIR(st.st_mode)) {
      int sub = openat(dirfd(d), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) return report_errno(plan.dir, path);
      path[full] = '/';
      path[full + 1] = '\0';
      if (add_entry(plan, path, full + 1, st, TreeType::directory, nullptr, clamp_mtime) != 0) {
        close(sub);
        return -1;
      }
      if (scan(plan, sub, path, full + 1, clamp_mtime) != 0) return -1;
    } else if (S_ISREG(st.st_mode)) {
      int file = openat(dirfd(d), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      if (file < 0) return report_errno(plan.dir, path);
      close(file);
      if (add_entry(plan, path, full, st, TreeType::file, nullptr, clamp_mtime) != 0) return -1;
    } else if (S_ISLNK(st.st_mode)) {
      char target[tree_name_max + 1];
      ssize_t n = readlinkat(dirfd(d), name, target, sizeof target);
      if (n < 0) return report_errno(plan.dir, path);
      if (size_t(n) == sizeof target) return report(plan.dir, path, "link target too long");
      target[n] = '\0';
      const char *refusal = tree_link_refusal(path, target);
      if (refusal && strcmp(refusal, "'..' after a name in the link") == 0)
        return report(plan.dir, path, "symbolic link target has '..' after a name", target);
      if (refusal) return report(plan.dir, path, "symbolic link points outside the tree", target);
      if (add_entry(plan, path, full, st, TreeType::symlink, target, clamp_mtime) != 0) return -1;
    } else {
      return report(plan.dir, path,
                    S_ISFIFO(st.st_mode)   ? "cannot pack a FIFO"
                    : S_ISSOCK(st.st_mode) ? "cannot pack a socket"
                    : S_ISCHR(st.st_mode)  ? "cannot pack a character device"
                    : S_ISBLK(st.st_mode)  ? "cannot pack a block device"
                                           : "cannot pack this kind of file");
    }
  }
}

// Orders entries bytewise by name.
int by_name(const void *a, const void *b) {
  return strcmp(static_cast<const TreePlanEntry *>(a)->name,
                static_cast<const TreePlanEntry *>(b)->name);
}

// Orders files by inode, then by their place in the stream.
int by_inode(const void *a, const void *b) {
  const TreePlanEntry *x = *static_cast<TreePlanEntry *const *>(a);
  const TreePlanEntry *y = *static_cast<TreePlanEntry *const *>(b);
  if (x->device != y->device) return x->device < y->device ? -1 : 1;
  if (x->inode != y->inode) return x->inode < y->inode ? -1 : 1;
  return x < y ? -1 : x > y;
}

// Makes every regular file whose inode an earlier name has a hard link to
// that name.  Returns 0, or -1 after saying memory ran out.
int find_hard_links(TreePlan &plan) {
  size_t count = 0;
  for (size_t i = 0; i < plan.count; i++)
    count += plan.entries[i].type == TreeType::file && plan.entries[i].links > 1;
  if (count < 2) return 0;
  std::unique_ptr<TreePlanEntry *, void (*)(void *)> files(
      static_cast<TreePlanEntry **>(malloc(count * sizeof(TreePlanEntry *))), free);
  if (!files) {
    errno = ENOMEM;
    return report_errno(plan.dir, "");
  }
  TreePlanEntry **f = files.get();
  size_t n = 0;
  for (size_t i = 0; i < plan.count; i++)
    if (plan.entries[i].type == TreeType::file && plan.entries[i].links > 1)
      f[n++] = &plan.entries[i];
  qsort(f, n, sizeof *f, by_inode);
  for (size_t i = 1; i < n; i++) {
    size_t first = i - 1;
    while (i < n && f[i]->device == f[first]->device && f[i]->inode == f[first]->inode) {
      f[i]->type = TreeType::hard_link;
      f[i]->target = f[first]->name;
      f[i]->size = 0;
      i++;
    }
  }
  return 0;
}

// Whether text has no byte beyond ASCII (a ustar field holds it as it is).
bool portable(const char *text) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++)
    if (*p >= 0x80) return false;
  return true;
}

// Writes value as size - 1 octal digits and a NUL into field.
void put_octal(unsigned char *field, size_t size, uint64_t value) {
  for (size_t i = size - 1; i-- > 0; value >>= 3)
    field[i] = static_cast<unsigned char>('0' + (value & 7));
  field[size - 1] = '\0';
}

size_t decimal_digits(size_t n) {
  size_t digits = 1;
  for (; n >= 10; n /= 10) digits++;
  return digits;
}

// Appends the record "<length> <key>=<value>\n" to records at *used; the
// length counts its own digits.
void put_record(char *records, size_t *used, const char *key, const char *value) {
  size_t base = 3 + strlen(key) + strlen(value);  // " ", "=", "\n"
  size_t length = base + decimal_digits(base);
  if (decimal_digits(length) > decimal_digits(base)) length++;
  *used +=
      size_t(snprintf(records + *used, records_room - *used, "%zu %s=%s\n", length, key, value));
}

// Fills the ustar header block h.
void put_ustar(unsigned char *h, const char *name, const char *prefix, size_t prefix_len,
               unsigned mode, uint64_t size, uint64_t mtime, char typeflag, const char *linkname) {
  memset(h, 0, tree_block);
  memcpy(h + 0, name, strnlen(name, ustar_name_size));                // name
  put_octal(h + 100, 8, mode);                                        // mode
  put_octal(h + 108, 8, 0);                                           // uid
  put_octal(h + 116, 8, 0);                                           // gid
  put_octal(h + 124, 12, size);                                       // size
  put_octal(h + 136, 12, mtime);                                      // mtime
  memset(h + 148, ' ', 8);                                            // chksum, for now
  h[156] = static_cast<unsigned char>(typeflag);                      // typeflag
  memcpy(h + 157, linkname, strnlen(linkname, ustar_linkname_size));  // linkname
  memcpy(h + 257, "ustar", 6);                                        // magic, its NUL
  memcpy(h + 263, "00", 2);                                           // version
  put_octal(h + 329, 8, 0);                                           // devmajor
  put_octal(h + 337, 8, 0);                                           // devminor
  memcpy(h + 345, prefix, prefix_len);                                // prefix
  unsigned sum = 0;
  for (size_t i = 0; i < tree_block; i++) sum += h[i];
  put_octal(h + 148, 7, sum);  // chksum: 6 digits, NUL,
  h[155] = ' ';                //   blank
}

// Writes the headers of e to out (headers_room bytes).  Returns their size.
size_t put_headers(const TreePlanEntry &e, unsigned char *out) {
  const char *name = e.name;
  size_t len = strlen(name);
  const char *prefix = "";
  size_t prefix_len = 0;
  bool path_record = !portable(name);
  if (!path_record && len > ustar_name_size) {
    // The last "/" that leaves a prefix of at most 155 bytes and a name.
    size_t i = len - 2 < ustar_prefix_size ? len - 2 : ustar_prefix_size;
    while (i > 0 && name[i] != '/') i--;
    if (i > 0 && len - i - 1 <= ustar_name_size) {
      prefix = name;
      prefix_len = i;
      name += i + 1;
    } else {
      path_record = true;
    }
  }
  bool link_record = strlen(e.target) > ustar_linkname_size || !portable(e.target);
  bool size_record = e.size >= octal_11_limit;
  bool mtime_record = e.mtime < 0 || uint64_t(e.mtime) >= octal_11_limit;
  size_t at = 0;
  if (path_record || link_record || size_record || mtime_record) {
    char records[records_room];
    size_t used = 0;
    char number[24];
    if (path_record) put_record(records, &used, "path", e.name);
    if (link_record) put_record(records, &used, "linkpath", e.target);
    if (size_record) {
      snprintf(number, sizeof number, "%llu", (unsigned long long)e.size);
      put_record(records, &used, "size", number);
    }
    if (mtime_record) {
      snprintf(number, sizeof number, "%lld", (long long)e.mtime);
      put_record(records, &used, "mtime", number);
    }
    put_ustar(out, "././@PaxHeader", "", 0, 0644, used, 0, 'x', "");
    memcpy(out + tree_block, records, used);
    at = tree_block + padded(used);
    memset(out + tree_block + used, 0, at - tree_block - used);
  }
  char typeflag = char(e.type);
  put_ustar(out + at, name, prefix, prefix_len, e.mode, size_record ? 0 : e.size,
            mtime_record ? 0 : uint64_t(e.mtime), typeflag, e.target);
  return at + tree_block;
}

// The stream's output: a buffer in front of the descriptor.
struct Out {
  int fd;              // where the stream goes
  const char *name;    // its name, for messages
  unsigned char *buf;  // out_size bytes
  size_t fill;         // bytes in buf
  uint64_t total;      // bytes written and buffered
};

// Writes what o holds.  Returns 0, or -1 after "<out>: <system error>".
int flush(Out &o) {
  if (o.fill && fdio_write(o.fd, o.buf, o.fill) != 0) {
    syserr_report(o.name);
    return -1;
  }
  o.fill = 0;
  return 0;
}

// Makes room for need bytes in o.buf.  Returns 0, or -1 after a failed write.
int room(Out &o, size_t need) { return out_size - o.fill < need ? flush(o) : 0; }

// Appends count zero bytes to o.  Returns 0, or -1 after a failed write.
int put_zeros(Out &o, uint64_t count) {
  while (count > 0) {
    if (room(o, 1) != 0) return -1;
    size_t n = out_size - o.fill < count ? out_size - o.fill : size_t(count);
    memset(o.buf + o.fill, 0, n);
    o.fill += n;
    o.total += n;
    count -= n;
  }
  return 0;
}

// Copies the regular file e from the tree into o, padded.  Returns 0, or
// -1 after saying why.
int put_file(const TreePlan &plan, TreeWalk &walk, const TreePlanEntry &e, Out &o) {
  const char *last;
  int dir = tree_walk_parent(walk, e.name, &last);
  int fd =
      dir < 0 ? -1 : openat(dir, last, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return report_errno(plan.dir, e.name);
  std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
  struct stat st;
  if (fstat(fd, &st) != 0) return report_errno(plan.dir, e.name);
  if (!S_ISREG(st.st_mode)) return report(plan.dir, e.name, "is no longer a regular file");
  if (uint64_t(st.st_size) != e.size)
    return report(plan.dir, e.name, "changed size while it was read");
  for (uint64_t left = e.size; left > 0;) {
    if (room(o, tree_block) != 0) return -1;
    size_t want = out_size - o.fill < left ? out_size - o.fill : size_t(left);
    size_t got = fdio_read(fd, o.buf + o.fill, want);
    if (got < want && errno != 0) return report_errno(plan.dir, e.name);
    if (got < want) return report(plan.dir, e.name, "changed size while it was read");
    o.fill += got;
    o.total += got;
    left -= got;
  }
  unsigned char more;
  size_t extra = fdio_read(fd, &more, 1);
  if (extra == 0 && errno != 0) return report_errno(plan.dir, e.name);
  if (extra) return report(plan.dir, e.name, "changed size while it was read");
  return put_zeros(o, padded(e.size) - e.size);
}

// Writes the whole stream of plan to o.  Returns 0, or -1 after saying why.
int put_entries(const TreePlan &plan, TreeWalk &walk, Out &o) {
  for (size_t i = 0; i < plan.count; i++) {
    const TreePlanEntry &e = plan.entries[i];
    if (room(o, headers_room) != 0) return -1;
    size_t n = put_headers(e, o.buf + o.fill);
    o.fill += n;
    o.total += n;
    if (e.type == TreeType::file && put_file(plan, walk, e, o) != 0) return -1;
  }
  if (put_zeros(o, plan.stream_bytes - o.total) != 0) return -1;
  return flush(o);
}

}  // namespace

int tree_plan(const char *dir, long long clamp_mtime, TreePlan *plan) {
  *plan = TreePlan{};
  plan->dir = dir;
  plan->dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (plan->dir_fd < 0) {
    syserr_report(dir);
    return -1;
  }
  if (add_text(*plan, "", 0) == SIZE_MAX) {  // offset 0: the empty target
    errno = ENOMEM;
    syserr_report(dir);
    return -1;
  }
  int top = openat(plan->dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) {
    syserr_report(dir);
    return -1;
  }
  char path[tree_name_max + 2];
  path[0] = '\0';
  if (scan(*plan, top, path, 0, clamp_mtime) != 0) return -1;
  for (size_t i = 0; i < plan->count; i++) {
    TreePlanEntry &e = plan->entries[i];
    e.name = plan->text + e.name_at;
    e.target = plan->text + e.target_at;
  }
  if (plan->count) qsort(plan->entries, plan->count, sizeof *plan->entries, by_name);
  if (find_hard_links(*plan) != 0) return -1;
  unsigned char scratch[headers_room];
  uint64_t bytes = 0;
  for (size_t i = 0; i < plan->count; i++) {
    const TreePlanEntry &e = plan->entries[i];
    bytes += put_headers(e, scratch) + padded(e.size);
    plan->file_bytes += e.size;
  }
  bytes += 2 * tree_block;
  plan->stream_bytes = (bytes + record_size - 1) / record_size * record_size;
  return 0;
}

int tree_stream(const TreePlan &plan, int out_fd, const char *out_name) {
  std::unique_ptr<unsigned char, void (*)(void *)> buf(
      static_cast<unsigned char *>(malloc(out_size)), free);
  if (!buf) {
    errno = ENOMEM;
    syserr_report(out_name);
    return -1;
  }
  Out o = {out_fd, out_name, buf.get(), 0, 0};
  TreeWalk walk;
  tree_walk_begin(walk, plan.dir_fd, false);
  int result = put_entries(plan, walk, o);
  tree_walk_end(walk);
  return result;
}

void tree_plan_free(TreePlan *plan) {
  if (plan->dir_fd >= 0) close(plan->dir_fd);
  free(plan->entries);
  free(plan->text);
  *plan = TreePlan{};
  plan->dir_fd = -1;
}

}  // namespace kapsa
