// The tar stream parser and its policy (the format and the policy are
// described in tree/tar.h).
#include "tree/tar.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/syserr.h"
#include "base/text.h"

namespace kapsa {

namespace {

// What the next bytes of the stream belong to.
enum State {
  st_header,    // a header block
  st_end,       // the second zero block
  st_done,      // zero bytes after the end
  st_data,      // an entry's data
  st_extended,  // an extended header's data
  st_padding,   // padding to the next block
};

// Header fields: offsets and sizes (tree/tar.h).
constexpr size_t f_name = 0, f_name_size = 100;
constexpr size_t f_mode = 100, f_uid = 108, f_gid = 116, f_id_size = 8;
constexpr size_t f_size = 124, f_mtime = 136, f_number_size = 12;
constexpr size_t f_chksum = 148, f_chksum_size = 8;
constexpr size_t f_typeflag = 156;
constexpr size_t f_linkname = 157, f_linkname_size = 100;
constexpr size_t f_magic = 257;
constexpr size_t f_prefix = 345, f_prefix_size = 155;

// One name of the table; the name and its NUL follow, then padding to 8.
struct NameRecord {
  int64_t mtime;    // a listed directory's mtime
  uint32_t mode;    // a listed directory's mode
  uint16_t length;  // bytes of the name
  char type;        // a TreeType
  bool implied;     // a directory made for a name below it, never listed
};
static_assert(sizeof(NameRecord) == 16, "records stay 8-byte aligned");

// The bytes a record of a name of length bytes takes, padding included.
size_t record_size(size_t length) { return (sizeof(NameRecord) + length + 1 + 7) & ~size_t(7); }

NameRecord *record_at(const TreeNames &t, size_t offset) {
  return reinterpret_cast<NameRecord *>(t.records + offset);
}

const char *record_name(const NameRecord *r) { return reinterpret_cast<const char *>(r + 1); }

uint64_t name_hash(const char *name, size_t length) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (size_t i = 0; i < length; i++)
    h = (h ^ static_cast<unsigned char>(name[i])) * 1099511628211ull;
  return h;
}

// The record of the name of length bytes, or null.
NameRecord *names_find(const TreeNames &t, const char *name, size_t length) {
  if (!t.slot_count) return nullptr;
  size_t mask = t.slot_count - 1;
  for (size_t i = name_hash(name, length) & mask; t.slots[i]; i = (i + 1) & mask) {
    NameRecord *r = record_at(t, t.slots[i] - 1);
    if (r->length == length && memcmp(record_name(r), name, length) == 0) return r;
  }
  return nullptr;
}

// Puts the record at offset into the first free slot of its hash.
void names_place(TreeNames &t, size_t offset) {
  const NameRecord *r = record_at(t, offset);
  size_t mask = t.slot_count - 1;
  size_t i = name_hash(record_name(r), r->length) & mask;
  while (t.slots[i]) i = (i + 1) & mask;
  t.slots[i] = offset + 1;
}

// Adds the name of length bytes (not held yet) with type.  Returns its
// record, valid until the next addition, or null when memory ran out.
NameRecord *names_add(TreeNames &t, const char *name, size_t length, TreeType type) {
  if (2 * (t.count + 1) > t.slot_count) {
    size_t count = t.slot_count ? 2 * t.slot_count : 1024;
    size_t *slots = static_cast<size_t *>(calloc(count, sizeof *slots));
    if (!slots) return nullptr;
    free(t.slots);
    t.slots = slots;
    t.slot_count = count;
    for (size_t at = 0; at < t.used; at += record_size(record_at(t, at)->length))
      names_place(t, at);
  }
  size_t need = record_size(length);
  if (t.used + need > t.room) {
    size_t room = t.room ? 2 * t.room : 65536;
    while (room < t.used + need) room *= 2;
    unsigned char *records = static_cast<unsigned char *>(realloc(t.records, room));
    if (!records) return nullptr;
    t.records = records;
    t.room = room;
  }
  size_t offset = t.used;
  NameRecord *r = record_at(t, offset);
  *r = NameRecord{0, 0777, uint16_t(length), char(type), type == TreeType::directory};
  memcpy(r + 1, name, length);
  reinterpret_cast<char *>(r + 1)[length] = '\0';
  t.used += need;
  t.count++;
  names_place(t, offset);
  return r;
}

// Copies at most cap - 1 bytes of text into dst, always terminated.
void copy_cut(char *dst, size_t cap, const char *text) {
  size_t n = strnlen(text, cap - 1);
  memcpy(dst, text, n);
  dst[n] = '\0';
}

// Refuses the stream: the entry name (as stored) or the header or byte at
// offset, for reason.  Returns 1.
int refuse(TreeParser &p, const char *reason, const char *name, uint64_t offset) {
  p.status = 1;
  p.reason = reason;
  copy_cut(p.bad_name, sizeof p.bad_name, name);
  p.bad_offset = offset;
  return 1;
}

// Refuses the stream for the header block last gathered.  Returns 1.
int refuse_header(TreeParser &p, const char *reason) {
  return refuse(p, reason, "", p.header_offset);
}

// Stops the parsing after "<name>: Cannot allocate memory".  Returns -1.
int out_of_memory(TreeParser &p, const char *name) {
  errno = ENOMEM;
  syserr_report(name);
  p.status = -1;
  return -1;
}

// Reads the numeric field of size bytes at f into *value: octal, or
// base-256 (a first byte 0x80, or 0xff for a negative value when
// negative_ok).  Returns false when the field holds no such number.
bool field_number(const unsigned char *f, size_t size, bool negative_ok, int64_t *value) {
  if (f[0] == 0x80 || (negative_ok && f[0] == 0xff)) {
    bool negative = f[0] == 0xff;
    uint64_t v = negative ? ~uint64_t(0) : 0;
    for (size_t i = 1; i < size; i++) {
      if ((v >> 56) != (negative ? 0xff : 0)) return false;  // beyond 64 bits
      v = (v << 8) | f[i];
    }
    if ((int64_t(v) < 0) != negative) return false;
    *value = int64_t(v);
    return true;
  }
  size_t i = 0;
  while (i < size && f[i] == ' ') i++;
  int64_t v = 0;
  for (; i < size && f[i] >= '0' && f[i] <= '7'; i++) v = v * 8 + (f[i] - '0');  // 36 bits at most
  for (; i < size; i++)
    if (f[i] != ' ' && f[i] != '\0') return false;
  *value = v;
  return true;
}

// Whether the header block h holds the checksum of its bytes.
bool checksum_good(const unsigned char *h) {
  int64_t stored;
  if (!field_number(h + f_chksum, f_chksum_size, false, &stored)) return false;
  // The field counts as blanks; old writers summed signed bytes.
  int64_t sum = 0, signed_sum = 0;
  for (size_t i = 0; i < tree_block; i++) {
    bool in_field = i >= f_chksum && i < f_chksum + f_chksum_size;
    sum += in_field ? ' ' : h[i];
    signed_sum += in_field ? ' ' : static_cast<signed char>(h[i]);
  }
  return stored == sum || stored == signed_sum;
}

// Cleans the relative name raw into out (tree_name_max + 2 bytes): drops
// "." and empty components and a trailing "/".  Returns null, or the
// reason it is refused.
const char *clean_name(const char *raw, char *out) {
  if (raw[0] == '/') return "absolute name";
  size_t n = 0;
  for (const char *p = raw; *p;) {
    size_t len = strcspn(p, "/");
    if (len == 2 && p[0] == '.' && p[1] == '.') return "leaves the tree";
    if (len > 0 && !(len == 1 && p[0] == '.')) {
      if (n + (n > 0) + len > tree_name_max) return "name too long";
      if (n > 0) out[n++] = '/';
      memcpy(out + n, p, len);
      n += len;
    }
    p += len;
    p += *p == '/';
  }
  out[n] = '\0';
  return n ? nullptr : "empty name";
}

// Takes one record value of an extended header: key (key_len bytes) =
// value (len bytes).  Returns 0, or 1 when refused.
int take_record(TreeParser &p, bool global, const char *key, size_t key_len, const char *value,
                size_t len) {
  auto is = [&](const char *k) { return strlen(k) == key_len && memcmp(key, k, key_len) == 0; };
  bool path = is("path"), linkpath = is("linkpath");
  if (global && (path || linkpath || is("size") || is("mtime")))
    return refuse_header(p, "global extended header");
  if (path || linkpath) {
    char *dst = path ? p.name : p.target;
    size_t cap = path ? tree_name_max + 1 : tree_name_max;  // a directory's "/"
    if (len == 0) return refuse_header(p, "bad extended header");
    if (len > cap) return refuse_header(p, path ? "name too long" : "link target too long");
    memcpy(dst, value, len);
    dst[len] = '\0';
    if (strlen(dst) != len)
      return refuse(p, path ? "NUL in name" : "NUL in link target", dst, p.header_offset);
    (path ? p.has_path : p.has_linkpath) = true;
  } else if (is("size") || is("mtime")) {
    bool mtime = key[0] == 'm';
    size_t i = mtime && len > 0 && value[0] == '-';
    size_t digits = 0;
    uint64_t v = 0;
    for (; i < len && value[i] >= '0' && value[i] <= '9'; i++, digits++) {
      if (v > (uint64_t(INT64_MAX) - 9) / 10) return refuse_header(p, "bad extended header");
      v = v * 10 + uint64_t(value[i] - '0');
    }
    if (mtime && i < len && value[i] == '.')  // a fraction of a second: dropped
      for (i++; i < len && value[i] >= '0' && value[i] <= '9';) i++;
    if (digits == 0 || i != len) return refuse_header(p, "bad extended header");
    if (mtime) {
      p.mtime = value[0] == '-' ? -int64_t(v) : int64_t(v);
      p.has_mtime = true;
    } else {
      p.size = v;
      p.has_size = true;
    }
  } else if (key_len >= 11 && memcmp(key, "GNU.sparse.", 11) == 0) {
    return refuse_header(p, "sparse file");
  }
  return 0;
}

// Takes the gathered data of an extended header.  Returns 0, or 1 when refused.
int take_extended(TreeParser &p) {
  const char *data = reinterpret_cast<const char *>(p.extended);
  size_t size = p.extended_size;
  if (p.extended_type == 'L' || p.extended_type == 'K') {  // a GNU long name, NUL-terminated
    bool name = p.extended_type == 'L';
    size_t len = strnlen(data, size);
    if (len > (name ? tree_name_max + 1 : tree_name_max))
      return refuse_header(p, name ? "name too long" : "link target too long");
    char *dst = name ? p.name : p.target;
    memcpy(dst, data, len);
    dst[len] = '\0';
    (name ? p.has_path : p.has_linkpath) = true;
    return 0;
  }
  for (size_t at = 0; at < size;) {
    // "<length> <key>=<value>\n"
    size_t length = 0, i = at;
    for (; i < size && data[i] >= '0' && data[i] <= '9' && length <= size; i++)
      length = length * 10 + size_t(data[i] - '0');
    size_t end = at + length;
    if (i == at || data[at] == '0' || i >= size || data[i] != ' ' || length > size - at ||
        end < i + 4 || data[end - 1] != '\n')
      return refuse_header(p, "bad extended header");
    const char *key = data + i + 1;
    const char *equals = static_cast<const char *>(memchr(key, '=', size_t(data + end - 1 - key)));
    if (!equals || equals == key) return refuse_header(p, "bad extended header");
    if (take_record(p, p.extended_type == 'g', key, size_t(equals - key), equals + 1,
                    size_t(data + end - 1 - (equals + 1))) != 0)
      return 1;
    at = end;
  }
  return 0;
}

// Ends the entry after its size bytes of data (or after its header when
// it has none): the entry_end call, then its padding.  Returns 0, or -1
// when the call failed.
int finish_entry(TreeParser &p, uint64_t size) {
  if (p.calls.entry_end && p.calls.entry_end(p.ctx, p.entry) != 0) {
    p.status = -1;
    return -1;
  }
  p.padding = (tree_block - size % tree_block) % tree_block;
  p.state = p.padding ? st_padding : st_header;
  return 0;
}

// Checks the entry in p.entry against the names made so far and records
// it.  Returns 0, 1 when refused, -1 when memory ran out.
int take_name(TreeParser &p, const char *raw) {
  TreeEntry &e = p.entry;
  TreeNames &t = p.names;
  // Every directory above it is one the stream made or implied.
  for (const char *slash = strchr(e.name, '/'); slash; slash = strchr(slash + 1, '/')) {
    size_t len = size_t(slash - e.name);
    NameRecord *r = names_find(t, e.name, len);
    if (!r && !names_add(t, e.name, len, TreeType::directory)) return out_of_memory(p, raw);
    if (r && r->type == char(TreeType::symlink))
      return refuse(p, "through a symbolic link", raw, p.header_offset);
    if (r && r->type != char(TreeType::directory))
      return refuse(p, "below a file", raw, p.header_offset);
  }
  if (e.type == TreeType::hard_link) {
    const NameRecord *r = names_find(t, e.target, strlen(e.target));
    if (!r || r->type != char(TreeType::file))
      return refuse(p, "hard link to an unknown file", raw, p.header_offset);
  }
  size_t len = strlen(e.name);
  NameRecord *r = names_find(t, e.name, len);
  if (r && !(r->type == char(TreeType::directory) && e.type == TreeType::directory))
    return refuse(p, "replaces an earlier entry", raw, p.header_offset);
  TreeType kind = e.type == TreeType::hard_link ? TreeType::file : e.type;
  if (!r && !(r = names_add(t, e.name, len, kind))) return out_of_memory(p, raw);
  if (e.type == TreeType::directory) {
    r->mode = e.mode;
    r->mtime = e.mtime;
    r->implied = false;
  }
  return 0;
}

// Takes a complete entry header in p.block.  Returns 0, 1 when refused,
// -1 when a call failed or memory ran out.
int take_entry(TreeParser &p, char typeflag, bool posix) {
  const unsigned char *h = p.block;
  TreeEntry &e = p.entry;
  char raw[tree_name_max + 2];  // the name as stored, for messages
  if (p.has_path) {
    text_copy(raw, sizeof raw, p.name);
  } else {
    size_t prefix_len =
        posix ? strnlen(reinterpret_cast<const char *>(h + f_prefix), f_prefix_size) : 0;
    size_t name_len = strnlen(reinterpret_cast<const char *>(h + f_name), f_name_size);
    memcpy(raw, h + f_prefix, prefix_len);
    raw[prefix_len] = '/';
    size_t at = prefix_len ? prefix_len + 1 : 0;
    memcpy(raw + at, h + f_name, name_len);
    raw[at + name_len] = '\0';
  }
  if (!p.has_linkpath) {
    size_t len = strnlen(reinterpret_cast<const char *>(h + f_linkname), f_linkname_size);
    memcpy(p.target, h + f_linkname, len);
    p.target[len] = '\0';
  }
  int64_t mode, uid, gid, size, mtime;
  if (!field_number(h + f_mode, f_id_size, false, &mode) ||
      !field_number(h + f_uid, f_id_size, false, &uid) ||
      !field_number(h + f_gid, f_id_size, false, &gid) ||
      !field_number(h + f_size, f_number_size, false, &size) ||
      !field_number(h + f_mtime, f_number_size, true, &mtime))
    return refuse(p, "bad number in header", raw, p.header_offset);
  e.mode = unsigned(mode) & 07777;
  e.size = p.has_size ? p.size : uint64_t(size);
  e.mtime = p.has_mtime ? p.mtime : mtime;
  e.implied = false;
  p.has_path = p.has_linkpath = p.has_size = p.has_mtime = false;

  // The entry types packed and unpacked, and the words for those refused.
  static const struct {
    const char *flags;  // the typeflags of the type
    TreeType type;
    const char *refusal;  // null: taken
  } types[] = {{"0\0" "7", TreeType::file, nullptr},
               {"1", TreeType::hard_link, nullptr},
               {"2", TreeType::symlink, nullptr},
               {"5", TreeType::directory, nullptr},
               {"34", TreeType::file, "device file"},
               {"6", TreeType::file, "FIFO"}};
  const char *refusal = "unsupported entry type";
  for (const auto &t : types) {
    size_t flags = t.flags[0] == '0' ? 3 : strlen(t.flags);  // the file's include NUL
    if (!memchr(t.flags, typeflag, flags)) continue;
    e.type = t.type;
    refusal = t.refusal;
    break;
  }
  if (refusal) return refuse(p, refusal, raw, p.header_offset);
  const char *reason = clean_name(raw, p.name);
  size_t raw_len = strlen(raw);
  if (!reason && raw[raw_len - 1] == '/' && e.type != TreeType::directory)
    reason = "'/' at the end of a non-directory";
  if (!reason && e.type != TreeType::file && e.size != 0) reason = "data on a non-file";
  if (!reason && e.type == TreeType::symlink) reason = tree_link_refusal(p.name, p.target);
  if (!reason && e.type == TreeType::hard_link) {
    char clean[tree_name_max + 2];
    const char *bad = clean_name(p.target, clean);
    if (bad && strcmp(bad, "empty name") != 0) reason = "link outside the tree";
    if (!reason) text_copy(p.target, sizeof p.target, bad ? "" : clean);
  }
  if (e.type != TreeType::symlink && e.type != TreeType::hard_link) p.target[0] = '\0';
  if (reason) return refuse(p, reason, raw, p.header_offset);
  e.name = p.name;
  e.target = p.target;
  int taken = take_name(p, raw);
  if (taken != 0) return taken;
  if (p.calls.entry && p.calls.entry(p.ctx, e) != 0) {
    p.status = -1;
    return -1;
  }
  if (e.type == TreeType::file && e.size > 0) {
    p.remaining = e.size;
    p.state = st_data;
    return 0;
  }
  return finish_entry(p, 0);
}

// Takes the complete header block in p.block: the end blocks, an entry's
// header, or an extended header whose data is gathered next.  Returns 0,
// 1 when refused, -1 when a call failed or memory ran out.
int take_block(TreeParser &p) {
  const unsigned char *h = p.block;
  bool zero = true;
  for (size_t i = 0; i < tree_block && zero; i++) zero = h[i] == 0;
  if (p.state == st_end) {
    if (!zero) return refuse_header(p, "lone zero block");
    p.state = st_done;
    return 0;
  }
  if (zero) {
    if (p.has_path || p.has_linkpath || p.has_size || p.has_mtime)
      return refuse_header(p, "extended header without an entry");
    p.state = st_end;
    return 0;
  }
  if (!checksum_good(h)) return refuse_header(p, "bad header checksum");
  bool posix = memcmp(h + f_magic, "ustar\0", 6) == 0;
  if (!posix && memcmp(h + f_magic, "ustar  \0", 8) != 0)
    return refuse_header(p, "unknown header format");
  char typeflag = char(h[f_typeflag]);
  if (typeflag != 'x' && typeflag != 'g' && typeflag != 'L' && typeflag != 'K')
    return take_entry(p, typeflag, posix);
  int64_t size;
  if (!field_number(h + f_size, f_number_size, false, &size))
    return refuse_header(p, "bad number in header");
  if (uint64_t(size) > tree_extended_max) return refuse_header(p, "extended header too long");
  free(p.extended);
  p.extended = static_cast<unsigned char *>(malloc(size_t(size) + 1));
  if (!p.extended) return out_of_memory(p, "");
  p.extended_type = typeflag;
  p.extended_size = size_t(size);
  p.extended_fill = 0;
  p.remaining = uint64_t(size);
  p.state = st_extended;
  if (size == 0) {
    if (take_extended(p) != 0) return 1;
    p.state = st_header;
  }
  return 0;
}

}  // namespace

