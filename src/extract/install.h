// Installing a tree archive: kapsa unpacks the tree itself, into a private
// staging directory beside the target (the same filesystem, mode 700), and
// only when the whole payload has been unpacked and its checks have passed
// does it rename the staging directory into place.  Any failure, a damaged
// payload, an unsafe entry, a full disk or a signal leaves nothing at the
// target and removes the staging directory (base/fatal's cleanup).
//
// With --replace an existing tree is swapped with the new one
// (renameat2 RENAME_EXCHANGE where the kernel has it, two renames
// otherwise); the old tree is removed once the post-install command has
// succeeded, and swapped back when it fails.
#pragma once

#include "payload/payload.h"

namespace kapsa {

constexpr size_t install_path_size = 1024;

struct Install {
  char target[install_path_size];   // the directory the tree becomes, absolute
  char staging[install_path_size];  // where it is unpacked: <parent>/.<name>.kapsa-staging
  char old[install_path_size];      // with --replace, where the old tree is once swapped
  bool replacing;                   // the target exists and is replaced
  bool exchanged;                   // the new tree is in place and the old one at old
  const char *archive;              // for the messages
  const char *program;
};

// Prepares the installation of a tree at target (relative: to the current
// directory), for the archive named archive: the target must not exist,
// unless replace is set (then it must be a directory, or a symbolic link to
// one: the directory it leads to is replaced) or it is an empty directory
// the placement made for it (placed).  Makes the missing directories above
// it, removes a stale staging directory of the same target, makes a new one
// and registers it with the cleanup.  Returns 0, or -1 after saying why.
int install_begin(Install &in, const char *target, bool replace, bool placed, const char *archive,
                  const char *program);

// Unpacks the payload p (its header read) into the staging directory,
// with the progress line unless quiet.  Returns 0, or -1 after saying why
// (an unsafe entry: "<archive>: unsafe entry in the tree: <name>
// (<reason>)"); damaged data ends the process, and the cleanup removes the
// staging directory.
int install_unpack(Install &in, Payload &p, bool quiet);

// Puts the unpacked tree at the target: a rename, or with --replace an
// exchange with the old tree.  Returns 0, or -1 after saying why (the
// staging directory is then removed).
int install_publish(Install &in);

// After the post-install command (ok: it succeeded, or there was none):
// with --replace, removes the old tree, or when it failed puts the old tree
// back and removes the new one, saying so.  Returns 0, or -1 when the old
// tree is back or could not be removed (said).
int install_finish(Install &in, bool ok);

}  // namespace kapsa
