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
// On a place other than the named filesystem it creates place/sub (itself,
// never one that exists; and below place without following a symbolic link)
// and makes dir/sub a temporary symbolic link to it, so that the extraction
// writes through the link.  Only a dangling link at dir/sub is replaced: a
// file, a directory or a live link there refuses the run.  Run as root, the
// search passes over mounted filesystems that another user could steer.  The
// link is registered with the cleanup (frame/fatal), which removes it at the
// end when it is still this link; the directory it pointed to keeps the data.
#pragma once

#include <sys/types.h>

#include "base/fatal.h"
#include "base/options.h"

namespace kapsa {

// Makes room for needed_mb megabytes, as the archive's feature list
// features asks (VFYFS=, FSSUB=), with the run's -t, -v and --quiet.  Returns 0 with link empty (extract in
// place) or holding the path of the temporary link it made, and data_dir
// holding the absolute path of the directory the data goes to (the
// candidate directory behind the link, or dir/sub made absolute); -1 when the
// extraction must not go on (messages printed, no link left).
int place_extraction_dir(int needed_mb, char link[link_buffer_size], char data_dir[text_size],
                         const char *features, const Options &options);

// Creates the missing directories of the absolute path with mode (not
// narrowed by the file-creation mask).  0 when the path exists or was made as
// directories; -1 with errno set otherwise: EINVAL for a relative path,
// ENAMETOOLONG for a prefix of more than 255 characters, ENOTDIR for a
// component that is not a directory, EACCES for one that cannot be searched,
// or the error of a failed mkdir.  *created, when given, is set to whether
// the last component was made here.
int make_dirs(const char *path, mode_t mode, bool *created = nullptr);

}  // namespace kapsa
