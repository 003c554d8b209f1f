// The table of mounted filesystems, read one entry at a time.
//
// Two formats are read, both one entry per line:
//
// "/etc/mnttab" (SVR4), read when that file exists:
//   special  mount-point  fstype  options  time
//   Exactly five fields, separated by runs of blanks (space, tab, newline); a
//   field that is "-" alone is absent.  A line whose first character other
//   than a space or tab is "#", the newline or the end of the file is
//   skipped.  Lines are read into a 1,024-byte buffer: a line of 1,023
//   characters without its newline among them is too long.
//
// "/proc/self/mounts" (the Linux kernel's table), read otherwise:
//   device  mount-point  fstype  options  dump  pass
//   Six fields; the kernel writes space, tab, newline and backslash in them as
//   \040, \011, \012 and \134.  Lines may be of any length (overlay mounts
//   carry long option lists).  Lines that do not parse, and lines whose mount
//   point is too long for MountEntry, are passed over: a cut path would name
//   another directory.  Pseudo and memory filesystems are left out.
//
// Any line of the SVR4 table that is not an entry ends the walk there: every
// further mnttab_next gives null until mnttab_close, so the rest of a long
// line is never taken for an entry of its own.
#include "lib/mnttab.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kapsa {

namespace {

constexpr size_t line_size = 1024;   // SVR4 line buffer, terminator included
constexpr int fields_per_entry = 5;  // SVR4 fields per line
constexpr int linux_fields = 6;      // kernel fields per line

// Results of reading one line.
enum ReadResult {
  read_entry = 0,     // an entry was read
  read_end = -1,      // end of file, or a read error
  read_too_long = 1,  // 1,023 characters without a newline
  read_too_many = 2,  // more than five fields
  read_too_few = 3,   // fewer than five fields
};

// One entry as read, before it is cut to MountEntry's widths.  The texts
// point into the line buffer; null is an absent field.
struct RawEntry {
  const char *special;
  const char *mount_point;
  const char *fstype;
  const char *options;
};

// The process-wide state of the mount table reader.
struct MnttabState {
  FILE *stream = nullptr;     // the open table; null while closed
  bool linux_format = false;  // the open table is in the kernel's format
  bool ended = false;         // the walk has ended; set by mnttab_next
  char line[line_size];       // SVR4 line buffer, filled by read_svr4
  char *long_line = nullptr;  // kernel-format line buffer, from getline
  size_t long_line_size = 0;  // allocated size of long_line
  bool test_table = false;    // read test_path instead of the system table
  bool test_linux = false;    // test_path is in the kernel's format
  char test_path[4096];       // set by mnttab_use_table_for_testing
};

MnttabState mnttab = {};
MountEntry mount_entry;

// Filesystems that cannot hold an installation: kernel interfaces and
// memory-backed filesystems.
const char *const pseudo_types[] = {
    "proc",        "sysfs",    "devtmpfs", "devpts",     "tmpfs",     "ramfs",    "rootfs",
    "cgroup",      "cgroup2",  "cpuset",   "securityfs", "selinuxfs", "debugfs",  "tracefs",
    "pstore",      "bpf",      "mqueue",   "hugetlbfs",  "fusectl",   "configfs", "autofs",
    "binfmt_misc", "efivarfs", "nsfs",     "rpc_pipefs", "sockfs",    "pipefs",
};

bool is_pseudo(const char *fstype) {
  for (const char *type : pseudo_types) {
    if (strcmp(fstype, type) == 0) return true;
  }
  return false;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Splits line at runs of blanks into at most max fields, terminating each.
// Returns the number of fields found, max + 1 when there are more.
int split_fields(char *line, char **fields, int max) {
  int n = 0;
  char *p = line;
  for (;;) {
    while (is_blank(*p)) p++;
    if (!*p) return n;
    if (n == max) return max + 1;
    fields[n++] = p;
    while (*p && !is_blank(*p)) p++;
    if (*p) *p++ = '\0';
  }
}

// Reads one SVR4 line into mnttab.line: reads until a newline or 1,023
// characters.  Returns how many characters were read, -1 at end of file.
long read_svr4_line(FILE *stream) {
  size_t n = 0;
  int c = EOF;
  while (n < line_size - 1 && (c = getc(stream)) != EOF) {
    mnttab.line[n++] = char(c);
    if (c == '\n') break;
  }
  mnttab.line[n] = '\0';
  if (n == 0) return -1;
  return long(n);
}

// Reads the next SVR4 entry, skipping comment and blank lines.
ReadResult read_svr4(FILE *stream, RawEntry *entry) {
  for (;;) {
    long n = read_svr4_line(stream);
    if (n < 0) return read_end;
    if (size_t(n) == line_size - 1 && mnttab.line[n - 1] != '\n') return read_too_long;
    const char *first = mnttab.line + strspn(mnttab.line, " \t");
    if (*first == '#' || *first == '\n' || *first == '\0') continue;
    char *fields[fields_per_entry];
    int found = split_fields(mnttab.line, fields, fields_per_entry);
    if (found > fields_per_entry) return read_too_many;
    if (found < fields_per_entry) return read_too_few;
    for (char *&field : fields) {
      if (strcmp(field, "-") == 0) field = nullptr;
    }
    entry->special = fields[0];
    entry->mount_point = fields[1];
    entry->fstype = fields[2];
    entry->options = fields[3];
    return read_entry;
  }
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// Decodes the kernel's \ooo escapes in field, in place.  A backslash not
// followed by three octal digits naming a byte from 1 to 255 stays as it is.
void decode_octal(char *field) {
  char *to = field;
  for (const char *from = field; *from;) {
    if (from[0] == '\\' && is_octal(from[1]) && is_octal(from[2]) && is_octal(from[3])) {
      int value = (from[1] - '0') * 64 + (from[2] - '0') * 8 + (from[3] - '0');
      if (value > 0 && value < 256) {
        *to++ = char(value);
        from += 4;
        continue;
      }
    }
    *to++ = *from++;
  }
  *to = '\0';
}

// Reads the next entry of the kernel's table that can hold files.
ReadResult read_linux(FILE *stream, RawEntry *entry) {
  for (;;) {
    if (getline(&mnttab.long_line, &mnttab.long_line_size, stream) < 0) return read_end;
    char *fields[linux_fields];
    if (split_fields(mnttab.long_line, fields, linux_fields) != linux_fields) continue;
    for (char *field : fields) decode_octal(field);
    if (strlen(fields[1]) >= sizeof mount_entry.mount_point) continue;
    if (is_pseudo(fields[2])) continue;
    entry->special = fields[0];
    entry->mount_point = fields[1];
    entry->fstype = fields[2];
    entry->options = fields[3];
    return read_entry;
  }
}

// Opens the table for a walk from its first entry.  0, or -1 when it cannot
// be opened (the reader stays closed).
int open_table() {
  if (mnttab.test_table) {
    mnttab.stream = fopen(mnttab.test_path, "re");
    mnttab.linux_format = mnttab.test_linux;
  } else {
    // Close-on-exec: a walk left open must not reach the commands an
    // extraction runs.
    mnttab.stream = fopen("/etc/mnttab", "re");
    mnttab.linux_format = false;
    if (!mnttab.stream && errno == ENOENT) {
      mnttab.stream = fopen("/proc/self/mounts", "re");
      mnttab.linux_format = true;
    }
  }
  mnttab.ended = false;
  return mnttab.stream ? 0 : -1;
}

ReadResult read_next(RawEntry *entry) {
  return mnttab.linux_format ? read_linux(mnttab.stream, entry) : read_svr4(mnttab.stream, entry);
}

// Copies text into a field of size bytes, cut to size - 1 characters and
// filled with NULs behind; an absent text gives an empty field.
void copy_field(char *to, size_t size, const char *text) {
  memset(to, 0, size);
  if (text) strncpy(to, text, size - 1);
}

// 1 when one of the comma-separated options is exactly "ro".
unsigned char has_ro_option(const char *options) {
  if (!options) return 0;
  for (const char *p = options;;) {
    size_t len = strcspn(p, ",");
    if (len == 2 && p[0] == 'r' && p[1] == 'o') return 1;
    if (!p[len]) return 0;
    p += len + 1;
  }
}

MountEntry *fill_entry(const RawEntry &raw) {
  copy_field(mount_entry.special, sizeof mount_entry.special, raw.special);
  copy_field(mount_entry.mount_point, sizeof mount_entry.mount_point, raw.mount_point);
  copy_field(mount_entry.fstype, sizeof mount_entry.fstype, raw.fstype);
  mount_entry.read_only = has_ro_option(raw.options);
  return &mount_entry;
}

bool equals(const char *field, const char *name) { return field && strcmp(field, name) == 0; }

}  // namespace

MountEntry *mnttab_next() {
  if (!mnttab.stream && open_table() != 0) return nullptr;
  if (mnttab.ended) return nullptr;
  RawEntry raw;
  if (read_next(&raw) != read_entry) {
    mnttab.ended = true;
    return nullptr;
  }
  return fill_entry(raw);
}

MountEntry *mnttab_find(const char *name) {
  mnttab_close();
  if (!name || open_table() != 0) return nullptr;
  MountEntry *found = nullptr;
  RawEntry raw;
  while (!found && read_next(&raw) == read_entry) {
    if (equals(raw.special, name) || equals(raw.mount_point, name)) found = fill_entry(raw);
  }
  mnttab_close();
  return found;
}

void mnttab_close() {
  if (mnttab.stream) {
    // The table was only read: a failing close loses nothing, and the
    // stream is gone either way.
    (void)fclose(mnttab.stream);
    mnttab.stream = nullptr;
  }
  mnttab.ended = false;
  free(mnttab.long_line);
  mnttab.long_line = nullptr;
  mnttab.long_line_size = 0;
}

void mnttab_use_table_for_testing(const char *path, int linux_format) {
  mnttab_close();
  // A path too long to keep names no table: every walk then finds none.
  mnttab.test_table = path != nullptr;
  snprintf(mnttab.test_path, sizeof mnttab.test_path, "%s",
           path && strlen(path) < sizeof mnttab.test_path ? path : "");
  mnttab.test_linux = linux_format != 0;
}

}  // namespace kapsa
