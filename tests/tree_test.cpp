// Packing and unpacking directory trees: real trees round-tripped through
// GNU tar, busybox tar, Python's tarfile and the unpacker; hostile streams
// made with tarfile, each refused with its reason and leaving nothing
// outside the root; what packing refuses; the parser fed in awkward pieces
// and cut at every offset; and 10,000 files timed against GNU tar.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "tree/pack.h"
#include "tree/tar.h"
#include "tree/unpack.h"

using namespace kapsa;
using test::Result;
using test::TempDir;

namespace {

using test::python;
using test::python_path;

const unsigned char *bytes(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

// Packs dir into the file out; fails the test unless the stream is as long
// as planned.
void pack(const std::string &dir, const std::string &out, long long clamp = -1) {
  TreePlan plan;
  ASSERT_EQ(tree_plan(dir.c_str(), clamp, &plan), 0);
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(tree_stream(plan, fd, out.c_str()), 0);
  close(fd);
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), plan.stream_bytes);
  EXPECT_EQ(plan.stream_bytes % 10240, 0u);
  tree_plan_free(&plan);
}

// What the parser made of a stream: its result, reason, refused name, and
// a listing of every entry with an FNV-1a hash of its data.
struct Parsed {
  int status = 0;
  std::string reason, name, listing;
};

struct Listing {
  FILE *out;
  uint64_t hash;
};

Parsed parse(const std::string &stream, size_t piece) {
  auto p = std::make_unique<TreeParser>();
  char *text = nullptr;
  size_t text_size = 0;
  Listing l = {open_memstream(&text, &text_size), 0};
  TreeParseCalls calls = {[](void *ctx, const TreeEntry &e) {
                            tree_print_entry(static_cast<Listing *>(ctx)->out, e);
                            static_cast<Listing *>(ctx)->hash = 14695981039346656037ull;
                            return 0;
                          },
                          [](void *ctx, const unsigned char *data, size_t size) {
                            uint64_t &h = static_cast<Listing *>(ctx)->hash;
                            for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 1099511628211ull;
                            return 0;
                          },
                          [](void *ctx, const TreeEntry &e) {
                            if (e.size)
                              fprintf(static_cast<Listing *>(ctx)->out, "  data %016llx\n",
                                      (unsigned long long)static_cast<Listing *>(ctx)->hash);
                            return 0;
                          }};
  tree_parse_begin(*p, calls, &l);
  Parsed r;
  for (size_t at = 0; at < stream.size() && r.status == 0; at += piece)
    r.status = tree_parse_feed(*p, bytes(stream) + at, std::min(piece, stream.size() - at));
  if (r.status == 0) r.status = tree_parse_end(*p);
  if (r.status == 1) {
    r.reason = p->reason;
    r.name = p->bad_name;
  }
  tree_parse_free(*p);
  fclose(l.out);
  r.listing.assign(text, text_size);
  free(text);
  return r;
}

// What the unpacker made of a stream: its result, the parser's reason of
// a refusal, and its counts.
struct Unpacked {
  int result;
  std::string reason;
  uint64_t files, bytes;
};

// Unpacks stream below root, piece bytes at a time.
Unpacked unpack(const std::string &stream, const std::string &root, size_t piece = 65536) {
  int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_GE(root_fd, 0);
  auto u = std::make_unique<TreeUnpacker>();
  tree_unpack_begin(*u, root_fd, root.c_str());
  int r = 0;
  for (size_t at = 0; at < stream.size() && r == 0; at += piece)
    r = tree_unpack_feed(*u, bytes(stream) + at, std::min(piece, stream.size() - at));
  int end = tree_unpack_end(*u);
  close(root_fd);
  return {r ? r : end, u->parser.status == 1 ? u->parser.reason : "", u->files, u->bytes};
}

// Unpacks the file stream below root, reading it 64 KiB at a time.
int unpack_file(const std::string &stream, const std::string &root) {
  int in = open(stream.c_str(), O_RDONLY);
  int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_GE(in, 0);
  EXPECT_GE(root_fd, 0);
  auto u = std::make_unique<TreeUnpacker>();
  tree_unpack_begin(*u, root_fd, root.c_str());
  std::vector<unsigned char> buf(65536);
  int r = 0;
  for (ssize_t n; r == 0 && (n = read(in, buf.data(), buf.size())) > 0;)
    r = tree_unpack_feed(*u, buf.data(), size_t(n));
  int end = tree_unpack_end(*u);
  close(in);
  close(root_fd);
  return r ? r : end;
}

// Options that run a command in dir, with $PYTHON the interpreter.
test::RunOptions in(const std::string &dir) {
  test::RunOptions o = test::at(dir);
  o.env["PYTHON"] = python_path();
  return o;
}

