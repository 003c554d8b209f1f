// Staging, unpacking and publishing an installed tree.
#include "extract/install.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/fatal.h"
#include "base/rmtree.h"
#include "base/syserr.h"
#include "base/text.h"
#include "extract/placement.h"
#include "tree/unpack.h"

namespace kapsa {

namespace {

#ifndef RENAME_EXCHANGE
constexpr unsigned RENAME_EXCHANGE = 1 << 1;
#endif

// Swaps the two paths in one step; false with errno when the kernel or the
// filesystem cannot.
bool exchange(const char *a, const char *b) {
  return syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0;
}

// The unpacker and the archive's name, for the output path's consumer.
struct Unpacking {
  TreeUnpacker unpacker;
  const char *archive;
};

int consume(void *ctx, const unsigned char *data, size_t count) {
  Unpacking &u = *static_cast<Unpacking *>(ctx);
  int status = tree_unpack_feed(u.unpacker, data, count);
  if (status == 1) tree_report_unsafe(u.archive, u.unpacker.parser);
  return status != 0;
}

}  // namespace

int install_begin(Install &in, const char *target, bool replace, bool placed, const char *archive,
                  const char *program) {
  in = Install{};
  in.archive = archive;
  in.program = program;
  char absolute[install_path_size];
  char cwd[install_path_size];
  if (target[0] == '/') {
    if (text_copy(absolute, sizeof absolute, target) != 0) {
      fprintf(stderr, "%s: path too long\n", Shown(target).text);
      return -1;
    }
  } else if (!getcwd(cwd, sizeof cwd) ||
             text_format(absolute, sizeof absolute, "%s/%s", cwd, target) != 0) {
    fprintf(stderr, "%s: path too long\n", Shown(target).text);
    return -1;
  }
  size_t len = strlen(absolute);
  while (len > 1 && absolute[len - 1] == '/') absolute[--len] = '\0';
  struct stat st;
  bool exists = lstat(absolute, &st) == 0;
  if (exists && placed && S_ISDIR(st.st_mode) && rmdir(absolute) == 0) exists = false;
  if (exists && !replace) {
    fprintf(stderr, "%s: extraction directory exists!\nPlease remove it first then try again.\n",
            Shown(absolute).text);
    return -1;
  }
  if (exists) {
    // A tree installed earlier through a link (relocated) is replaced where
    // it really is.
    char resolved[PATH_MAX];
    if (stat(absolute, &st) != 0 || !S_ISDIR(st.st_mode) || !realpath(absolute, resolved)) {
      fprintf(stderr, "%s: not a directory: it cannot be replaced\n", Shown(absolute).text);
      return -1;
    }
    text_copy(absolute, sizeof absolute, resolved);
    in.replacing = true;
  }
  text_copy(in.target, sizeof in.target, absolute);
  char *slash = strrchr(absolute, '/');
  const char *name = slash + 1;
  char parent[install_path_size];
  text_format(parent, sizeof parent, "%.*s", int(slash - absolute), absolute);
  if (!name[0] || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
    fprintf(stderr, "%s: no name to install the tree under\n", Shown(target).text);
    return -1;
  }
  if (text_format(in.staging, sizeof in.staging, "%s/.%s.kapsa-staging", parent, name) != 0 ||
      text_format(in.old, sizeof in.old, "%s/.%s.kapsa-old", parent, name) != 0) {
    fprintf(stderr, "%s: path too long\n", Shown(absolute).text);
    return -1;
  }
  if (parent[0] && make_dirs(parent, 0755) != 0) {
    syserr_report(parent);
    return -1;
  }
  // A staging directory left by a run that was killed is this target's:
  // it goes, and a new one is made, private to this run.  The cleanup knows
  // it from the moment it exists: no signal comes between the two.
  if (rmtree(AT_FDCWD, in.staging) != 0) {
    syserr_report(in.staging);
    return -1;
  }
  sigset_t old;
  fatal_block_signals(&old, false);
  bool made = mkdir(in.staging, 0700) == 0;
  int error = errno;
  if (made) fatal_set_staging(in.staging);
  fatal_restore_signals(&old);
  if (!made) {
    errno = error;
    syserr_report(in.staging);
    return -1;
  }
  return 0;
}

int install_unpack(Install &in, Payload &p, bool quiet) {
  int root = open(in.staging, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (root < 0) {
    syserr_report(in.staging);
    fatal_set_staging(nullptr, true);
    return -1;
  }
  std::unique_ptr<Unpacking, decltype(&free)> u(
      static_cast<Unpacking *>(calloc(1, sizeof(Unpacking))), free);
  if (!u) {
    errno = ENOMEM;
    syserr_report(in.staging);
    close(root);
    fatal_set_staging(nullptr, true);
    return -1;
  }
  u->archive = in.archive;
  tree_unpack_begin(u->unpacker, root, in.staging);
  payload_decode(p, -1, p.name, quiet, consume, u.get());
  int status = tree_unpack_end(u->unpacker);
  if (status == 1) tree_report_unsafe(in.archive, u->unpacker.parser);
  // The tree's own top directory gets the mode a new directory gets.
  mode_t mask = umask(0);
  umask(mask);
  if (status == 0 && fchmod(root, 0777 & ~mask) != 0) {
    syserr_report(in.staging);
    status = -1;
  }
  close(root);
  if (status != 0) {
    fatal_set_staging(nullptr, true);
    return -1;
  }
  return 0;
}

int install_publish(Install &in) {
  bool done;
  if (!in.replacing) {
    done = rename(in.staging, in.target) == 0;
  } else {
    // The exchange and its registration for a rollback are one step for
    // the signals.
    sigset_t mask;
    fatal_block_signals(&mask);
    done = exchange(in.staging, in.target);
    if (done) {
      text_copy(in.old, sizeof in.old, in.staging);
      fatal_set_staging(nullptr);
      fatal_set_rollback(in.target, in.old);
    }
    fatal_restore_signals(&mask);
    if (!done && (errno == ENOSYS || errno == EINVAL)) {
      // No exchange in one step: the old tree aside, then the new one in.
      rmtree(AT_FDCWD, in.old);
      done = rename(in.target, in.old) == 0;
      if (done && rename(in.staging, in.target) != 0) {
        int saved = errno;
        rename(in.old, in.target);
        errno = saved;
        done = false;
      }
    }
    in.exchanged = done;
  }
  if (!done) {
    syserr_report(in.target);
    fatal_set_staging(nullptr, true);
    return -1;
  }
  fatal_set_staging(nullptr);  // the new tree is in place: nothing to clean
  return 0;
}

int install_finish(Install &in, bool ok) {
  if (!in.exchanged) return 0;
  fatal_set_rollback(nullptr, nullptr);
  if (ok) {
    if (rmtree(AT_FDCWD, in.old) == 0) return 0;
    syserr_report(in.old);
    fprintf(stderr, "%s: the previous tree could not be removed: it is left at %s\n",
            Shown(in.archive).text, Shown(in.old).text);
    return -1;
  }
  // The new tree goes; the old one comes back.
  bool back = exchange(in.old, in.target);
  if (!back && (errno == ENOSYS || errno == EINVAL)) {
    back = rename(in.target, in.staging) == 0 && rename(in.old, in.target) == 0;
    if (back) text_copy(in.old, sizeof in.old, in.staging);  // the new tree, to go
  }
  if (!back) {
    syserr_report(in.target);
    fprintf(stderr, "%s: the previous tree is still at %s\n", Shown(in.archive).text,
            Shown(in.old).text);
    return -1;
  }
  rmtree(AT_FDCWD, in.old);
  fprintf(stderr, "%s: the post-install command failed: the previous tree is back in %s\n",
          Shown(in.archive).text, Shown(in.target).text);
  return -1;
}

}  // namespace kapsa