void tree_parse_begin(TreeParser &p, const TreeParseCalls &calls, void *ctx) {
  memset(&p, 0, sizeof p);
  p.calls = calls;
  p.ctx = ctx;
  p.state = st_header;
  p.entry.name = p.name;
  p.entry.target = p.target;
}

int tree_parse_feed(TreeParser &p, const unsigned char *data, size_t size) {
  while (size > 0 && p.status == 0) {
    size_t n = size;
    switch (p.state) {
      case st_header:
      case st_end:
        n = tree_block - p.block_fill < size ? tree_block - p.block_fill : size;
        memcpy(p.block + p.block_fill, data, n);
        p.block_fill += n;
        if (p.block_fill == tree_block) {
          p.block_fill = 0;
          p.header_offset = p.offset + n - tree_block;
          take_block(p);
        }
        break;
      case st_data:
        if (n > p.remaining) n = size_t(p.remaining);
        if (p.calls.data && p.calls.data(p.ctx, data, n) != 0) {
          p.status = -1;
          break;
        }
        p.remaining -= n;
        if (p.remaining == 0) finish_entry(p, p.entry.size);
        break;
      case st_extended:
        if (n > p.remaining) n = size_t(p.remaining);
        memcpy(p.extended + p.extended_fill, data, n);
        p.extended_fill += n;
        p.remaining -= n;
        if (p.remaining == 0 && take_extended(p) == 0) {
          p.padding = (tree_block - p.extended_size % tree_block) % tree_block;
          p.state = p.padding ? st_padding : st_header;
        }
        break;
      case st_padding:
        if (n > p.padding) n = size_t(p.padding);
        p.padding -= n;
        if (p.padding == 0) p.state = st_header;
        break;
      case st_done:
        for (size_t i = 0; i < size; i++)
          if (data[i] != 0) {
            refuse(p, "data after the end", "", p.offset + i);
            break;
          }
        break;
    }
    p.offset += n;
    data += n;
    size -= n;
  }
  return p.status;
}