// Every entry below root, one line each, sorted: name, type, permission
// bits, size, SHA-256 of the data, the first name of the same inode, link
// target and mtime.  opts: "D" leaves out the times of directories, "L"
// those of links, "T" all times under times/.
const char snapshot_script[] = R"(
import hashlib, os, stat, sys
root, opts, seen = os.fsencode(sys.argv[1]), sys.argv[2], {}
def walk(rel):
    for n in sorted(os.listdir(os.path.join(root, rel))):
        r = os.path.join(rel, n)
        p = os.path.join(root, r)
        st = os.lstat(p)
        m, times = st.st_mode, True
        if stat.S_ISLNK(m):
            line, times = 'l -> %r' % os.readlink(p), 'L' not in opts
        elif stat.S_ISDIR(m):
            line, times = 'd %o' % stat.S_IMODE(m), 'D' not in opts
        else:
            h = hashlib.sha256()
            with open(p, 'rb') as f:
                for b in iter(lambda: f.read(1 << 20), b''):
                    h.update(b)
            first = seen.setdefault((st.st_dev, st.st_ino), r)
            line = 'f %o %d %s' % (stat.S_IMODE(m), st.st_size, h.hexdigest()[:16])
            if first != r:
                line += ' = %r' % first
        if times and not ('T' in opts and r.startswith(b'times/')):
            line += ' @%d' % (st.st_mtime_ns // 10**9)
        print('%r %s' % (r, line))
        if stat.S_ISDIR(m):
            walk(r)
walk(b'')
)";

std::string snapshot(const std::string &root, const std::string &opts = "") {
  Result r = python(snapshot_script, {root, opts.empty() ? "-" : opts});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// A tree with what a packer must get right: long names (a 100-byte one,
// one split into prefix and name, two over 255 bytes or with no split),
// blanks and non-ASCII bytes (not UTF-8 too), empty and read-only
// directories, links inside, a hard link, modes 0750, 0600 and 0444, sizes
// at the block edges, and times before 1970 and after 2242.
const char tree_script[] = R"(
import os, random, sys
top = os.fsencode(sys.argv[1])
P = lambda r: os.path.join(top, r)
def d(r, mode=0o755):
    os.mkdir(P(r)); os.chmod(P(r), mode)
def f(r, data, mode=0o644):
    with open(P(r), 'wb') as out:
        out.write(data)
    os.chmod(P(r), mode)
d(b'bin'); f(b'bin/app', b'#!/bin/sh\necho app\n', 0o750)
os.link(P(b'bin/app'), P(b'bin/app-hard')); os.symlink(b'app', P(b'bin/sh'))
os.symlink(b'../share/doc/read me.txt', P(b'bin/readme'))
d(b'etc'); f(b'etc/secret', b'key', 0o600)
d(b'empty'); d(b'empty/deeper', 0o700)
d(b'share'); d(b'share/doc'); f(b'share/doc/read me.txt', b'hello world\n' * 1000)
os.symlink(b'doc', P(b'share/docs'))
d(b'donn\xc3\xa9es'); f(b'donn\xc3\xa9es/caf\xc3\xa9 \xff.txt', b'latin')
f(b'x' * 100, b'a name of 100 bytes')
d(b'split'); d(b'split/' + b's' * 90); f(b'split/' + b's' * 90 + b'/' + b't' * 90, b'split')
long = b'long'
d(long)
for i in range(5):
    long += b'/' + bytes([97 + i]) * 50; d(long)
f(long + b'/' + b'z' * 80, b'over 255 bytes')
os.symlink(long[5:] + b'/' + b'z' * 80, P(b'long/link'))
d(b'q'); f(b'q/' + b'c' * 150, b'no split')
f(b'empty-file', b''); f(b'block', b'b' * 512); f(b'block+1', b'c' * 513)
f(b'random', random.Random(7).randbytes(30000), 0o755)
d(b'ro'); f(b'ro/file', b'read only', 0o444); os.chmod(P(b'ro'), 0o555)
d(b'times'); f(b'times/old', b'1969'); f(b'times/future', b'2255')
entries = []
for dp, dns, fns in os.walk(top):
    entries += [os.path.join(dp, n) for n in dns + fns]
for i, p in enumerate(sorted(entries, reverse=True)):
    t = 1500000000 + 1000 * i
    os.utime(p, (t, t), follow_symlinks=False)
os.utime(P(b'times/old'), (-86400 * 400, -86400 * 400))
os.utime(P(b'times/future'), (9000000000, 9000000000))
)";

void make_tree(const std::string &dir) {
  mkdir(dir.c_str(), 0755);
  Result r = python(tree_script, {dir});
  ASSERT_EQ(r.status, 0) << r.err;
}

// The file-creation mask of one test.
struct Umask {
  mode_t old;
  explicit Umask(mode_t mask) : old(umask(mask)) {}
  ~Umask() { umask(old); }
};

