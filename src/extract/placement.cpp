// Placing the extraction directory: free-space checks, the mount table
// search, and the temporary symbolic link.
#include "extract/placement.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/fatal.h"
#include "base/features.h"
#include "base/options.h"
#include "base/syserr.h"
#include "base/text.h"
#include "lib/fsinfo.h"
#include "lib/mnttab.h"

namespace kapsa {

namespace {

constexpr size_t filesystem_max = 127;    // VFYFS value
constexpr size_t subdirectory_max = 255;  // FSSUB value
constexpr size_t path_max = 511;          // built paths
constexpr size_t prefix_max = 255;        // make_dirs prefixes

// The texts of one placement.
struct Place {
  char filesystem[filesystem_max + 1];      // VFYFS value as written
  char subdirectory[subdirectory_max + 1];  // FSSUB value, or empty
  char fs_path[path_max + 1];               // filesystem value made absolute
  char extraction_dir[path_max + 1];        // base/sub: where the data must land
  char link_name[path_max + 1];             // filesystem/sub: where the link goes
  char temp_path[text_size];                // -t made absolute; empty without -t
  bool verbose;                             // -v: ask before each link
  bool quiet;                               // --quiet: no notes of the search
};

// Copies the value of the feature item key ("KEY=value") into value (cap
// bytes).  Returns 1 when the item is there, 0 when not, -1 when the value
// does not fit.
int take_value(const char *features, const char *key, char *value, size_t cap) {
  const char *item = feature_lookup(features, key);
  if (!item) return 0;
  return text_copy(value, cap, strchr(item, '=') + 1) == 0 ? 1 : -1;
}

void drop_trailing_slash(char *path) {
  size_t n = strlen(path);
  if (n > 1 && path[n - 1] == '/') path[n - 1] = '\0';
}

bool exists(const char *path) { return access(path, F_OK) == 0; }

// Joins dir, separator and sub into out (path_max + 1 bytes); dir alone when
// sub is empty.  Returns false after "<dir>/<sub>: path too long".
bool join_path(char *out, const char *dir, const char *separator, const char *sub) {
  // The root's mount point "/" and a subdirectory join as "/sub", not as
  // "//sub" (a path whose meaning POSIX leaves to the system).
  size_t dir_len = strlen(dir);
  if (dir_len > 0 && dir[dir_len - 1] == '/' && separator[0] == '/') separator = "";
  char joined[path_max + 1];
  bool fits = sub[0] ? text_format(joined, sizeof joined, "%s%s%s", dir, separator, sub) == 0
                     : text_copy(joined, sizeof joined, dir) == 0;
  if (!fits) {
    fprintf(stderr, "%s/%s: path too long\n", Shown(dir).text, Shown(sub).text);
    return false;
  }
  return text_copy(out, path_max + 1, joined) == 0;
}

// Builds the working texts, with temp_path (-t).  Returns 0, or -1 after a
// message.
int build_place(Place &p, const char *temp_path) {
  if (temp_path[0] == '/') {
    text_copy(p.temp_path, sizeof p.temp_path, temp_path);
  } else if (temp_path[0]) {
    char cwd[text_size];
    if (!getcwd(cwd, sizeof cwd)) {
      syserr_report("getcwd");
      return -1;
    }
    if (text_format(p.temp_path, sizeof p.temp_path, "%s/%s", cwd, temp_path) != 0) {
      fprintf(stderr, "%s/%s: path too long\n", cwd, temp_path);
      return -1;
    }
  }
  if (p.filesystem[0] == '/') {
    text_copy(p.fs_path, sizeof p.fs_path, p.filesystem);
  } else {
    char cwd[path_max];  // at most 510 characters
    if (!getcwd(cwd, sizeof cwd)) {
      syserr_report("getcwd");
      return -1;
    }
    if (!join_path(p.fs_path, cwd, "/", p.filesystem)) return -1;
  }
  char base[text_size];  // either fits: both are at most 1,023 characters
  text_copy(base, sizeof base, p.temp_path[0] ? p.temp_path : p.fs_path);
  drop_trailing_slash(base);
  if (!join_path(p.extraction_dir, base, "/", p.subdirectory)) return -1;
  // Without a subdirectory the link stands in for the filesystem value itself.
  if (!join_path(p.link_name, p.filesystem, "/", p.subdirectory)) return -1;
  drop_trailing_slash(p.link_name);
  return 0;
}

void refuse_existing(const char *path) {
  fprintf(stderr, "%s: extraction directory exists!\nPlease remove it first then try again.\n",
          Shown(path).text);
}

// Asks on standard error whether to make the link; an answer beginning with
// n or N is no; anything else, an empty line and the end of input are yes.
bool link_confirmed(const char *candidate) {
  fprintf(stderr, "Creating temporary link to %s\n", Shown(candidate).text);
  fprintf(stderr, "OK to create temporary link? [y]: ");
  char answer[4];
  if (!fgets(answer, sizeof answer, stdin)) return true;
  if (!strchr(answer, '\n')) {  // the rest of a long line is not a later answer
    int c;
    while ((c = getchar()) != EOF && c != '\n') {
    }
  }
  return answer[0] != 'n' && answer[0] != 'N';
}

enum class Try { linked, next, refused };

// What stands at the link name.
struct LinkName {
  bool occupied;              // a file, a directory or a live link: someone's
  bool dangling;              // a link whose target does not exist: stale
  char target[path_max + 1];  // the dangling link's target, as read
};

LinkName look_at_link_name(const char *name) {
  LinkName at = {};
  struct stat st;
  if (lstat(name, &st) != 0) return at;  // nothing there
  ssize_t n = S_ISLNK(st.st_mode) ? readlink(name, at.target, sizeof at.target - 1) : -1;
  if (n >= 0 && stat(name, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    at.target[n] = '\0';
    at.dangling = true;
  } else {
    at.occupied = true;
  }
  return at;
}

// Removes the stale link seen at name, when it is still that very link.
void remove_stale_link(const char *name, const LinkName &seen) {
  char target[path_max + 1];
  ssize_t n = readlink(name, target, sizeof target - 1);
  if (n < 0) return;
  target[n] = '\0';
  struct stat st;
  if (strcmp(target, seen.target) == 0 && stat(name, &st) != 0) unlink(name);
}

// Opens the directory name below the directory dir without following a
// symbolic link; one that cannot be read is still opened to descend into.
int open_below(int dir, const char *name) {
  int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == EACCES)
    fd = openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return fd;
}

// Creates the directories of sub below the existing directory place with
// mode, never following a symbolic link below place; the last one must not
// exist yet, so that no two runs ever share a candidate directory.  Returns
// 0 when the last one was made, 1 when it already existed, -1 with errno set
// on any other failure (what was made stays).
int make_dirs_below(const char *place, const char *sub, mode_t mode) {
  int dir = open(place, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  char component[subdirectory_max + 1];
  const char *p = sub;
  int result = -1;
  for (;;) {
    p += strspn(p, "/");
    size_t len = strcspn(p, "/");
    if (len == 0) break;  // sub held nothing but slashes: nothing to make
    memcpy(component, p, len);
    component[len] = '\0';
    p += len;
    bool last = p[strspn(p, "/")] == '\0';
    bool made = mkdirat(dir, component, mode) == 0;
    if (!made && (errno != EEXIST || last)) {
      result = errno == EEXIST ? 1 : -1;
      break;
    }
    int next = open_below(dir, component);
    if (next < 0) break;
    if (made) (void)fchmod(next, mode);  // not narrowed by the file-creation mask
    close(dir);
    dir = next;
    if (last) {
      result = 0;
      break;
    }
  }
  int saved = errno;
  close(dir);
  errno = saved;
  return result;
}

// Whether root may place data below the mounted filesystem at mount_point:
// the mount point and every directory that already exists on the way to
// mount_point/sub are owned by root and writable by no one else (unless
// their sticky bit is set).  Anything else could let another user steer
// root's data elsewhere.
bool safe_for_root(const char *mount_point, const char *sub) {
  char path[path_max + 1];
  if (text_copy(path, sizeof path, mount_point) != 0) return false;
  size_t at = strlen(path);
  for (const char *p = sub;;) {
    struct stat st;
    if (lstat(path, &st) != 0) return errno == ENOENT;  // the rest is made by this run
    if (S_ISLNK(st.st_mode) || st.st_uid != 0) return false;
    if (!S_ISDIR(st.st_mode)) return true;  // nothing can be made below it anyway
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) return false;
    p += strspn(p, "/");
    size_t len = strcspn(p, "/");
    if (len == 0 || at + 1 + len > path_max) return true;
    path[at++] = '/';
    memcpy(path + at, p, len);
    at += len;
    path[at] = '\0';
    p += len;
  }
}

// Tries the candidate place held in link: creates place/sub (the candidate
// directory, built in link) and links the link name to it.  Only a dangling
// link may stand at the link name (a stale one): a file, a directory or a
// live link there is someone's data, and the run is refused before anything
// is made.
Try try_candidate(const Place &p, char *link, char *data_dir) {
  char place[path_max + 1];
  text_copy(place, sizeof place, link);
  if (p.subdirectory[0]) {
    if (!join_path(link, place, p.subdirectory[0] == '/' ? "" : "/", p.subdirectory))
      return Try::next;
    if (exists(link)) {
      fprintf(stderr, "%s: already exists.\n", Shown(link).text);
      return Try::next;
    }
  }
  LinkName at = look_at_link_name(p.link_name);
  if (at.occupied) {
    refuse_existing(p.link_name);
    return Try::refused;
  }
  // Every place is reached through the link at the link name: when this
  // user may not make it there, no place will do, whatever its room.
  char parent[path_max + 1];
  text_copy(parent, sizeof parent, p.link_name);
  char *slash = strrchr(parent, '/');
  if (slash == parent)
    parent[1] = '\0';
  else if (slash)
    *slash = '\0';
  else
    text_copy(parent, sizeof parent, ".");
  if (access(parent, W_OK | X_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    fprintf(stderr, "%s: cannot make the link to the data here: %s\n", Shown(p.link_name).text,
            syserr_text(errno));
    return Try::refused;
  }
  if (p.verbose && !link_confirmed(link)) return Try::next;
  bool created = false;
  if (make_dirs(place, 0755, &created) != 0) {
    syserr_report(link);
    return Try::next;
  }
  if (p.subdirectory[0]) {
    int made = make_dirs_below(place, p.subdirectory, 0755);
    if (made == 1) {  // made meanwhile by someone else
      fprintf(stderr, "%s: already exists.\n", Shown(link).text);
      return Try::next;
    }
    if (made < 0) {
      syserr_report(link);
      return Try::next;
    }
    created = true;
  }
  if (at.dangling) remove_stale_link(p.link_name, at);
  // The link is made and recorded with the cleanup signals blocked, so that
  // no signal finds it made but not yet recorded.
  sigset_t old;
  fatal_block_signals(&old);
  bool linked = symlink(link, p.link_name) == 0;
  int saved = errno;
  if (linked) fatal_set_link(p.link_name, link);
  fatal_restore_signals(&old);
  if (!linked) {
    if (created) rmdir(link);
    errno = saved;
    if (errno == EEXIST) {  // someone made it meanwhile: theirs
      refuse_existing(p.link_name);
      return Try::refused;
    }
    syserr_report(link);
    return Try::next;
  }
  text_copy(data_dir, text_size, link);
  text_copy(link, link_buffer_size, p.link_name);
  return Try::linked;
}

// Tries the candidate place held in link; link is left empty unless the
// link was made.  Returns 0 (linked), -1 (refused: the placement ends) or 1
// (try the next place).
int try_place(const Place &p, char *link, char *data_dir) {
  Try t = try_candidate(p, link, data_dir);
  if (t != Try::linked) link[0] = '\0';
  return t == Try::linked ? 0 : t == Try::refused ? -1 : 1;
}

int give_up(const Place &p, int needed_mb) {
  fprintf(stderr, "%s: not enough space to extract the archive.\n", Shown(p.extraction_dir).text);
  fprintf(stderr, "Please make at least %dMb available in %s.\n", needed_mb,
          Shown(p.filesystem).text);
  if (p.subdirectory[0])
    fprintf(stderr,
            "Alternatively, you can make space available on another filesystem where a\n"
            "\"%s\" directory can be created. Ensure that the \"%s\" directory\n"
            "does not exist before trying again.\n",
            Shown(p.subdirectory).text, Shown(p.subdirectory).text);
  return -1;
}

}  // namespace

int place_extraction_dir(int needed_mb, char link[link_buffer_size], char data_dir[text_size],
                         const char *features, const Options &options) {
  link[0] = '\0';
  data_dir[0] = '\0';
  Place p = {};
  p.verbose = options.verbose;
  p.quiet = options.quiet;
  int has_fs = take_value(features, "VFYFS=", p.filesystem, sizeof p.filesystem);
  if (has_fs == 0) return -1;
  if (has_fs < 0) {
    fprintf(stderr, "%s: filesystem name too long (at most %zu characters)\n",
            Shown(strchr(feature_lookup(features, "VFYFS="), '=') + 1).text, filesystem_max);
    return -1;
  }
  if (take_value(features, "FSSUB=", p.subdirectory, sizeof p.subdirectory) < 0) {
    fprintf(stderr, "%s: subdirectory name too long (at most %zu characters)\n",
            Shown(strchr(feature_lookup(features, "FSSUB="), '=') + 1).text, subdirectory_max);
    return -1;
  }
  if (!p.filesystem[0]) return -1;
  if (build_place(p, options.temp_path) != 0) return -1;

  if (p.subdirectory[0] && exists(p.extraction_dir)) {
    refuse_existing(p.extraction_dir);
    return -1;
  }

  int on_root, free_mb;
  bool search = false;
  if (p.temp_path[0] && fsinfo_space(p.temp_path, needed_mb, &on_root, &free_mb) != 0) {
    if (strlen(p.temp_path) > path_max) {
      fprintf(stderr, "%s: path too long\n", Shown(p.temp_path).text);
      return -1;
    }
    text_copy(link, link_buffer_size, p.temp_path);
    drop_trailing_slash(link);
    int tried = try_place(p, link, data_dir);
    if (tried <= 0) return tried;
    search = true;
  } else if (fsinfo_space(p.fs_path, needed_mb, &on_root, &free_mb) != 0) {
    if (p.subdirectory[0])
      text_format(data_dir, text_size, "%s/%s", p.fs_path, p.subdirectory);
    else
      text_copy(data_dir, text_size, p.fs_path);
    return 0;
  } else if (!p.temp_path[0] && p.subdirectory[0]) {
    if (!p.quiet)
      fprintf(stderr, "%s: not enough space. Looking for space in other filesystems.\n",
              Shown(p.extraction_dir).text);
    mnttab_close();
    search = true;
  }

  while (search) {
    MountEntry *entry = mnttab_next();
    if (!entry) break;
    // Run as root, a place that another user could steer counts as no room.
    if (entry->read_only || fsinfo_space(entry->mount_point, needed_mb, &on_root, &free_mb) != 1 ||
        (geteuid() == 0 && !safe_for_root(entry->mount_point, p.subdirectory)))
      continue;
    if (!p.quiet) fprintf(stderr, "Trying %s ...\n", Shown(entry->mount_point).text);
    text_copy(link, link_buffer_size, entry->mount_point);
    int tried = try_place(p, link, data_dir);
    if (tried <= 0) return tried;
  }
  link[0] = '\0';
  return give_up(p, needed_mb);
}

int make_dirs(const char *path, mode_t mode, bool *created) {
  if (created) *created = false;
  if (path[0] != '/') {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode) && access(path, X_OK) == 0) return 0;
  size_t len = strlen(path);
  char prefix[prefix_max + 1];
  for (size_t i = 1; i <= len; i++) {
    if (path[i] != '/' && path[i] != '\0') continue;
    if (i > prefix_max) {
      errno = ENAMETOOLONG;
      return -1;
    }
    memcpy(prefix, path, i);
    prefix[i] = '\0';
    if (stat(prefix, &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
      }
      if (access(prefix, X_OK) == 0) continue;
      errno = EACCES;  // a directory that cannot be searched cannot be made either
      return -1;
    }
    if (errno != ENOENT || mkdir(prefix, mode) != 0) return -1;
    (void)chmod(prefix, mode);  // not narrowed by the file-creation mask
    if (created) *created = true;
  }
  return 0;
}

}  // namespace kapsa