int tree_parse_end(TreeParser &p) {
  if (p.status != 0) return p.status;
  if (p.state == st_done) return 0;
  return refuse(p, "truncated", p.state == st_data ? p.entry.name : "", p.offset);
}

int tree_parse_each_directory(const TreeParser &p, int (*fn)(void *ctx, const TreeEntry &dir),
                              void *ctx) {
  const TreeNames &t = p.names;
  size_t *dirs = static_cast<size_t *>(malloc((t.count ? t.count : 1) * sizeof *dirs));
  if (!dirs) {
    errno = ENOMEM;
    syserr_report("");
    return -1;
  }
  size_t count = 0;
  for (size_t at = 0; at < t.used; at += record_size(record_at(t, at)->length))
    if (record_at(t, at)->type == char(TreeType::directory)) dirs[count++] = at;
  int result = 0;
  while (count > 0 && result == 0) {
    const NameRecord *r = record_at(t, dirs[--count]);
    TreeEntry dir = {TreeType::directory, record_name(r), "", r->mode, 0, r->mtime, r->implied};
    result = fn(ctx, dir);
  }
  free(dirs);
  return result;
}

void tree_parse_free(TreeParser &p) {
  free(p.extended);
  free(p.names.records);
  free(p.names.slots);
  p.extended = nullptr;
  p.names = TreeNames{};
}