TEST(TreeRoundTrip, EveryExtractorMakesTheSameTree) {
  Umask mask(022);
  TempDir t;
  make_tree(t / "src");
  pack(t / "src", t / "tree.tar");
  struct Extractor {
    const char *name;
    const char *command;  // run in the empty directory; "" for the unpacker
    const char *ignored;  // what snapshot leaves out
  } extractors[] = {
      {"GNU tar", "tar --warning=no-timestamp -xf ../tree.tar", "L"},
      // busybox reads no mtime records and sets no times of directories.
      {"busybox tar", "busybox tar -xf ../tree.tar", "DLT"},
      {"tarfile",
       "$PYTHON -c 'import tarfile; tarfile.open(\"../tree.tar\").extractall(\".\", "
       "filter=\"fully_trusted\")'",
       "L"},
      {"unpacker", "", ""},
  };
  for (const Extractor &x : extractors) {
    SCOPED_TRACE(x.name);
    std::string into = t / x.name;
    mkdir(into.c_str(), 0755);
    if (x.command[0]) {
      Result r = test::sh(x.command, in(into));
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(unpack_file(t / "tree.tar", into), 0);
    }
    EXPECT_EQ(snapshot(into, x.ignored), snapshot(t / "src", x.ignored));
  }
  // Python's own safety filter takes the stream as it is.
  Result r = test::sh(
      "$PYTHON -c 'import tarfile; tarfile.open(\"tree.tar\").extractall(\"data\", "
      "filter=\"data\")'",
      in(t.path));
  EXPECT_EQ(r.status, 0) << r.err;
}

// Streams plan through a pipe into command, run in dir (the unpacker
// when command is empty).  Returns the command's status or the unpacker's
// result.
int stream_into(const TreePlan &plan, const std::string &command, const std::string &dir) {
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);  // fewer turns for 2 GiB
  std::thread writer([&] {
    EXPECT_EQ(tree_stream(plan, fds[1], "pipe"), 0);
    close(fds[1]);
  });
  int result;
  if (command.empty()) {
    int root_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    auto u = std::make_unique<TreeUnpacker>();
    tree_unpack_begin(*u, root_fd, dir.c_str());
    std::vector<unsigned char> buf(65536);
    result = 0;
    for (ssize_t n; result == 0 && (n = read(fds[0], buf.data(), buf.size())) > 0;)
      result = tree_unpack_feed(*u, buf.data(), size_t(n));
    int end = tree_unpack_end(*u);
    result = result ? result : end;
    close(root_fd);
  } else {
    pid_t pid = fork();
    if (pid == 0) {
      dup2(fds[0], 0);
      if (chdir(dir.c_str()) == 0) execl("/bin/sh", "sh", "-c", command.c_str(), (char *)nullptr);
      _exit(127);
    }
    waitpid(pid, &result, 0);
  }
  close(fds[0]);
  writer.join();
  return result;
}

// Hole blocks are read as zeros and written as holes by the unpacker.  The
// stream goes through a pipe, and the copies are made in memory (/dev/shm)
// when there is room: 2 GiB written four times takes a minute on disk.
TEST(TreeRoundTrip, ASparseFileOf2GiBPacksAndUnpacks) {
  TempDir t;
  mkdir((t / "src").c_str(), 0755);
  Result made = test::sh(
      "truncate -s 2G big && printf head | dd of=big conv=notrunc 2>/dev/null && "
      "printf tail | dd of=big bs=1 seek=2147483000 conv=notrunc 2>/dev/null",
      test::at(t / "src"));
  ASSERT_EQ(made.status, 0) << made.err;
  TreePlan plan;
  ASSERT_EQ(tree_plan((t / "src").c_str(), -1, &plan), 0);
  struct statvfs shm;
  std::string place = statvfs("/dev/shm", &shm) == 0 && shm.f_bavail * shm.f_frsize > (5ull << 30)
                          ? "/dev/shm"
                          : t.path;
  struct Extractor {
    const char *name;
    const char *command;
  } extractors[] = {
      // busybox and tarfile read the other trees of the suite; 2 GiB
      // through each would double the test's time.
      {"GNU tar", "tar -xf -"},
      {"unpacker", ""},
  };
  for (const Extractor &x : extractors) {
    SCOPED_TRACE(x.name);
    std::string into = place + "/kapsa-tree-test-" + std::to_string(getpid());
    mkdir(into.c_str(), 0755);
    EXPECT_EQ(stream_into(plan, x.command, into), 0);
    EXPECT_EQ(test::sh("cmp " + t / "src/big" + " big", test::at(into)).status, 0);
    struct stat st;
    if (!x.command[0] && stat((into + "/big").c_str(), &st) == 0) {
      EXPECT_LT(st.st_blocks, 1024) << "holes written out";
    }
    test::remove_tree(into);
  }
  tree_plan_free(&plan);
}

