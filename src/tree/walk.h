// Reaching the directory that holds a relative name, below a directory
// descriptor, one component at a time and never through a symbolic link:
// every component is opened with openat(O_PATH | O_DIRECTORY | O_NOFOLLOW)
// from the one above it, so that a link (one an archive made, or one put
// there meanwhile) cannot send a later name elsewhere.  The directory last
// reached stays open for the next name in the same place or below it.
#pragma once

#include "tree/tar.h"

namespace kapsa {

struct TreeWalk {
  int root_fd;                  // the top: the caller's, never closed here
  bool make;                    // missing directories are made (mode 0700)
  int dir_fd;                   // the directory last reached (O_PATH), or -1
  char dir[tree_name_max + 1];  // its name below the top
};

// Starts a walk below root_fd; with make, missing directories are made.
void tree_walk_begin(TreeWalk &w, int root_fd, bool make);

// Reaches the directory holding name (a clean relative name: no "." or
// ".." or empty component).  Returns a descriptor of it, valid until the
// next call or tree_walk_end, and sets *last to name's last component;
// -1 with errno set when a component cannot be opened or made (ENOTDIR or
// ELOOP when it is no directory, a symbolic link among them).
int tree_walk_parent(TreeWalk &w, const char *name, const char **last);

// Closes what the walk holds.
void tree_walk_end(TreeWalk &w);

}  // namespace kapsa
