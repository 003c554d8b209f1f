// The table of mounted filesystems, one entry at a time.
//
// The table is "/etc/mnttab" when that file exists, in the five-field format
// (special device, mount point, type, options, mount time; "-" for an absent
// field; "#" starts a comment line).  Otherwise it is the kernel's table
// "/proc/self/mounts" (six fields, blanks in paths escaped as \040 and the
// like), without the kernel's pseudo and memory filesystems, which cannot
// hold an installation.
#pragma once

namespace kapsa {

struct MountEntry {
  char special[128];        // special device, at most 127 characters
  char mount_point[128];    // directory the filesystem is mounted on
  char fstype[32];          // filesystem type, at most 31 characters
  unsigned char read_only;  // 1 when one of the mount options is "ro"
};

// The next entry of the table, in the one process-wide MountEntry that the
// next call overwrites; null at the end of the table, at a line that cannot
// be read as an entry, or when the table cannot be opened.
MountEntry *mnttab_next();

// The first entry whose special device or mount point equals name; null when
// there is none.  Starts from the first entry and leaves the table closed.
MountEntry *mnttab_find(const char *name);

// Closes the table, so that the next mnttab_next starts at the first entry.
void mnttab_close();

// For tests and fuzzing: read the table from path instead, in the Linux
// six-field format when linux_format is set, else in the five-field format.
// A null path restores the system's table.  Closes any open table.
void mnttab_use_table_for_testing(const char *path, int linux_format);

}  // namespace kapsa