TEST(TreeRoundTrip, TheSameTreeGivesTheSameBytes) {
  TempDir t;
  make_tree(t / "one");
  // A copy made in another order, owned by someone else, read at another time.
  ASSERT_EQ(test::sh("cp -a one two && cd two && for f in $(ls -r); do mv \"$f\" \"$f.\" && "
                     "mv \"$f.\" \"$f\"; done && chown -Rh 1234:5678 . 2>/dev/null; "
                     "cat bin/app share/doc/* > /dev/null",
                     test::at(t.path))
                .status,
            0);
  pack(t / "one", t / "1.tar");
  pack(t / "one", t / "1-again.tar");
  pack(t / "two", t / "2.tar");
  std::string one = test::read_file(t / "1.tar");
  EXPECT_EQ(one, test::read_file(t / "1-again.tar"));
  EXPECT_EQ(one, test::read_file(t / "2.tar"));
  // SOURCE_DATE_EPOCH: no time after it.
  pack(t / "one", t / "clamped.tar", 1500000000 + 5000);
  Result r = python("import sys, tarfile\nprint(max(m.mtime for m in tarfile.open(sys.argv[1])))",
                    {t / "clamped.tar"});
  EXPECT_EQ(r.out, "1500005000\n") << r.err;
}

// The extended headers written: only where a field cannot hold the value.
TEST(TreeStream, ExtendedHeadersOnlyWhereNeeded) {
  TempDir t;
  make_tree(t / "src");
  pack(t / "src", t / "tree.tar");
  const char script[] = R"(
import sys, tarfile
for m in tarfile.open(sys.argv[1]):
    if m.pax_headers:
        name = m.name.encode('utf-8', 'surrogateescape')
        print(repr(name[:12]), len(name), sorted(m.pax_headers))
)";
  Result r = python(script, {t / "tree.tar"});
  EXPECT_EQ(r.out,
            "b'donn\\xc3\\xa9es' 8 ['path']\n"  // not ASCII
            "b'donn\\xc3\\xa9es/caf' 20 ['path']\n"
            "b'long/aaaaaaa' 208 ['path']\n"  // no "/" splits it
            "b'long/aaaaaaa' 259 ['path']\n"
            "b'long/aaaaaaa' 340 ['path']\n"
            "b'long/link' 9 ['linkpath']\n"  // a target over 100 bytes
            "b'q/cccccccccc' 152 ['path']\n"
            "b'times/future' 12 ['mtime']\n"  // after 2242
            "b'times/old' 9 ['mtime']\n")     // before 1970
      << r.err;
}

// The parser's listing does not depend on how the stream is cut into
// pieces, and a stream cut anywhere before its second zero block is never
// taken as whole.
TEST(TreeParse, AnySplitOfTheStreamGivesTheSameEntries) {
  TempDir t;
  make_tree(t / "src");
  pack(t / "src", t / "tree.tar");
  std::string stream = test::read_file(t / "tree.tar");
  Parsed whole = parse(stream, stream.size());
  ASSERT_EQ(whole.status, 0) << whole.reason;
  EXPECT_NE(whole.listing.find("h 0750            0 bin/app-hard -> bin/app\n"), std::string::npos)
      << whole.listing;
  for (size_t piece : {size_t(1), size_t(7), size_t(509), size_t(4099)}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(parse(stream, piece).listing, whole.listing);
  }
  // Where the two zero blocks end.
  size_t end = stream.size();
  while (end > 0 && stream[end - 1] == '\0') end--;
  end = (end + 511) / 512 * 512 + 1024;
  for (size_t cut = 0; cut < stream.size(); cut += 1 + cut / 4096) {
    Parsed p = parse(stream.substr(0, cut), 65536);
    EXPECT_EQ(p.status, cut >= end ? 0 : 1) << cut;
    if (cut < end) {
      EXPECT_EQ(p.reason, "truncated") << cut;
    }
  }
}

TEST(TreeParse, TheListingShowsTypeModeSizeNameAndTarget) {
  struct Case {
    TreeEntry entry;
    const char *line;
  } cases[] = {
      {{TreeType::directory, "bin", "", 0755, 0, 0, false}, "d 0755            0 bin/\n"},
      {{TreeType::file, "bin/app", "", 04750, 1234567, 0, false}, "- 4750      1234567 bin/app\n"},
      {{TreeType::symlink, "bin/sh", "app", 0777, 0, 0, false},
       "l 0777            0 bin/sh -> app\n"},
      {{TreeType::hard_link, "b", "a\nb", 0644, 0, 0, false}, "h 0644            0 b -> a\\nb\n"},
  };
  for (const Case &c : cases) {
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    tree_print_entry(out, c.entry);
    fclose(out);
    EXPECT_EQ(std::string(text, size), c.line);
    free(text);
  }
}