void tree_report_unsafe(const char *archive, const TreeParser &p) {
  text_print_escaped(stderr, archive);
  if (p.bad_name[0]) {
    fputs(": unsafe entry in the tree: ", stderr);
    text_print_escaped(stderr, p.bad_name);
    fprintf(stderr, " (%s)\n", p.reason);
  } else {
    fprintf(stderr, ": damaged tree at byte %llu (%s)\n", (unsigned long long)p.bad_offset,
            p.reason);
  }
}

const char *tree_link_refusal(const char *name, const char *target) {
  if (!target[0]) return "empty link target";
  if (target[0] == '/') return "link outside the tree";
  size_t depth = 0;  // directories above the link
  for (const char *s = strchr(name, '/'); s; s = strchr(s + 1, '/')) depth++;
  bool named = false;
  for (const char *p = target; *p;) {
    size_t len = strcspn(p, "/");
    if (len == 2 && p[0] == '.' && p[1] == '.') {
      if (named) return "'..' after a name in the link";
      if (depth == 0) return "link outside the tree";
      depth--;
    } else if (len > 0 && !(len == 1 && p[0] == '.')) {
      named = true;
    }
    p += len;
    p += *p == '/';
  }
  return nullptr;
}

void tree_print_entry(FILE *out, const TreeEntry &entry) {
  char type = entry.type == TreeType::directory   ? 'd'
              : entry.type == TreeType::symlink   ? 'l'
              : entry.type == TreeType::hard_link ? 'h'
                                                  : '-';
  fprintf(out, "%c %04o %12llu ", type, entry.mode, (unsigned long long)entry.size);
  text_print_escaped(out, entry.name);
  if (entry.type == TreeType::directory) fputc('/', out);
  if (entry.target[0]) {
    fputs(" -> ", out);
    text_print_escaped(out, entry.target);
  }
  fputc('\n', out);
}

namespace {

int print_listed_entry(void *, const TreeEntry &entry) {
  tree_print_entry(stdout, entry);
  return 0;
}

}  // namespace

void tree_check_begin(TreeCheck &check, const char *archive, bool list) {
  check.archive = archive;
  check.list = list;
  TreeParseCalls calls = {list ? print_listed_entry : nullptr, nullptr, nullptr};
  tree_parse_begin(check.parser, calls, &check);
}

int tree_check_consume(void *ctx, const unsigned char *data, size_t count) {
  TreeCheck &check = *static_cast<TreeCheck *>(ctx);
  int status = tree_parse_feed(check.parser, data, count);
  if (status == 1) tree_report_unsafe(check.archive, check.parser);
  return status != 0;
}

int tree_check_end(TreeCheck &check) {
  bool said = check.parser.status != 0;  // refused while it was fed, and said then
  int status = tree_parse_end(check.parser);
  if (status == 1 && !said) tree_report_unsafe(check.archive, check.parser);
  tree_parse_free(check.parser);
  return status != 0;
}

}  // namespace kapsa
