// Installing trees end to end, as root: real directories packed by the
// program, their archives run as installers are run.  Round trips against
// GNU tar, busybox tar and Python's tarfile; the same bytes from the same
// tree; hostile payloads made with tarfile; owners and modes; signals, a cut
// download and a full disk; --replace; a chroot holding only busybox; and a
// tree that the placement puts on another filesystem.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support.h"

using test::Result;
using test::TempDir;

namespace {

using test::python;
using test::python_path;

// The file-creation mask of one test, inherited by what it runs.
struct Umask {
  mode_t old;
  explicit Umask(mode_t mask) : old(umask(mask)) {}
  ~Umask() { umask(old); }
};

// Builds an archive of dir/<args> with kapsa run in dir, into out; env is
// added to its environment.
std::string pack(const std::string &dir, const std::string &out,
                 const std::vector<std::string> &args,
                 const std::map<std::string, std::string> &env = {}) {
  test::RunOptions o = test::at(dir);
  o.stdout_file = out;
  o.env = env;
  Result r = test::kapsa(args, o);
  EXPECT_EQ(r.status, 0) << r.err;
  chmod(out.c_str(), 0755);
  return out;
}

// Every entry below root, sorted, one line each: type, name, permission
// bits, size, SHA-1 of the data, the first name of the same inode, link
// target, owner and group when argv[2] is "U", mtime (clamped to argv[3]
// when it is not negative) last.
const char snapshot_script[] = R"(
import hashlib, os, stat, sys
root, owners, clamp, seen = os.fsencode(sys.argv[1]), sys.argv[2] == 'U', int(sys.argv[3]), {}
def walk(rel):
    for n in sorted(os.listdir(os.path.join(root, rel))):
        r = os.path.join(rel, n)
        p = os.path.join(root, r)
        st = os.lstat(p)
        m = st.st_mode
        if stat.S_ISLNK(m):
            line = 'l %r -> %r' % (r, os.readlink(p))
        elif stat.S_ISDIR(m):
            line = 'd %r %o' % (r, stat.S_IMODE(m))
        elif stat.S_ISREG(m):
            h = hashlib.sha1()
            with open(p, 'rb') as f:
                for b in iter(lambda: f.read(1 << 20), b''):
                    h.update(b)
            line = 'f %r %o %d %s' % (r, stat.S_IMODE(m), st.st_size, h.hexdigest()[:16])
            first = seen.setdefault((st.st_dev, st.st_ino), r)
            if first != r:
                line += ' = %r' % first
        else:
            line = '? %r %o' % (r, m)
        if owners:
            line += ' %d:%d' % (st.st_uid, st.st_gid)
        t = st.st_mtime_ns // 10**9
        print('%s @%d' % (line, t if clamp < 0 else min(t, clamp)))
        if stat.S_ISDIR(m):
            walk(r)
walk(b'')
)";

std::string snapshot(const std::string &root, bool owners = false, long long clamp = -1) {
  Result r = python(snapshot_script, {root, owners ? "U" : "-", std::to_string(clamp)});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// A snapshot without the times of directories ("D" in opts) or of links ("L").
std::string without_times(const std::string &snapshot, const std::string &opts) {
  std::string out;
  for (size_t at = 0, end; at < snapshot.size(); at = end + 1) {
    end = snapshot.find('\n', at);
    std::string line = snapshot.substr(at, end - at);
    size_t time = line.rfind(" @");
    if (time != std::string::npos && opts.find(line[0] == 'd'   ? 'D'
                                               : line[0] == 'l' ? 'L'
                                                                : '-') != std::string::npos)
      line.erase(time);
    out += line + "\n";
  }
  return out;
}

// A tree with what an installer must get right: paths over 100 and over
// 255 bytes, blanks and non-ASCII bytes (not UTF-8 too), an empty
// directory, symbolic links inside, a hard link, modes 0750, 0600 and
// 0755, each entry its own time; with argv[2] "sparse", a file of 64 MiB
// that is nearly all hole.
const char tree_script[] = R"(
import os, sys
top = os.fsencode(sys.argv[1])
P = lambda r: os.path.join(top, r)
def d(r, mode=0o755):
    os.mkdir(P(r)); os.chmod(P(r), mode)
def f(r, data, mode=0o644):
    with open(P(r), 'wb') as out:
        out.write(data)
    os.chmod(P(r), mode)
os.makedirs(top)
d(b'bin', 0o750); f(b'bin/tool', b'#!/bin/sh\necho tool\n', 0o755)
os.link(P(b'bin/tool'), P(b'bin/tool-again')); os.symlink(b'tool', P(b'bin/t'))
os.symlink(b'../share/my docs', P(b'bin/docs'))
d(b'etc'); f(b'etc/secret key', b'key\n', 0o600)
d(b'empty')
d(b'share'); d(b'share/my docs'); f(b'share/my docs/caf\xc3\xa9 \xff.txt', b'bytes\n' * 999)
f(b'n' * 120, b'a name of 120 bytes')
long = b'long'
d(long)
for c in b'abcde':
    long += b'/' + bytes([c]) * 60; d(long)
f(long + b'/' + b'z' * 90, b'a path of 400 bytes')
if sys.argv[2] == 'sparse':
    with open(P(b'sparse'), 'wb') as out:
        out.write(b'head'); out.seek((64 << 20) - 4); out.write(b'tail')
entries = []
for dp, dns, fns in os.walk(top):
    entries += [os.path.join(dp, n) for n in dns + fns]
for i, p in enumerate(sorted(entries, reverse=True)):
    os.utime(p, (1500000000 + 1000 * i,) * 2, follow_symlinks=False)
)";