// Builds streams with Python's tarfile, in one run: each case is Python
// code run with f, d, sym, hard, add (name, type, data, link, mode, pax,
// size), t, buf and VICTIM, then its post code edits the bytes b (fix(b,
// at) makes a header's checksum right again).
std::vector<std::string> hostile_streams(
    const std::string &dir, const std::vector<std::pair<std::string, std::string>> &cases) {
  const char script[] = R"(
import io, sys, tarfile
def fix(b, at=0):
    h = bytearray(b[at:at + 512])
    h[148:156] = b' ' * 8
    h[148:156] = b'%06o\0 ' % sum(h)
    return b[:at] + bytes(h) + b[at + 512:]
def add(name, type=tarfile.REGTYPE, data=b'', link='', mode=0o644, pax=None, size=None):
    i = tarfile.TarInfo(name)
    i.type, i.linkname, i.mode, i.mtime = type, link, mode, 1700000000
    i.size = len(data) if size is None else size
    if pax:
        i.pax_headers = pax
    env['t'].addfile(i, io.BytesIO(data) if data else None)
for n in range(2, len(sys.argv), 2):
    buf = io.BytesIO()
    env = dict(io=io, tarfile=tarfile, add=add, fix=fix, buf=buf, VICTIM=sys.argv[1] + '/victim',
               t=tarfile.open(fileobj=buf, mode='w', format=tarfile.PAX_FORMAT),
               f=lambda name, data=b'x', **k: add(name, data=data, **k),
               d=lambda name, mode=0o755, **k: add(name, tarfile.DIRTYPE, mode=mode, **k),
               sym=lambda name, link: add(name, tarfile.SYMTYPE, link=link),
               hard=lambda name, link: add(name, tarfile.LNKTYPE, link=link))
    exec(sys.argv[n], env)
    env['t'].close()
    env['b'] = buf.getvalue()
    exec(sys.argv[n + 1], env)
    open('%s/%d.tar' % (sys.argv[1], n // 2), 'wb').write(env['b'])
)";
  std::vector<std::string> args = {dir};
  for (const auto &c : cases) args.insert(args.end(), {c.first, c.second});
  Result r = python(script, args);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> streams;
  for (size_t i = 1; i <= cases.size(); i++)
    streams.push_back(test::read_file(dir + "/" + std::to_string(i) + ".tar"));
  return streams;
}

std::string hostile_stream(const std::string &dir, const std::string &code,
                           const std::string &post = "") {
  return hostile_streams(dir, {{code, post}})[0];
}

// Everything under dir but root/, with types.
std::string outside(const std::string &dir) {
  std::vector<std::string> found;
  namespace fs = std::filesystem;
  for (auto i = fs::recursive_directory_iterator(dir); i != fs::recursive_directory_iterator();
       ++i) {
    found.push_back(i->path().string() + (i->is_symlink()     ? " link"
                                          : i->is_directory() ? " dir"
                                                              : ""));
    if (i->path().filename() == "root") i.disable_recursion_pending();
  }
  std::sort(found.begin(), found.end());
  std::string text;
  for (const std::string &f : found) text += f + "\n";
  return text;
}

TEST(TreeParse, HostileStreamsAreRefusedWithTheirReason) {
  Umask mask(022);
  const std::string long_name = "../" + std::string(98, 'a');  // in a GNU 'L' header
  struct Case {
    const char *code;    // tarfile calls
    const char *post;    // edits of b
    const char *reason;  // the parser's
    const char *name;    // the entry named, "" for none; "VICTIM/..." for the victim's path
  } cases[] = {
      {"f(VICTIM + '/evil')", "", "absolute name", "VICTIM/evil"},
      {"f('../evil')", "", "leaves the tree", "../evil"},
      {"d('a'); f('a/../../evil')", "", "leaves the tree", "a/../../evil"},
      {"sym('link', VICTIM); f('link/passwd')", "", "link outside the tree", "link"},
      {"sym('link', '/etc'); f('link/passwd')", "", "link outside the tree", "link"},
      {"d('sub'); sym('sub/up', '../..')", "", "link outside the tree", "sub/up"},
      {"d('sub'); sym('sub/l', 'x/../..')", "", "'..' after a name in the link", "sub/l"},
      {"d('sub'); sym('in', 'sub'); f('in/passwd')", "", "through a symbolic link", "in/passwd"},
      {"f('x'); f('x/y')", "", "below a file", "x/y"},
      {"hard('h', '/etc/passwd')", "", "link outside the tree", "h"},
      {"hard('h', '../h')", "", "link outside the tree", "h"},
      {"hard('h', 'nothere')", "", "hard link to an unknown file", "h"},
      {"d('sub'); hard('h', 'sub')", "", "hard link to an unknown file", "h"},
      {"f('later'); hard('h', 'early'); f('early')", "", "hard link to an unknown file", "h"},
      {"add('null', tarfile.CHRTYPE)", "", "device file", "null"},
      {"add('disk', tarfile.BLKTYPE)", "", "device file", "disk"},
      {"add('fifo', tarfile.FIFOTYPE)", "", "FIFO", "fifo"},
      {"add('label', b'V')", "", "unsupported entry type", "label"},
      {"f('x'); d('x')", "", "replaces an earlier entry", "x/"},
      {"d('x'); f('x')", "", "replaces an earlier entry", "x"},
      {"f('x'); f('./x')", "", "replaces an earlier entry", "./x"},
      {"sym('x', 'y'); f('x')", "", "replaces an earlier entry", "x"},
      {"f('a/')", "", "'/' at the end of a non-directory", "a/"},
      {"d('.')", "", "empty name", "./"},
      {"d('d', size=5)", "", "data on a non-file", "d/"},
      {"f('x', pax={'path': 'a\\0b'})", "", "NUL in name", "a"},
      {"f('x', pax={'GNU.sparse.major': '1'})", "", "sparse file", ""},
      {"t = tarfile.open(fileobj=buf, mode='w', pax_headers={'path': 'x'}); f('y')", "",
       "global extended header", ""},
      {"t = tarfile.open(fileobj=buf, mode='w', format=tarfile.GNU_FORMAT); f('../' + 'a' * 98)",
       "", "leaves the tree", long_name.c_str()},
      {"f('x', pax={'comment': 'abc'})", "b = b.replace(b'15 comment', b'16 comment')",
       "bad extended header", ""},
      {"f('x', pax={'comment': 'abc'})", "b = b.replace(b'15 comment', b'99 comment')",
       "bad extended header", ""},
      {"f('x', pax={'mtime': '12a'})", "", "bad extended header", ""},
      {"f('file')", "b = b[:5] + b'X' + b[6:]", "bad header checksum", ""},
      {"f('file')", "b = fix(b[:100] + b'0000x44' + b[107:])", "bad number in header", "file"},
      {"f('file')", "b = fix(b[:124] + b'-0000000001' + b[135:])", "bad number in header", "file"},
      {"f('file')", "b = fix(b[:257] + b'ustaR' + b[262:])", "unknown header format", ""},
      {"f('a'); f('b')", "b = b[:1124]", "truncated", ""},
      {"f('a', b'x' * 1000)", "b = b[:600]", "truncated", "a"},
      {"f('a')", "b = b[:1024]", "truncated", ""},
      {"f('a')", "b = b[:1536]", "truncated", ""},
      {"f('a'); f('b')", "b = b[:1024] + bytes(512) + b[1024:]", "lone zero block", ""},
      {"f('a')", "b = b + b'junk'", "data after the end", ""},
  };
  TempDir t;
  mkdir((t / "victim").c_str(), 0755);
  std::vector<std::pair<std::string, std::string>> code;
  for (const Case &c : cases) code.push_back({c.code, c.post});
  std::vector<std::string> streams = hostile_streams(t.path, code);
  for (size_t i = 0; i < code.size(); i++) {
    const Case &c = cases[i];
    const std::string &stream = streams[i];
    SCOPED_TRACE(c.code + std::string(" / ") + c.post);
    std::string name = c.name;
    if (name.compare(0, 6, "VICTIM") == 0) name = t / "victim" + name.substr(6);
    Parsed p = parse(stream, stream.size());
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.reason, c.reason);
    EXPECT_EQ(p.name, name);
    EXPECT_EQ(parse(stream, 1).reason, c.reason) << "fed a byte at a time";
    mkdir((t / "root").c_str(), 0700);
    std::string before = outside(t.path);
    Unpacked u = unpack(stream, t / "root");
    EXPECT_EQ(u.result, 1);
    EXPECT_EQ(u.reason, c.reason);
    EXPECT_EQ(outside(t.path), before);
    test::remove_tree(t / "root");
  }
}

