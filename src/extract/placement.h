// Where an extraction puts its data, when the archive names a filesystem.
//
// The feature list may name a filesystem (VFYFS=dir) and a subdirectory of it
// (FSSUB=sub); the extract command is expected to write into dir/sub.  Before
// anything is decompressed, the placement makes sure the data will fit:
//   - it refuses when dir/sub (or, with -t, tmp/sub) already exists;
//   - with -t tmp, when tmp has room, the data goes to tmp/sub;
//   - else the named filesystem is used when it has room;
//   - else (no -t, a subdirectory named) the writable mounted filesystems are
//     searched for one with room.
// On a place other than the named filesystem it creates place/sub and makes
// dir/sub a temporary symbolic link to it, so that the extraction writes
// through the link.  The extraction driver removes the link at the end; the
// directory it pointed to keeps the data.
#pragma once

#include <sys/types.h>

#include "frame/fatal.h"

namespace kapsa {

// Makes room for needed_mb megabytes.  Returns 0 with link empty (extract in
// place) or holding the path of the temporary link it made; -1 when the
// extraction must not go on (messages printed, no link left).
int place_extraction_dir(int needed_mb, char link[link_buffer_size]);

// Creates the missing directories of the absolute path with mode (not
// narrowed by the file-creation mask).  0 when the path exists or was made as
// directories; -1 otherwise (a relative path, a prefix of more than 255
// characters, or a failed mkdir).  *created, when given, is set to whether
// the last component was made here.
int make_dirs(const char *path, mode_t mode, bool *created = nullptr);

}  // namespace kapsa