void make_tree(const std::string &dir, bool sparse = false) {
  Result r = python(tree_script, {dir, sparse ? "sparse" : "-"});
  ASSERT_EQ(r.status, 0) << r.err;
}

// A directory for copies of 2 GiB: in memory (/dev/shm) when it has room,
// else under /tmp.
struct Scratch {
  std::string path;
  Scratch() {
    struct statvfs shm;
    bool room = statvfs("/dev/shm", &shm) == 0 && shm.f_bavail * shm.f_frsize > (5ull << 30);
    char templ[] = "/dev/shm/kapsa-install-XXXXXX";
    char fallback[] = "/tmp/kapsa-install-XXXXXX";
    path = mkdtemp(room ? templ : fallback);
  }
  ~Scratch() { test::remove_tree(path); }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

TEST(InstallRoundTrip, TheInstallerAndEveryTarMakeTheSameTree) {
  Umask mask(022);
  struct Case {
    const char *kind;
    std::vector<std::string> args;
    bool sparse;
  } cases[] = {
      {"gzip", {"app"}, false},
      {"zstd", {"--zstd=1", "app"}, true},
  };
  struct Extractor {
    const char *name;
    std::string command;  // run in an empty directory
    const char *root;     // where the tree is below it
    const char *ignored;  // what snapshot leaves out
  } extractors[] = {
      {"kapsa", "\"$A\" --quiet", "/app", ""},
      // busybox and tarfile set no times of symbolic links, busybox none
      // of directories either.
      {"GNU tar", "{ \"$A\" -x --quiet || echo failed >&2; } | tar xf -", "", ""},
      {"busybox tar", "{ \"$A\" -x --quiet || echo failed >&2; } | busybox tar xf -", "", "DL"},
      {"tarfile",
       "{ \"$A\" -x --quiet || echo failed >&2; } | \"$PYTHON\" -c 'import sys, tarfile; "
       "tarfile.open(fileobj=sys.stdin.buffer, mode=\"r|\", bufsize=65536).extractall(\".\", "
       "filter=\"fully_trusted\")'",
       "", "L"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.kind);
    TempDir t;
    make_tree(t / "app", c.sparse);
    std::string a = pack(t.path, t / "a.run", c.args);
    const std::string expected = snapshot(t / "app");
    Scratch s;
    for (const Extractor &x : extractors) {
      SCOPED_TRACE(x.name);
      std::string into = s / x.name;
      mkdir(into.c_str(), 0755);
      test::RunOptions o = test::at(into);
      o.env = {{"A", a}, {"PYTHON", python_path()}};
      Result r = test::sh(x.command, o);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(without_times(snapshot(into + x.root), x.ignored),
                without_times(expected, x.ignored));
      struct stat st;
      if (x.root[0] && stat((into + x.root).c_str(), &st) == 0) {
        EXPECT_EQ(st.st_mode & 07777, 0755u) << "the top directory's mode: 0777 less the mask";
        if (c.sparse && stat((into + x.root + "/sparse").c_str(), &st) == 0) {
          EXPECT_LT(st.st_blocks, 1024) << "holes written out";
        }
      }
      test::remove_tree(into);
    }
  }
}

// Two builds of a tree, one of a copy owned by others and read later,
// named by an absolute path: the same bytes.  SOURCE_DATE_EPOCH clamps
// the times the installer sets.
TEST(InstallRoundTrip, TheSameTreeBuildsTheSameArchive) {
  Umask mask(022);
  for (const char *kind : {"--level=6", "--zstd=1"}) {
    SCOPED_TRACE(kind);
    TempDir t;
    make_tree(t / "one/app");
    ASSERT_EQ(test::sh("mkdir two && cp -a one/app two/app && chown -Rh 1234:5678 two/app && "
                       "cat two/app/bin/tool > /dev/null",
                       test::at(t.path))
                  .status,
              0);
    std::string one = test::read_file(pack(t / "one", t / "1.run", {kind, "app"}));
    EXPECT_EQ(one, test::read_file(pack(t / "one", t / "2.run", {kind, "app"})));
    EXPECT_EQ(one, test::read_file(pack(t.path, t / "3.run", {kind, t / "two/app/"})));
    const long long epoch = 1500000000 + 5000;
    std::string clamped =
        pack(t / "one", t / "4.run", {kind, "app"}, {{"SOURCE_DATE_EPOCH", std::to_string(epoch)}});
    mkdir((t / "run").c_str(), 0755);
    Result r = test::run(clamped, {"--quiet"}, test::at(t / "run"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(snapshot(t / "run/app"), snapshot(t / "one/app", false, epoch));
  }
}

// Archives whose payload is a tar stream made with Python's tarfile: each
// argument after the first four is Python code run with f, d, sym, hard and
// add (name, type, data, link, mode, uid), VICTIM (a directory outside),
// and name (the gzip member's stored name, None for none) and cut (where the
// stream is cut, None for nowhere) to set.  Written as dir/<n>.run, n from
// 1, behind the image of base (a built archive) with the feature list
// features and the post-install command run.
const char craft_script[] = R"(
import io, os, struct, sys, tarfile, zlib
base, out, features, run = sys.argv[1:5]
data = open(base, 'rb').read()
image = data[:data.index(b'TREE,NAME=')]
for n, code in enumerate(sys.argv[5:], 1):
    buf = io.BytesIO()
    t = tarfile.open(fileobj=buf, mode='w', format=tarfile.PAX_FORMAT)
    def add(name, type=tarfile.REGTYPE, data=b'', link='', mode=0o644, uid=0):
        i = tarfile.TarInfo(name)
        i.type, i.linkname, i.mode, i.mtime, i.size = type, link, mode, 1700000000, len(data)
        if uid:
            i.uid = i.gid = uid
            i.uname = i.gname = 'daemon'
        t.addfile(i, io.BytesIO(data))
    env = dict(tarfile=tarfile, add=add, name='app', cut=None, VICTIM=out + '/victim',
               f=lambda name, data=b'x', **k: add(name, data=data, **k),
               d=lambda name, mode=0o755, **k: add(name, tarfile.DIRTYPE, mode=mode, **k),
               sym=lambda name, link, **k: add(name, tarfile.SYMTYPE, link=link, **k),
               hard=lambda name, link: add(name, tarfile.LNKTYPE, link=link))
    exec(code, env)
    t.close()
    b = buf.getvalue()[:env['cut']]
    z = zlib.compressobj(6, zlib.DEFLATED, -15)
    stored = env['name'].encode() + b'\0' if env['name'] is not None else b''
    member = (b'\x1f\x8b\x08' + (b'\x08' if stored else b'\0') + bytes(4) + b'\0\x03' + stored +
              z.compress(b) + z.flush() + struct.pack('<II', zlib.crc32(b), len(b)))
    with open('%s/%d.run' % (out, n), 'wb') as f:
        f.write(image + features.encode() + b'\0\0' + run.encode() + b'\0\0' + member)
    os.chmod('%s/%d.run' % (out, n), 0o755)
)";

std::vector<std::string> craft(const std::string &dir, const std::vector<std::string> &codes,
                               const std::string &run = "",
                               const std::string &features = "TREE,NAME=app") {
  std::string base = dir + "/base.run";
  if (!test::exists(base)) {
    mkdir((dir + "/base").c_str(), 0755);
    test::write_file(dir + "/base/file", "base\n");
    pack(dir, base, {"--quiet", "base"});
  }
  std::vector<std::string> args = {base, dir, features, run};
  args.insert(args.end(), codes.begin(), codes.end());
  Result r = python(craft_script, args);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> archives;
  for (size_t i = 1; i <= codes.size(); i++)
    archives.push_back(dir + "/" + std::to_string(i) + ".run");
  return archives;
}

// What is in dir, "." included: types, modes, owners, link counts, sizes,
// names and link targets; the times of files.
std::string listing(const std::string &dir) {
  return test::sh(
             "find . -printf '%y %m %U:%G %n %s %P %l ' \\( -type f -printf '%T@' \\) -o "
             "-printf '\\n' | sort",
             test::at(dir))
      .out;
}

// Each refused with one line before it is placed, whatever it made of the
// tree before (every stream starts with a file): nothing at the target or
// outside, no staging directory, the run directory as it was, no
// post-install; and --check refuses it with the same line.
TEST(InstallHostile, AnUnsafeTreeIsRefusedAndLeavesNothing) {
  TempDir t;
  const std::string victim = t / "victim";
  struct Case {
    std::string code;  // after f('first', ...)
    std::string says;  // after "<archive>: "
  } cases[] = {
      {"f(VICTIM + '/evil')", "unsafe entry in the tree: " + victim + "/evil (absolute name)"},
      {"f('../evil')", "unsafe entry in the tree: ../evil (leaves the tree)"},
      {"sym('etc', '/etc'); f('etc/kapsa-test-evil')",
       "unsafe entry in the tree: etc (link outside the tree)"},
      {"d('sub'); sym('sub/up', '../..'); f('sub/up/evil')",
       "unsafe entry in the tree: sub/up (link outside the tree)"},
      {"hard('h', VICTIM + '/file')", "unsafe entry in the tree: h (link outside the tree)"},
      {"hard('h', '../victim/file')", "unsafe entry in the tree: h (link outside the tree)"},
      {"add('null', tarfile.CHRTYPE)", "unsafe entry in the tree: null (device file)"},
      {"add('fifo', tarfile.FIFOTYPE)", "unsafe entry in the tree: fifo (FIFO)"},
      {"f('x'); d('x')", "unsafe entry in the tree: x/ (replaces an earlier entry)"},
      {"d('.', mode=0o700)", "unsafe entry in the tree: ./ (empty name)"},
      // The second header cut after 100 bytes: "first" takes 1,024 + 20,480.
      {"f('x'); cut = 21504 + 512 + 100", "damaged tree at byte 22116 (truncated)"},
  };
  mkdir(victim.c_str(), 0755);
  test::write_file(victim + "/file", "victim\n");
  mkdir((t / "run").c_str(), 0755);
  std::vector<std::string> codes;
  for (const Case &c : cases) codes.push_back("f('first', b'first' * 4096); " + c.code);
  std::vector<std::string> archives = craft(t.path, codes, "touch " + t / "ran");
  const std::string victim_before = listing(victim), run_before = listing(t / "run");
  for (size_t i = 0; i < codes.size(); i++) {
    const Case &c = cases[i];
    SCOPED_TRACE(c.code);
    Result r = test::run(archives[i], {}, test::at(t / "run"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, archives[i] + ": " + c.says + "\n");
    EXPECT_EQ(listing(t / "run"), run_before);
    EXPECT_EQ(listing(victim), victim_before);
    EXPECT_FALSE(test::exists(t / "ran"));
    EXPECT_FALSE(test::exists(t / "evil"));
    EXPECT_FALSE(test::exists("/etc/kapsa-test-evil"));
    Result check = test::kapsa({"--check", archives[i]});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, "");
    EXPECT_EQ(check.err, archives[i] + ": " + c.says + "\n");
  }
}

// Run as root, what is made belongs to root whatever owners the stream
// records (uid 1000, user "daemon"); setuid, setgid and sticky bits are
// dropped and the mask narrows every mode, the top directory's too.
TEST(InstallHostile, OwnersAndSpecialBitsOfTheStreamAreNotTaken) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct Case {
    mode_t mask;
    std::string snapshot;  // of the tree, owners shown, times of directories left out
    mode_t top;
  } cases[] = {
      {022,
       "d b'bin' 755 0:0\n"
       "f b'bin/h' 755 1 11f6ad8ec52a2984 0:0 @1700000000\n"
       "f b'bin/sgid' 750 1 11f6ad8ec52a2984 0:0 @1700000000\n"
       "f b'bin/suid' 755 1 11f6ad8ec52a2984 = b'bin/h' 0:0 @1700000000\n"
       "l b's' -> b'bin/suid' 0:0\n"
       "d b'tmp' 755 0:0\n",
       0755},
      {077,
       "d b'bin' 700 0:0\n"
       "f b'bin/h' 700 1 11f6ad8ec52a2984 0:0 @1700000000\n"
       "f b'bin/sgid' 700 1 11f6ad8ec52a2984 0:0 @1700000000\n"
       "f b'bin/suid' 700 1 11f6ad8ec52a2984 = b'bin/h' 0:0 @1700000000\n"
       "l b's' -> b'bin/suid' 0:0\n"
       "d b'tmp' 700 0:0\n",
       0700},
  };
  TempDir t;
  std::string archive =
      craft(t.path, {"d('bin', uid=1000); f('bin/suid', mode=0o4755, uid=1000); "
                     "f('bin/sgid', mode=0o2750, uid=1000); hard('bin/h', 'bin/suid'); "
                     "d('tmp', mode=0o1777, uid=1000); sym('s', 'bin/suid', uid=1000)"})[0];
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mask);
    Umask mask(c.mask);
    test::remove_tree(t / "run");
    mkdir((t / "run").c_str(), 0755);
    chmod((t / "run").c_str(), 0755);
    Result r = test::run(archive, {}, test::at(t / "run"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(without_times(snapshot(t / "run/app", true), "DL"), c.snapshot);
    struct stat st;
    ASSERT_EQ(stat((t / "run/app").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.top);
    ASSERT_EQ(stat((t / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
  }
}

// The tree goes to --target, else to NAME in the current directory: never
// where the gzip member's stored name says.  The archive comes last.
TEST(InstallTarget, TheTreeGoesToTheTargetOrToItsName) {
  TempDir t;
  struct Case {
    std::string code;               // sets the stored name
    std::vector<std::string> args;  // before the archive
    std::string installed;          // below the test's directory
  } cases[] = {
      {"", {"-u"}, "run/app"},
      {"", {"-u", "--target=deeper/down"}, "run/deeper/down"},
      {"", {"-u", "--target=" + t / "elsewhere/app"}, "elsewhere/app"},
      // Fails: --target before -u is taken as a build option, and ignored.
      {"", {"--target=" + t / "elsewhere/app", "-u"}, "elsewhere/app"},
      // Fail: the stored name is taken for the target.
      {"name = None", {"-u"}, "run/app"},
      {"name = '../escaped'", {"-u"}, "run/app"},
      {"name = '" + t / "escaped'", {"-u"}, "run/app"},
  };
  std::vector<std::string> codes;
  for (const Case &c : cases) codes.push_back("f('file'); " + c.code);
  std::vector<std::string> archives = craft(t.path, codes, "echo \"$KAPSA_DIR\" > " + t / "where");
  for (size_t i = 0; i < codes.size(); i++) {
    const Case &c = cases[i];
    std::vector<std::string> args = c.args;
    args.push_back(archives[i]);
    SCOPED_TRACE(c.code + " " + args[0] + " " + args[1]);
    mkdir((t / "run").c_str(), 0755);
    Result r = test::kapsa(args, test::at(t / "run"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::read_file(t / c.installed + "/file"), "x");
    EXPECT_EQ(test::read_file(t / "where"), t / c.installed + "\n");
    EXPECT_FALSE(test::exists(t / "escaped"));
    for (const char *made : {"run", "elsewhere", "escaped", "where"}) test::remove_tree(t / made);
  }
}

// Starts program with args in cwd, in a process group of its own, with
// nothing on its standard input and its output and errors into out.
pid_t start(const std::string &program, const std::vector<std::string> &args,
            const std::string &cwd, const std::string &out) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY),
        fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || fd < 0 || dup2(in, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
    close_range(3, ~0U, 0);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// The exit status of pid, or 128 + the signal that ended it.
int finish(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits until path exists (true), or until pid has ended (false, *status
// set as finish sets it).
bool wait_for_path(pid_t pid, const std::string &path, int *status) {
  for (;;) {
    if (test::exists(path)) return true;
    int raw;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return false;
    }
    struct timespec pause = {0, 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

// The names in dir, hidden ones too.
std::string names(const std::string &dir) { return test::sh("ls -A", test::at(dir)).out; }

// A tree that takes seconds to unpack (100 MiB of random data and a hole
// of 1 GiB that is inflated all the same), its archive and its snapshot:
// made once.
struct SlowTree {
  TempDir dir;
  std::string archive, snapshot;
  SlowTree() {
    mkdir((dir / "app").c_str(), 0755);
    for (unsigned i = 0; i < 100; i++)
      test::write_file(dir / "app/f" + std::to_string(100 + i), test::random_bytes(1 << 20, i));
    test::write_file(dir / "app/zeros", "");
    EXPECT_EQ(truncate((dir / "app/zeros").c_str(), 1 << 30), 0);
    archive = pack(dir.path, dir / "app.run", {"--quiet", "app"});
    snapshot = ::snapshot(dir / "app");
  }
};

const SlowTree &slow_tree() {
  static SlowTree tree;
  return tree;
}

// Interrupted once its staging directory is there: nothing at the target
// and no staging directory, but after SIGKILL, which the next run clears.
TEST(InstallInterrupted, ASignalLeavesNothingAndTheRunAfterSigkillClearsItsStaging) {
  Umask mask(022);
  const SlowTree &tree = slow_tree();
  struct Case {
    int signal;
    bool staging_stays;
  } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGKILL, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(strsignal(c.signal));
    TempDir t;
    mkdir((t / "run").c_str(), 0755);
    pid_t pid = start(tree.archive, {"--quiet"}, t / "run", t / "err");
    int status;
    if (!wait_for_path(pid, t / "run/.app.kapsa-staging", &status)) {
      ADD_FAILURE() << "the run ended (" << status << ") before its staging directory was seen";
      continue;
    }
    kill(pid, c.signal);
    EXPECT_EQ(finish(pid), 128 + c.signal);
    EXPECT_EQ(test::read_file(t / "err"), "");
    EXPECT_EQ(names(t / "run"), c.staging_stays ? ".app.kapsa-staging\n" : "");
    if (!c.staging_stays) continue;
    Result again = test::run(tree.archive, {"--quiet"}, test::at(t / "run"));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(names(t / "run"), "app\n");
    EXPECT_EQ(snapshot(t / "run/app"), tree.snapshot);
  }
}

// An archive cut in the middle of its payload, and a disk that fills up:
// status 1 with the message, nothing at the target, no staging directory.
TEST(InstallInterrupted, ACutDownloadOrAFullDiskLeavesNothing) {
  TempDir t;
  mkdir((t / "app").c_str(), 0755);
  for (const char *name : {"a", "b", "c"})
    test::write_file(t / "app/" + name, test::random_bytes(1 << 20, name[0]));
  std::string archives[2];
  for (int zstd = 0; zstd < 2; zstd++) {
    std::string whole = pack(t.path, t / "whole.run", {zstd ? "--zstd=1" : "--level=6", "app"});
    std::string bytes = test::read_file(whole);
    archives[zstd] = t / (zstd ? "zstd.run" : "gzip.run");
    test::write_file(archives[zstd],
                     bytes.substr(0, bytes.size() - test::payload_of(bytes).size() / 2), 0755);
  }
  struct Case {
    std::string archive;
    bool full_disk;  // run in a tmpfs of 2 MiB
    std::string err;
  } cases[] = {
      {archives[0], false, "\n" + archives[0] + ": " + archives[0] + ": unexpected end of file\n"},
      {archives[1], false, "\n" + archives[1] + ": " + archives[1] + ": unexpected end of file\n"},
      {t / "whole.run", true, t / "run/.app.kapsa-staging/c: No space left on device\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.archive);
    test::remove_tree(t / "run");
    mkdir((t / "run").c_str(), 0755);
    Result r;
    std::string left;  // in the directory the installer ran in
    if (!c.full_disk) {
      r = test::run(c.archive, {"--quiet"}, test::at(t / "run"));
      left = names(t / "run");
    } else {
      std::string reason;
      if (!test::can_mount(&reason)) {
        std::printf("full disk not tried: %s\n", reason.c_str());
        continue;
      }
      r = test::in_mount_namespace(
          "mount -t tmpfs -o size=2m tmpfs \"$T/run\" && cd \"$T/run\" && "
          "\"$A\" --quiet || { echo $? > ../status; ls -A > ../left; }",
          [&] {
            test::RunOptions o;
            o.env = {{"T", t.path}, {"A", c.archive}};
            return o;
          }());
      r.status = std::atoi(test::read_file(t / "status").c_str());
      left = test::read_file(t / "left");
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(left, "");
  }
}

// --replace over a v1 tree installed before: the post-install's outcome
// decides which tree stays, and nothing else is left beside it.
TEST(InstallReplace, AnUpgradeReplacesTheTreeAndAFailedOnePutsTheOldTreeBack) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run as nobody too";
  Umask mask(022);
  TempDir t;
  chmod(t.path.c_str(), 0755);
  ASSERT_EQ(
      test::sh("mkdir -p v1/app/old v1/app/ro v2/app && echo one > v1/app/file && "
               "echo old > v1/app/old/file && echo ro > v1/app/ro/file && chmod 555 v1/app/ro && "
               "ln -s file v1/app/link && echo two > v2/app/file && echo new > v2/app/new",
               test::at(t.path))
          .status,
      0);
  const std::string post = "echo \"$KAPSA_DIR\" > " + t / "where";
  const std::string v1 = pack(t / "v1", t / "v1.run", {"-r", post, "app"});
  const std::string v2 = pack(t / "v2", t / "v2.run", {"-r", post, "app"});
  const std::string failing = pack(t / "v2", t / "failing.run", {"-r", "false", "app"});
  const std::string slow =
      pack(t / "v2", t / "slow.run", {"-r", "touch " + t / "started" + "; exec sleep 60", "app"});
  const std::string old_tree = snapshot(t / "v1/app"), new_tree = snapshot(t / "v2/app");
  const std::string app = t / "run/app", real = t / "real/app";
  enum How {
    in_place,   // v1 installed at run/app
    plain,      // the same, the second run without --replace
    linked,     // v1 installed at real/app, run/app a link to it
    as_nobody,  // both runs as nobody, in a directory of nobody's
    signalled,  // SIGTERM once the post-install has started
  };
  struct Case {
    const char *name;
    std::string archive;
    How how;
    int status;
    std::string err;
    bool replaced;      // v2 is in place, else v1
    std::string where;  // KAPSA_DIR as the post-install saw it
  } cases[] = {
      {"upgrade", v2, in_place, 0, "", true, app + "\n"},
      {"failed post-install", failing, in_place, 1,
       failing + ": final processing of app failed\nCommand: false\n" + failing +
           ": the post-install command failed: the previous tree is back in " + app + "\n",
       false, ""},
      {"no --replace", v2, plain, 1,
       app + ": extraction directory exists!\nPlease remove it first then try again.\n", false, ""},
      {"through a link", v2, linked, 0, "", true, real + "\n"},
      // Fails: the old tree's read-only directory cannot be removed; the
      // old tree stays as the staging directory, which stops every later
      // run ("<staging>: Permission denied"), and the status is 0.
      {"as nobody", v2, as_nobody, 0, "", true, app + "\n"},
      // Fails: the old tree stays as the staging directory and the new one
      // in place, though its post-install never finished.
      {"SIGTERM during the post-install", slow, signalled, 128 + SIGTERM, "", false, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (const char *made : {"run", "real", "started"}) test::remove_tree(t / made);
    mkdir((t / "run").c_str(), 0755);
    auto install = [&](const std::string &archive, const std::string &option) {
      if (c.how != as_nobody) return test::run(archive, {"--quiet", option}, test::at(t / "run"));
      return test::run(
          "/usr/bin/setpriv",
          {"--reuid=65534", "--regid=65534", "--clear-groups", archive, "--quiet", option},
          test::at(t / "run"));
    };
    if (c.how == as_nobody) {
      ASSERT_EQ(chown((t / "run").c_str(), 65534, 65534), 0);
    }
    Result first = install(v1, c.how == linked ? "--target=" + real : "--target=app");
    ASSERT_EQ(first.status, 0) << first.err;
    if (c.how == linked) {
      ASSERT_EQ(symlink(real.c_str(), app.c_str()), 0);
    }
    test::write_file(t / "where", "", 0666);
    Result r;
    if (c.how == signalled) {
      pid_t pid = start(c.archive, {"--quiet", "--replace"}, t / "run", t / "err");
      int status;
      if (wait_for_path(pid, t / "started", &status)) {
        kill(pid, SIGTERM);
        r.status = finish(pid);
      } else {
        ADD_FAILURE() << "the run ended (" << status << ") before its post-install started";
      }
      kill(-pid, SIGKILL);  // the post-install's sleep
      r.err = test::read_file(t / "err");
    } else {
      r = install(c.archive, c.how == plain ? "--quiet" : "--replace");
    }
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(snapshot(c.how == linked ? real : app), c.replaced ? new_tree : old_tree);
    EXPECT_EQ(names(t / "run"), "app\n");
    if (c.how == linked) {
      EXPECT_TRUE(test::is_symlink(app));
      EXPECT_EQ(names(t / "real"), "app\n");
    }
    EXPECT_EQ(test::read_file(t / "where"), c.where);
  }
}

// The static program installs a tree where there is nothing but busybox
// for the post-install's shell: no tar, no C library.
TEST(InstallStatic, ATreeInstallsInAChrootThatHoldsOnlyBusybox) {
  if (!KAPSA_STATIC_PROGRAM) GTEST_SKIP() << "the sanitizer build's program is linked dynamically";
  std::string reason;
  if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
  if (!test::exists("/bin/busybox")) GTEST_SKIP() << "no /bin/busybox (Debian busybox-static)";
  Umask mask(022);
  TempDir dir;
  make_tree(dir / "app");
  test::build_archive(dir, "app.run",
                      {"-C", "App", "-r", "echo \"post $KAPSA_DIR\" > /post.out", "app"});
  Result r = test::in_mount_namespace(
      "R=$D/root; mkdir -p $R/bin $R/proc && cp /bin/busybox $R/bin/ && ln -s busybox $R/bin/sh\n"
      "cp $D/app.run $R/app.run && mount -t proc proc $R/proc\n"
      "chroot $R /app.run > $D/run.out 2> $D/run.err; echo $? > $D/run.status\n",
      [&] {
        test::RunOptions o;
        o.env["D"] = dir.path;
        return o;
      }());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir / "run.status"), "0\n") << test::read_file(dir / "run.err");
  EXPECT_EQ(test::read_file(dir / "run.err"), "\nApp\n\nPlease wait...\n");
  EXPECT_EQ(test::read_file(dir / "run.out"), "");
  EXPECT_EQ(snapshot(dir / "root/app"), snapshot(dir / "app"));
  EXPECT_EQ(test::read_file(dir / "root/post.out"), "post /app\n");
  EXPECT_EQ(names(dir / "root"), "app\napp.run\nbin\npost.out\nproc\n");
}

// -V names a filesystem of 2 MiB for a tree of 3 MB, -S app: the tree is
// installed on a bigger one, and the link at the named place stays and
// leads to it; replaced later, it stays where it is.  An unsafe tree
// leaves nothing on either.
TEST(InstallPlacement, ATreeRelocatedToAnotherFilesystemKeepsItsLink) {
  std::string reason;
  if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
  Umask mask(022);
  TempDir t;
  const std::string small = t / "small", big = t / "big";
  for (const char *d : {"small", "big", "etc", "v1", "v1/app", "v2", "v2/app"})
    mkdir((t / d).c_str(), 0755);
  test::write_file(t / "v1/app/data", test::random_bytes(3000000, 1));
  test::write_file(t / "v2/app/data", test::random_bytes(3000000, 2));
  const std::string post = "echo \"$KAPSA_DIR\" > " + t / "where";
  const std::string v1 =
      pack(t / "v1", t / "v1.run", {"-V", small, "-S", "app", "-r", post, "app"});
  const std::string v2 =
      pack(t / "v2", t / "v2.run", {"-V", small, "-S", "app", "-r", post, "app"});
  const std::string unsafe = craft(t.path, {"f('first', bytes(3 << 20)); f('../evil')"}, post,
                                   "VFYFS=" + small + ",FSSUB=app,TREE,NAME=app")[0];
  const std::string relocated = small +
                                "/app: not enough space. Looking for space in other filesystems.\n"
                                "Trying " +
                                big + " ...\n";
  const std::string installed =
      v1 + ": installed in " + big + "/app; " + small + "/app links to it\n";
  struct Case {
    std::string commands;
    std::string err;
    std::string tree;  // what is at big/app: "v1", "v2" or nothing
  } cases[] = {
      {"\"$V1\"", relocated + "\nSelf-Extracting archive file\n\nPlease wait...\n" + installed,
       "v1"},
      {"\"$V1\" --quiet", installed, "v1"},
      {"\"$V1\" --quiet && \"$V2\" --quiet --replace", installed, "v2"},
      {"\"$UNSAFE\"",
       relocated + unsafe + ": unsafe entry in the tree: ../evil (leaves the tree)\n", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.commands);
    for (const char *made : {"installed", "where", "link"}) test::remove_tree(t / made);
    test::RunOptions o = test::at(t.path);
    o.env = {{"T", t.path}, {"V1", v1}, {"V2", v2}, {"UNSAFE", unsafe}};
    Result r = test::in_mount_namespace(
        "mount -t tmpfs -o size=2m tmpfs $T/small && mount -t tmpfs -o size=16m tmpfs $T/big\n"
        "mount -t tmpfs tmpfs $T/etc && mkdir $T/etc/u $T/etc/w\n"
        "mount -t overlay overlay -o lowerdir=/etc,upperdir=$T/etc/u,workdir=$T/etc/w /etc\n"
        "printf '/dev/small %s tmpfs rw 0\\n/dev/big %s tmpfs rw 0\\n' $T/small $T/big > "
        "/etc/mnttab\n"
        "set +e; (" +
            c.commands +
            ")\n"
            "ls -A $T/small $T/big > $T/names; readlink $T/small/app > $T/link\n"
            "test -d $T/big/app && cp -a $T/big/app $T/installed; true",
        o);
    EXPECT_EQ(r.err, c.err);
    const std::string app = c.tree.empty() ? "" : "app\n";
    EXPECT_EQ(test::read_file(t / "names"), big + ":\n" + app + "\n" + small + ":\n" + app);
    EXPECT_EQ(test::read_file(t / "link"), c.tree.empty() ? "" : big + "/app\n");
    EXPECT_EQ(test::read_file(t / "where"), c.tree.empty() ? "" : big + "/app\n");
    if (!c.tree.empty()) {
      EXPECT_EQ(snapshot(t / "installed"), snapshot(t / c.tree + "/app"));
    }
    EXPECT_FALSE(test::exists(t / "evil"));
  }
}

}  // namespace