// The caller's line for a refused stream names the entry, or the byte
// where the damage is.
TEST(TreeParse, TheRefusalIsReportedWithTheNameEscaped) {
  TempDir t;
  std::string named = hostile_stream(t.path, "f('../a\\nb')", "");
  std::string damaged = hostile_stream(t.path, "f('a'); f('b')", "b = b[:1024] + b'x' + b[1025:]");
  for (const std::string *stream : {&named, &damaged}) {
    Result r = test::in_child([&] {
      auto p = std::make_unique<TreeParser>();
      tree_parse_begin(*p, TreeParseCalls{}, nullptr);
      tree_parse_feed(*p, bytes(*stream), stream->size());
      tree_report_unsafe("app.run", *p);
      tree_parse_free(*p);
      return 0;
    });
    EXPECT_EQ(r.err, stream == &named
                         ? "app.run: unsafe entry in the tree: ../a\\nb (leaves the tree)\n"
                         : "app.run: damaged tree at byte 1024 (bad header checksum)\n");
  }
}

// Header fields changed at random, checksums made right again: neither
// the parser nor the unpacker ever crashes, the unpacker refuses what the
// parser refuses, and nothing is made outside the root.
TEST(TreeUnpack, DamagedHeadersNeverReachOutsideTheRoot) {
  Umask mask(022);
  TempDir t;
  ASSERT_EQ(
      test::sh("mkdir -p src/d/e && cd src && echo a > d/f && ln d/f d/h && ln -s ../f d/e/l && "
               "mkdir -p " +
                   std::string(60, 'n') + "/" + std::string(60, 'm') +
                   " && touch \"$(printf 'caf\\303\\251')\" && ln -s e d/k",
               test::at(t.path))
          .status,
      0);
  pack(t / "src", t / "tree.tar");
  const std::string stream = test::read_file(t / "tree.tar");
  std::vector<size_t> headers;  // header blocks and extended header data
  for (size_t at = 0; at + 512 <= stream.size(); at += 512)
    if (stream.compare(at + 257, 6, std::string("ustar\0", 6)) == 0) {
      headers.push_back(at);
      if (stream[at + 156] == 'x') headers.push_back(at + 512);
    }
  ASSERT_GT(headers.size(), 10u);
  std::mt19937 random(1);
  std::string before = outside(t.path);
  // What the unpacker says of the names it cannot make stays out of the way.
  int saved_stderr = dup(2);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  for (int round = 0; round < 250; round++) {
    std::string damaged = stream;
    size_t block = headers[random() % headers.size()];
    for (int flips = 1 + int(random() % 3); flips > 0; flips--)
      damaged[block + random() % 512] = char(random() % 4 ? random() % 128 : random());
    if (damaged.compare(block + 257, 5, "ustar") == 0) {
      unsigned sum = 0;
      damaged.replace(block + 148, 8, 8, ' ');
      for (size_t i = 0; i < 512; i++) sum += static_cast<unsigned char>(damaged[block + i]);
      char field[8];
      snprintf(field, sizeof field, "%06o", sum);
      damaged.replace(block + 148, 8, std::string(field, 7) + " ");
    }
    Parsed p = parse(damaged, 4096);
    mkdir((t / "root").c_str(), 0700);
    int unpacked = unpack(damaged, t / "root", 4096).result;
    if (p.status == 1) {
      EXPECT_EQ(unpacked, 1) << round << ": " << p.reason;
    }
    test::remove_tree(t / "root");
    EXPECT_EQ(outside(t.path), before) << round;
  }
  dup2(saved_stderr, 2);
  close(saved_stderr);
  close(null);
}

// Setuid, setgid and sticky bits are dropped and the file-creation mask
// narrows every mode; what is accepted is made exactly.
TEST(TreeUnpack, ModesLoseSpecialBitsAndFollowTheMask) {
  Umask mask(027);
  TempDir t;
  std::string stream = hostile_stream(
      t.path,
      "f('suid', mode=0o4755); f('sgid', mode=0o2775); d('tmp', mode=0o1777); "
      "f('tmp/f', mode=0o666); hard('tmp/h', 'suid'); sym('s', 'tmp/f'); f('a/b/c', b'deep'); "
      "d('a', mode=0o555)",
      "");
  EXPECT_EQ(parse(stream, 1).status, 0);
  mkdir((t / "root").c_str(), 0700);
  Unpacked u = unpack(stream, t / "root", 1);
  ASSERT_EQ(u.result, 0);
  EXPECT_EQ(u.files, 5u);  // the hard link counts
  EXPECT_EQ(u.bytes, 7u);
  EXPECT_EQ(snapshot(t / "root", "DL"),
            "b'a' d 550\n"
            "b'a/b' d 750\n"
            "b'a/b/c' f 640 4 74611c1d6455b534 @1700000000\n"
            "b's' l -> b'tmp/f'\n"
            "b'sgid' f 750 1 2d711642b726b044 @1700000000\n"
            "b'suid' f 750 1 2d711642b726b044 @1700000000\n"
            "b'tmp' d 750\n"
            "b'tmp/f' f 640 1 2d711642b726b044 @1700000000\n"
            "b'tmp/h' f 750 1 2d711642b726b044 = b'suid' @1700000000\n");
}

// Run as another user (for whom permissions count), a read-only directory
// is still filled, and gets its mode at the end.
TEST(TreeUnpack, AReadOnlyDirectoryIsFilledByAnOrdinaryUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  Umask mask(022);
  TempDir t;
  std::string stream = hostile_stream(
      t.path, "d('ro', mode=0o555); f('ro/f', mode=0o444); d('ro/sub', mode=0o500)", "");
  mkdir((t / "root").c_str(), 0700);
  ASSERT_EQ(chown((t / "root").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
  Result r = test::in_child([&] {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      return 2;
    return unpack(stream, t / "root", 100).result;
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(snapshot(t / "root", "D"),
            "b'ro' d 555\n"
            "b'ro/f' f 444 1 2d711642b726b044 @1700000000\n"
            "b'ro/sub' d 500\n");
}

// A write that fails is said with its path and stops the unpacking.
TEST(TreeUnpack, AFailedWriteIsReportedWithItsPath) {
  TempDir t;
  std::string stream = hostile_stream(t.path, "f('big', b'x' * 100000)", "");
  mkdir((t / "root").c_str(), 0700);
  Result r = test::in_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    return unpack(stream, t / "root").result == -1 ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, t / "root/big: File too large\n");
}

// Each refused before a byte is written, with one line naming the path.
TEST(TreePlan, WhatCannotBePackedIsRefused) {
  struct Case {
    const char *make;     // shell commands run in the tree
    const char *message;  // after "<tree>/"
    bool as_nobody;       // run as an ordinary user
  } cases[] = {
      {"mkfifo pipe", "pipe: cannot pack a FIFO\n", false},
      {"$PYTHON -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"sock\")'",
       "sock: cannot pack a socket\n", false},
      {"mknod null c 1 3", "null: cannot pack a character device\n", false},
      {"mkdir d && ln -s /etc d/etc", "d/etc: symbolic link points outside the tree: /etc\n",
       false},
      {"mkdir -p d/e && ln -s ../../.. d/e/up",
       "d/e/up: symbolic link points outside the tree: ../../..\n", false},
      {"mkdir d && ln -s 'x/../..' d/l",
       "d/l: symbolic link target has '..' after a name: x/../..\n", false},
      {"echo secret > key && chmod 0200 key", "key: Permission denied\n", true},
      {"mkdir -p d/closed && chmod 0 d/closed", "d/closed: Permission denied\n", true},
      {"touch \"$(printf 'a\\tb')\" && mkfifo \"$(printf 'a\\nb')\"", "a\\nb: cannot pack a FIFO\n",
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.make);
    TempDir t;
    chmod(t.path.c_str(), 0755);
    std::string tree = t / "tree";
    mkdir(tree.c_str(), 0755);
    Result made = test::sh(c.make, in(tree));
    if (made.status != 0) {
      std::printf("skipped (%s): %s", c.make, made.err.c_str());
      continue;
    }
    if (c.as_nobody && geteuid() != 0) {
      std::printf("skipped (%s): needs root to become another user\n", c.make);
      continue;
    }
    Result r = test::in_child([&] {
      if (c.as_nobody && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                          setresuid(65534, 65534, 65534) != 0))
        return 2;
      TreePlan plan;
      int planned = tree_plan(tree.c_str(), -1, &plan);
      tree_plan_free(&plan);
      return planned == -1 ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, tree + "/" + c.message);
  }
}

// A file that changes between the plan and the stream fails the stream,
// as does a write that fails.
TEST(TreeStream, AFileThatChangedOrAFailedWriteFailsTheStream) {
  struct Case {
    const char *change;   // shell commands run in the tree after planning
    const char *out;      // where the stream goes
    const char *message;  // "<tree>/" comes first unless it starts with "/"
  } cases[] = {
      {"echo more >> f", "/dev/null", "f: changed size while it was read\n"},
      {"truncate -s 10 f", "/dev/null", "f: changed size while it was read\n"},
      {"rm f && mkdir f", "/dev/null", "f: is no longer a regular file\n"},
      {"rm f && ln -s g f", "/dev/null", "f: Too many levels of symbolic links\n"},
      {"", "/dev/full", "/dev/full: No space left on device\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.change);
    TempDir t;
    std::string tree = t / "tree";
    mkdir(tree.c_str(), 0755);
    test::write_file(tree + "/f", std::string(100000, 'f'));
    TreePlan plan;
    ASSERT_EQ(tree_plan(tree.c_str(), -1, &plan), 0);
    ASSERT_EQ(test::sh(c.change, test::at(tree)).status, 0);
    Result r = test::in_child([&] {
      int fd = open(c.out, O_WRONLY);
      return tree_stream(plan, fd, c.out) == -1 ? 0 : 1;
    });
    tree_plan_free(&plan);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, (c.message[0] == '/' ? "" : tree + "/") + c.message);
  }
}

// Not a check: the figures, set beside GNU tar's on the same tree.
TEST(TreeBench, TenThousandFilesAgainstGnuTar) {
  TempDir t;
  ASSERT_EQ(test::sh("mkdir -p src/many && cd src/many && "
                     "$PYTHON -c 'import os\nfor i in range(10000): open(\"f%05d\" % i, "
                     "\"w\").write(\"x\" * (i % 700))'",
                     in(t.path))
                .status,
            0);
  auto seconds = [](auto start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  auto start = std::chrono::steady_clock::now();
  pack(t / "src", t / "ours.tar");
  double ours_pack = seconds(start);
  mkdir((t / "ours").c_str(), 0755);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(unpack_file(t / "ours.tar", t / "ours"), 0);
  double ours_unpack = seconds(start);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(test::sh("tar -cf gnu.tar -C src .", test::at(t.path)).status, 0);
  double gnu_pack = seconds(start);
  mkdir((t / "gnu").c_str(), 0755);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(test::sh("tar -xf gnu.tar -C gnu", test::at(t.path)).status, 0);
  double gnu_unpack = seconds(start);
  EXPECT_EQ(snapshot(t / "ours"), snapshot(t / "gnu"));
  std::printf(
      "10,000 files: pack %.3f s (GNU tar cf %.3f s, x%.2f), unpack %.3f s (GNU tar xf "
      "%.3f s, x%.2f)\n",
      ours_pack, gnu_pack, ours_pack / gnu_pack, ours_unpack, gnu_unpack, ours_unpack / gnu_unpack);
}

}  // namespace
