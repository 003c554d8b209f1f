#!/usr/bin/env python3
"""make bench: kapsa against gzip -9 and pigz, measured side by side in one run.

Usage: bench/run.py BUILD_DIR [--runs N] [--work DIR]

The corpus looks like a software installation: a tar of /usr/include and
/usr/lib/gcc (sorted, fixed owner and time stamps), cut to 254 MiB (266 MB),
and a 64 MiB slice of it.  Both are made once and kept in the work directory
(bench/work by default).

For each input the commands run in turn, round after round, so that a slow
moment of the machine touches all of them alike.  Every time is the median
of the rounds, with the spread (lowest-highest) in brackets, and is set
against gzip's figure of the same run.  Each command starts after a sync, so
that none is timed while the data of the one before goes to disk.  A kapsa
payload is the archive less the extractor image and the preamble.  Peak
memory is the command's maximum resident set size, from GNU time (Debian
package "time").  pigz (Debian package "pigz") is optional: without it, its
figures are left out.

The extraction rows (BENCH_ONLY=extraction runs them alone) time kapsa -x
into /dev/null and into a file, --check and the installation of a tree (the
corpus unpacked once into bench/work/tree and built with `kapsa corpus`),
of the default (gzip) and the --zstd archives, on one processor (taskset -c
0) and on all, against gzip -dc, pigz -dc, igzip -dc (Debian package isal),
libdeflate-gunzip (libdeflate-tools) and zstd -dc of the same tar, and tar
xf of the tree's uncompressed tar (the floor); a tool that is missing is
left out.

The --zstd rows (BENCH_ONLY=zstd runs them alone, in as many rounds as the
others) time level-19 builds of the corpus at --threads=1 and 2 against one
frame made on one thread, the same build fed through a pipe.
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20
CORPUS_SIZE = 254 * MiB
SLICE_SIZE = 64 * MiB
SPARSE_SIZE = 4 << 30
CORPUS_DIRS = ["/usr/include", "/usr/lib/gcc"]
TIME = "/usr/bin/time"  # GNU time, for the peak memory of the command alone
MAGIC_SIZE = 11


def measure(argv, stdout, cwd=None):
    """Runs argv once; returns (seconds, peak RSS in KiB, 0 when unknown).

    The peak memory comes from GNU time, which forks a small process of its
    own: the rusage of a child forked from this Python process would carry
    Python's own high-water mark across the exec."""
    with open(stdout, "wb") as out, tempfile.NamedTemporaryFile("r") as rss_file:
        prefix = [TIME, "-f", "%M", "-o", rss_file.name] if os.path.exists(TIME) else []
        start = time.perf_counter()
        proc = subprocess.run(prefix + argv, stdout=out, stderr=subprocess.DEVNULL, cwd=cwd)
        seconds = time.perf_counter() - start
        text = rss_file.read().strip().splitlines()
    if proc.returncode != 0:
        sys.exit("bench: %s failed with status %d" % (" ".join(argv), proc.returncode))
    return seconds, int(text[-1]) if text and text[-1].isdigit() else 0


class Series:
    def __init__(self, name, argv, out):
        self.name, self.argv, self.out = name, argv, out
        self.times = []
        self.rss = 0

    def run(self, cwd):
        if os.path.exists(self.out):
            os.unlink(self.out)
        # Written data of the commands before (the archives of the builds
        # above all) goes to disk now, not during this command's time.
        os.sync()
        seconds, rss = measure(self.argv, self.out, cwd)
        self.times.append(seconds)
        self.rss = max(self.rss, rss)

    @property
    def median(self):
        return statistics.median(self.times)

    def timing(self):
        return "%7.3f s [%.3f-%.3f]" % (self.median, min(self.times), max(self.times))


def alternate(series, runs, cwd):
    for _ in range(runs):
        for s in series:
            s.run(cwd)


def make_corpus(work):
    corpus = os.path.join(work, "corpus.tar")
    if not os.path.exists(corpus) or os.path.getsize(corpus) != CORPUS_SIZE:
        print("making the corpus (%d MiB tar of %s) ..." % (CORPUS_SIZE // MiB, " ".join(CORPUS_DIRS)))
        dirs = [d for d in CORPUS_DIRS if os.path.isdir(d)]
        tar = subprocess.Popen(
            ["tar", "cf", "-", "--sort=name", "--owner=0", "--group=0", "--numeric-owner",
             "--mtime=2020-01-01", "--ignore-failed-read"] + dirs,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        with open(corpus + ".part", "wb") as f:
            left = CORPUS_SIZE
            while left > 0:
                block = tar.stdout.read(min(left, MiB))
                if not block:
                    break
                f.write(block)
                left -= len(block)
        tar.kill()
        tar.wait()
        if left > 0:
            sys.exit("bench: the corpus directories hold less than %d MiB" % (CORPUS_SIZE // MiB))
        os.rename(corpus + ".part", corpus)
    sliced = os.path.join(work, "slice.tar")
    if not os.path.exists(sliced) or os.path.getsize(sliced) != SLICE_SIZE:
        with open(corpus, "rb") as f, open(sliced, "wb") as out:
            out.write(f.read(SLICE_SIZE))
    return corpus, sliced


def shared_libraries(program):
    """What the program needs at run time, from its dynamic section."""
    dynamic = subprocess.run(["readelf", "-d", program], capture_output=True, text=True).stdout
    libs = [l.split("[")[1].rstrip("]") for l in dynamic.splitlines() if "(NEEDED)" in l]
    return " ".join(libs) if libs else "nothing (static)"


CLASS_SIZE = 32 * 1000 * 1000


def make_classes(work):
    """Input classes beside the corpus, each made once, deterministically:
    name -> path.  Kinds of data on which compressors behave differently."""
    import random
    classes = {}

    def made(name, write):
        path = os.path.join(work, "class-" + name)
        if not os.path.exists(path):
            with open(path + ".part", "wb") as f:
                write(f)
            os.rename(path + ".part", path)
        classes[name] = path

    def numbers(f):
        f.write("".join("%d\n" % i for i in range(1, 2100000)).encode()[:12000000])

    def csv(f):
        rnd = random.Random(2)
        stores = ["store_%d" % i for i in range(40)]
        items = ["widget", "gadget", "gizmo", "doohickey", "sprocket", "flange"]
        out, size, row = [], 0, 0
        while size < CLASS_SIZE:
            line = "2026-%02d-%02d,%s,%s,%d,%d.%02d,EUR,%s\n" % (
                1 + row // 900000 % 12, 1 + row // 30000 % 28, rnd.choice(stores), rnd.choice(items),
                rnd.randint(1, 9), rnd.randint(1, 99), rnd.randint(0, 99),
                "ok" if rnd.random() < 0.97 else "refund")
            out.append(line)
            size += len(line)
            row += 1
        f.write("".join(out).encode()[:CLASS_SIZE])

    def logs(f):
        rnd = random.Random(3)
        paths = ["/api/v1/items/%d", "/api/v1/users/%d/cart", "/static/app.%d.js", "/health"]
        out, size, t = [], 0, 1765295396.0
        while size < CLASS_SIZE:
            t += rnd.expovariate(200.0)
            path = rnd.choice(paths)
            line = "%s.%06dZ host-%d app[%d]: GET %s %d %dms\n" % (
                time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)), int(t % 1 * 1e6), rnd.randint(1, 8),
                1000 + rnd.randint(0, 30), path % rnd.randint(1, 99999) if "%d" in path else path,
                rnd.choice([200, 200, 200, 200, 304, 404, 500]), rnd.randint(1, 250))
            out.append(line)
            size += len(line)
        f.write("".join(out).encode()[:CLASS_SIZE])

    def libraries(f):
        libs = sorted(os.path.join(d, n) for d in ["/usr/lib/x86_64-linux-gnu"]
                      for n in os.listdir(d) if ".so" in n and os.path.isfile(os.path.join(d, n)))
        tar = subprocess.run(["tar", "cf", "-", "--owner=0", "--group=0", "--numeric-owner",
                              "--mtime=2020-01-01"] + libs, capture_output=True)
        f.write(tar.stdout[:64000000])

    def zeros(f):
        f.truncate(CLASS_SIZE)

    def noise(f):
        f.write(random.Random(1).randbytes(CLASS_SIZE))

    for name, write in [("numbers", numbers), ("csv", csv), ("logs", logs),
                        ("libraries", libraries), ("zeros", zeros), ("random", noise)]:
        made(name, write)
    return classes


def bench_classes(kapsa, work, runs, pigz):
    """The default build at one and two threads against gzip -9 (and pigz)
    on each input class: time and size, and the targets (one thread at most
    1.0x gzip -9's time, two threads at most 0.6x, at most 0.1% larger)."""
    image = os.path.getsize(kapsa)
    print("\ninput classes, default level, against gzip -9 (%d rounds, medians):" % runs)
    print("  %-10s %10s  %-22s %-22s %-12s %s" % (
        "class", "bytes", "kapsa --threads=1", "kapsa --threads=2", "gzip -9", "pigz -9 -p2"))
    worst = {"t1": 0.0, "t2": 0.0, "size": -100.0}
    for name, path in make_classes(work).items():
        base = os.path.basename(path)
        series = [
            Series("t1", [kapsa, "--threads=1", base], os.path.join(work, base + ".t1.run")),
            Series("t2", [kapsa, "--threads=2", base], os.path.join(work, base + ".t2.run")),
            Series("gzip", ["gzip", "-9", "-n", "-c", base], os.path.join(work, base + ".gz")),
        ]
        if pigz:
            series.append(Series("pigz", ["pigz", "-9", "-p2", "-c", base],
                                 os.path.join(work, base + ".pigz.gz")))
        alternate(series, runs, work)
        gz = series[2]
        gz_size = os.path.getsize(gz.out)
        cells = []
        for s in series:
            size = payload_size(s.out, image) if s.out.endswith(".run") else os.path.getsize(s.out)
            share = 100.0 * (size - gz_size) / gz_size
            cells.append("%.2fs %.3fx %+.2f%%" % (s.median, s.median / gz.median, share))
            if s.name in ("t1", "t2"):
                worst[s.name] = max(worst[s.name], s.median / gz.median)
                worst["size"] = max(worst["size"], share)
        print("  %-10s %10d  %-22s %-22s %-12s %s" % (
            name, os.path.getsize(path), cells[0], cells[1], "%.2fs" % gz.median,
            cells[3] if pigz else "-"))
        for s in series:
            os.unlink(s.out)
    print("  worst: one thread %.3fx (target <= 1.0x), two threads %.3fx (target <= 0.6x), "
          "size %+.2f%% (target <= +0.1%%)" % (worst["t1"], worst["t2"], worst["size"]))


def bench_formats(kapsa, work, runs, src, label):
    """gzip and zstd payloads side by side: build time, payload size and peak
    memory, then extraction into a file, against gzip -9 / gzip -dc, with the
    system's zstd and xz as references.  The slow builds (zstd 19 and up, xz)
    run once; the others runs times."""
    name = os.path.basename(src)
    image = os.path.getsize(kapsa)
    out = lambda suffix: os.path.join(work, name + ".formats" + suffix)
    fast = [
        Series("gzip -9", ["gzip", "-9", "-n", "-c", name], out(".gz")),
        Series("kapsa (gzip)", [kapsa, name], out(".run")),
        Series("kapsa --zstd=3", [kapsa, "--zstd=3", name], out(".z3.run")),
        Series("kapsa --zstd=9", [kapsa, "--zstd=9", name], out(".z9.run")),
    ]
    slow = [
        Series("kapsa --zstd (19)", [kapsa, "--zstd", name], out(".z19.run")),
        Series("kapsa --zstd=22", [kapsa, "--zstd=22", name], out(".z22.run")),
    ]
    refs = []
    if shutil.which("zstd"):
        refs.append(Series("zstd -19 -T2", ["zstd", "-q", "-19", "-T2", "-c", name], out(".zst")))
    if shutil.which("xz"):
        refs.append(Series("xz -9 -T2", ["xz", "-9", "-T2", "-c", name], out(".xz")))
    alternate(fast, runs, work)
    alternate(slow + refs, 1, work)
    every = fast + slow + refs
    gz = fast[0]
    gz_size = os.path.getsize(gz.out)
    # Extraction into a file of each archive, and of the references.
    target = tempfile.mkdtemp(prefix="kapsa-bench-", dir=work)
    sink = os.path.join(target, "out")
    readers = {"gzip -9": ["gzip", "-dc", gz.out]}
    for s in every:
        if s.out.endswith(".run"):
            os.chmod(s.out, 0o755)
            readers[s.name] = [s.out, "-x"]
        elif s.out.endswith(".zst"):
            readers[s.name] = ["zstd", "-q", "-dc", s.out]
        elif s.out.endswith(".xz"):
            readers[s.name] = ["xz", "-dc", s.out]
    extract = {n: Series(n, argv, sink) for n, argv in readers.items()}
    alternate(list(extract.values()), max(runs, 7), target)
    shutil.rmtree(target)
    base = extract["gzip -9"].median
    print("\nformats, %s (%d bytes): build | payload | extraction -x > file" % (label, os.path.getsize(src)))
    print("  %-18s %9s %9s %11s %9s %9s %9s %9s" % ("", "build", "/gzip -9", "payload", "vs gzip",
                                                    "peak RSS", "extract", "/gzip -dc"))
    figures = {}
    for s in every:
        size = payload_size(s.out, image) if s.out.endswith(".run") else os.path.getsize(s.out)
        x = extract[s.name]
        figures[s.name] = (s.median / gz.median, 100.0 * (size - gz_size) / gz_size, s.rss / 1024,
                           x.median / base)
        print("  %-18s %8.2fs %8.3fx %11d %+8.2f%% %6.0f MiB %8.3fs %8.3fx" % (
            s.name, s.median, s.median / gz.median, size, 100.0 * (size - gz_size) / gz_size,
            s.rss / 1024, x.median, x.median / base))
    for s in every:
        os.unlink(s.out)
    return figures


class Command:
    """A command timed round after round; before (optional) runs untimed
    ahead of each round (a tree's target is removed).  Its output goes to
    out, which is never removed (it may be /dev/null)."""

    def __init__(self, name, argv, out="/dev/null", before=None):
        self.name, self.argv, self.out, self.before = name, argv, out, before
        self.times = []

    def run(self, cwd):
        if self.before:
            self.before()
        os.sync()
        start = time.perf_counter()
        with open(self.out, "wb") as out:
            proc = subprocess.run(self.argv, stdout=out, stderr=subprocess.DEVNULL, cwd=cwd)
        self.times.append(time.perf_counter() - start)
        if proc.returncode != 0:
            sys.exit("bench: %s failed with status %d" % (" ".join(self.argv), proc.returncode))

    median = Series.median
    timing = Series.timing


def extraction_inputs(kapsa, work, corpus):
    """What the extraction rows read, made once: kapsa's archives of the
    corpus (gzip, the default, and --zstd), the same tar compressed by gzip
    -9 and zstd -19, and a tree: the corpus unpacked into a directory, its
    tar (uncompressed) and kapsa's tree archives of it.  name -> path."""
    made = {}

    def make(name, argv, cwd=work):
        path = os.path.join(work, name)
        if not os.path.exists(path):
            with open(path + ".part", "wb") as out:
                subprocess.run(argv, stdout=out, stderr=subprocess.DEVNULL, cwd=cwd, check=True)
            os.rename(path + ".part", path)
            if name.endswith(".run"):
                os.chmod(path, 0o755)
        made[name] = path

    base = os.path.basename(corpus)
    make("x.gzip.run", [kapsa, base])
    make("x.zstd.run", [kapsa, "--zstd", base])
    make("x.tar.gz", ["gzip", "-9", "-n", "-c", base])
    make("x.tar.zst", ["zstd", "-q", "-19", "--long=27", "-T0", "-c", base])
    tree = os.path.join(work, "tree")
    top = os.path.join(tree, "corpus")
    if not os.path.exists(os.path.join(tree, "ready")):
        # The corpus is cut in the middle of a file: tar says so, and
        # unpacks the rest.  Links that leave the tree (/etc/alternatives)
        # are left out: a tree archive refuses them.
        shutil.rmtree(tree, ignore_errors=True)
        for stale in ("x.tree.tar", "x.tree.gzip.run", "x.tree.zstd.run"):
            if os.path.exists(os.path.join(work, stale)):
                os.unlink(os.path.join(work, stale))
        os.makedirs(top)
        subprocess.run(["tar", "xf", corpus, "-C", top], stderr=subprocess.DEVNULL)
        for d, dirs, files in os.walk(top):
            for n in dirs + files:
                path = os.path.join(d, n)
                if os.path.islink(path) and not os.path.realpath(path).startswith(top + "/"):
                    os.unlink(path)
        open(os.path.join(tree, "ready"), "w").close()
    make("x.tree.tar", ["tar", "cf", "-", "corpus"], cwd=tree)
    make("x.tree.gzip.run", [kapsa, "corpus"], cwd=tree)
    make("x.tree.zstd.run", [kapsa, "--zstd", "corpus"], cwd=tree)
    return made


def bench_extraction(kapsa, work, runs, corpus):
    """Extraction of the corpus, on one processor (taskset -c 0) and on
    all: kapsa -x into /dev/null and into a file, --check, and a tree
    installed (--target), of kapsa's gzip (default) and --zstd archives,
    against gzip, pigz, igzip, libdeflate-gunzip and zstd -dc of the same
    tar, and tar xf of the tree's uncompressed tar into the same filesystem
    (the floor).  Streams are set against libdeflate-gunzip -c > /dev/null,
    trees against tar xf, of the same run and processors.  Returns the
    figures: (processors, name) -> median seconds."""
    made = extraction_inputs(kapsa, work, corpus)
    target = os.path.join(work, "x.target")
    sink = os.path.join(work, "x.out")

    def fresh_target():
        shutil.rmtree(target, ignore_errors=True)

    def fresh_dir():
        fresh_target()
        os.makedirs(target)

    gz, zst = made["x.tar.gz"], made["x.tar.zst"]
    tools = [("gzip -dc", ["gzip", "-dc", gz]), ("pigz -dc", ["pigz", "-dc", gz]),
             ("igzip -dc", ["igzip", "-dc", gz]), ("libdeflate-gunzip -c", ["libdeflate-gunzip", "-c", gz]),
             ("zstd -dc", ["zstd", "-q", "-dc", zst])]
    missing = [n for n, argv in tools if not shutil.which(argv[0])]
    if missing:
        print("bench: not installed, left out: %s (Debian packages pigz, isal, libdeflate-tools, "
              "zstd)" % ", ".join(missing))
    tools = [(n, argv) for n, argv in tools if shutil.which(argv[0])]
    figures = {}
    for label, prefix in (("1 processor", ["taskset", "-c", "0"]), ("2 processors", [])):
        rows = []
        for kind in ("gzip", "zstd"):
            archive = made["x.%s.run" % kind]
            rows.append(Command("kapsa -x > /dev/null (%s)" % kind, prefix + [archive, "-x"]))
            rows.append(Command("kapsa --check (%s)" % kind, prefix + [archive, "--check"]))
            rows.append(Command("kapsa -x > file (%s)" % kind, prefix + [archive, "-x"], sink))
        rows += [Command(n + " > /dev/null", prefix + argv) for n, argv in tools]
        rows += [Command(n + " > file", prefix + argv, sink) for n, argv in tools
                 if n in ("gzip -dc", "libdeflate-gunzip -c")]
        trees = [Command("kapsa tree --target (%s)" % kind,
                         prefix + [made["x.tree.%s.run" % kind], "--target=" + target],
                         before=fresh_target) for kind in ("gzip", "zstd")]
        trees.append(Command("tar xf (uncompressed)", prefix + ["tar", "xf", made["x.tree.tar"], "-C", target],
                             before=fresh_dir))
        alternate(rows + trees, max(runs, 5), work)
        fresh_target()
        base = next((r for r in rows if r.name.startswith("libdeflate-gunzip -c > /dev")), rows[0])
        floor = trees[-1]
        print("\nextraction of the corpus, %s (%d rounds, alternating; medians [lowest-highest]):"
              % (label, max(runs, 5)))
        for r in rows + trees:
            ref = floor if r in trees else base
            print("  %-34s %-26s %7.3fx %s" % (r.name, r.timing(), r.median / ref.median, ref.name))
            figures[(label, r.name)] = r.median
        figures[(label, "base")] = base.median
        figures[(label, "floor")] = floor.median
    if os.path.exists(sink):
        os.unlink(sink)
    return figures


def bench_zstd_threads(kapsa, work, corpus, image, rounds):
    """--zstd (level 19) builds of the corpus at --threads=1 and 2, against
    one frame: the same build fed through a pipe, whose size is unknown, so
    that it stays one frame made on one thread, as every build did before
    frames were cut at the window.  Alternating rounds: times, whether the
    bytes at 1 and 2 threads are the same, and the payload at 2 threads
    against the one frame's.  Returns (time at 2 / one frame, time at 2 /
    time at 1, size difference in percent, same bytes)."""
    name = os.path.basename(corpus)
    one = Series("--zstd, one frame (a pipe)",
                 ["sh", "-c", 'cat "$1" | exec "$0" --zstd /dev/stdin', kapsa, name],
                 os.path.join(work, name + ".zt0.run"))
    series = [Series("--zstd --threads=%d" % t, [kapsa, "--zstd", "--threads=%d" % t, name],
                     os.path.join(work, name + ".zt%d.run" % t)) for t in (1, 2)]
    alternate([one] + series, rounds, work)
    same = filecmp.cmp(series[0].out, series[1].out, shallow=False)
    size, one_size = payload_size(series[1].out, image), payload_size(one.out, image)
    share = 100.0 * (size - one_size) / one_size
    print("\n--zstd (19) build of the corpus, %d round(s):" % rounds)
    for s in [one] + series:
        print("  %-40s %s" % (s.name, s.timing()))
    print("  --threads=2 / one frame %.3fx, / --threads=1 %.3fx; %s; payload %d bytes, "
          "%+.2f%% against one frame" % (
              series[1].median / one.median, series[1].median / series[0].median,
              "same bytes" if same else "DIFFERENT BYTES", size, share))
    for s in [one] + series:
        os.unlink(s.out)
    return series[1].median / one.median, series[1].median / series[0].median, share, same


def payload_size(archive, image):
    """The archive's size less the extractor image, the magic and the four texts."""
    with open(archive, "rb") as f:
        f.seek(image)
        head = f.read(8 * 1024)
    pos = MAGIC_SIZE
    for _ in range(4):
        pos = head.index(b"\0", pos) + 1
    return os.path.getsize(archive) - image - pos


def bench_build(kapsa, work, runs, src, label, pigz, dynamic=None):
    name = os.path.basename(src)
    image = os.path.getsize(kapsa)
    series = [
        Series("kapsa", [kapsa, name], os.path.join(work, name + ".run")),
        Series("kapsa --level=12", [kapsa, "--level=12", name], os.path.join(work, name + ".12.run")),
        Series("gzip -9", ["gzip", "-9", "-c", name], os.path.join(work, name + ".gz")),
    ]
    if pigz:
        series.append(Series("pigz -9 -p2", ["pigz", "-9", "-p2", "-c", name],
                             os.path.join(work, name + ".pigz.gz")))
    if dynamic:
        # The same sources linked dynamically with the host's C library, as
        # the program was before it became static.  Its archive carries the
        # static image (-p), so that the two payloads can be compared.
        series.append(Series("kapsa (dynamic)", [dynamic, "-p", kapsa, name],
                             os.path.join(work, name + ".dyn.run")))
    alternate(series, runs, work)
    gzip = series[2]
    gzip_size = os.path.getsize(gzip.out)
    print("build, %s (%d bytes):" % (label, os.path.getsize(src)))
    print("  %-18s %-26s %9s %11s %9s %10s" % ("", "time", "/gzip -9", "payload", "vs gzip", "peak RSS"))
    for s in series:
        size = payload_size(s.out, image) if s.out.endswith(".run") else os.path.getsize(s.out)
        print("  %-18s %-26s %8.3fx %11d %+8.2f%% %6.1f MiB" % (
            s.name, s.timing(), s.median / gzip.median, size, 100.0 * (size - gzip_size) / gzip_size,
            s.rss / 1024))
    return series


def bench_startup(kapsa, dynamic, work, rounds=5, per_round=100):
    """Start-up of a small archive's listing (`./app.run -l`), with the static
    image and with the dynamic one: mean milliseconds a run, over rounds of
    per_round runs each, alternating."""
    small = os.path.join(work, "small.txt")
    with open(small, "w") as f:
        f.write("a small payload\n" * 100)
    archives = {}
    for label, image in (("static", kapsa), ("dynamic", dynamic)):
        path = os.path.join(work, "small.%s.run" % label)
        with open(path, "wb") as out:
            subprocess.run([kapsa, "-p", image, "small.txt"], stdout=out, cwd=work, check=True)
        os.chmod(path, 0o755)
        archives[label] = path
    times = {label: [] for label in archives}
    for _ in range(rounds):
        for label, path in archives.items():
            start = time.perf_counter()
            for _ in range(per_round):
                subprocess.run([path, "-l"], stdout=subprocess.DEVNULL, check=True)
            times[label].append((time.perf_counter() - start) / per_round * 1000)
    print("\nstart-up, ./app.run -l of a small archive (%d x %d runs):" % (rounds, per_round))
    for label in archives:
        t = times[label]
        print("  %-18s %.3f ms [%.3f-%.3f]  %.3fx static" % (
            label, statistics.median(t), min(t), max(t),
            statistics.median(t) / statistics.median(times["static"])))
    for path in archives.values():
        os.unlink(path)
    os.unlink(small)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "3")))
    ap.add_argument("--work", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "work"))
    args = ap.parse_args()
    kapsa = os.path.abspath(os.path.join(args.build, "kapsa"))
    dynamic = os.path.abspath(os.path.join(args.build, "kapsa_dynamic"))
    if not os.path.exists(dynamic):
        dynamic = None
    inflate = os.path.abspath(os.path.join(args.build, "bench", "kapsa_inflate_bench"))
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    runs = args.runs
    pigz = shutil.which("pigz")
    if not pigz:
        print("bench: pigz is not installed (Debian package pigz): its figures are left out")
    if not os.path.exists(TIME):
        print("bench: GNU time is not installed (Debian package time): no peak memory figures")

    corpus, sliced = make_corpus(work)
    image = os.path.getsize(kapsa)
    needed = shared_libraries(kapsa)
    print("kapsa extractor image: %d bytes (target <= 520 KB), needs: %s" % (image, needed))
    if dynamic:
        print("dynamic build of the same sources: %d bytes, needs: %s" % (
            os.path.getsize(dynamic), shared_libraries(dynamic)))
    print("%d processors; %d rounds, alternating; medians [lowest-highest]\n" % (os.cpu_count(), runs))

    only = os.environ.get("BENCH_ONLY", "")
    if only == "classes":
        bench_classes(kapsa, work, runs, pigz)
        return
    if only == "extraction":
        bench_extraction(kapsa, work, runs, corpus)
        return
    if only == "zstd":
        bench_zstd_threads(kapsa, work, corpus, image, runs)
        return
    if only == "formats":
        bench_formats(kapsa, work, runs, sliced, "64 MiB slice of the corpus")
        bench_formats(kapsa, work, runs, corpus, "the corpus")
        return
    bench_build(kapsa, work, runs, sliced, "64 MiB slice of the corpus", pigz)
    print()
    full = bench_build(kapsa, work, runs, corpus, "the corpus", pigz, dynamic)
    default, best, gzip = full[0], full[1], full[2]
    gzip_size = os.path.getsize(gzip.out)

    # Extraction of the corpus into a file, against gzip -dc into a file.
    os.chmod(default.out, 0o755)
    target = tempfile.mkdtemp(prefix="kapsa-bench-", dir=work)
    out = os.path.join(target, "out")
    extract = [Series("kapsa -x > file", [default.out, "-x"], out),
               Series("gzip -dc > file", ["gzip", "-dc", gzip.out], out),
               Series("reader alone", [inflate, default.out], out)]
    if dynamic:
        dynamic_run = os.path.join(work, "corpus.dyn-image.run")
        with open(dynamic_run, "wb") as f:
            f.write(open(dynamic, "rb").read())
            with open(default.out, "rb") as archive:
                archive.seek(image)
                shutil.copyfileobj(archive, f)
        os.chmod(dynamic_run, 0o755)
        extract.append(Series("kapsa (dynamic) -x", [dynamic_run, "-x"], out))
    # An extraction takes about a second: more rounds cost little and
    # steady the medians.
    alternate(extract, max(runs, 11), target)
    print("\nextraction of the corpus into a file:")
    for s in extract:
        print("  %-18s %-26s %8.3fx  peak %.1f MiB" % (s.name, s.timing(), s.median / extract[1].median,
                                                     s.rss / 1024))
    shutil.rmtree(target)

    if dynamic:
        bench_startup(kapsa, dynamic, work)
        os.unlink(dynamic_run)

    # A large sparse input: the build's memory must not grow with the input.
    sparse = os.path.join(work, "sparse.bin")
    with open(sparse, "wb") as f:
        f.truncate(SPARSE_SIZE)
    big = Series("kapsa, 4 GiB sparse", [kapsa, "sparse.bin"], os.path.join(work, "sparse.run"))
    big.run(work)
    many = Series("kapsa --threads=256", [kapsa, "--threads=256", "sparse.bin"],
                  os.path.join(work, "sparse.256.run"))
    many.run(work)
    same = open(big.out, "rb").read() == open(many.out, "rb").read()
    os.unlink(sparse)
    os.unlink(many.out)
    # Its extraction, against gzip -dc of the same payload.
    os.chmod(big.out, 0o755)
    sparse_gz = os.path.join(work, "sparse.gz")
    with open(big.out, "rb") as f, open(sparse_gz, "wb") as out:
        f.seek(os.path.getsize(big.out) - payload_size(big.out, image))
        shutil.copyfileobj(f, out)
    sparse_x = [Command("kapsa -x > /dev/null", [big.out, "-x"]),
                Command("gzip -dc > /dev/null", ["gzip", "-dc", sparse_gz])]
    alternate(sparse_x, 1, work)
    os.unlink(sparse_gz)
    print("\nbuild of a 4 GiB sparse file: %.2f s, peak %.1f MiB" % (big.median, big.rss / 1024))
    print("its extraction, -x > /dev/null: %.2f s, gzip -dc of its payload %.2f s (%.3fx)" % (
        sparse_x[0].median, sparse_x[1].median, sparse_x[0].median / sparse_x[1].median))
    print("the same with --threads=256: %.2f s, peak %.1f MiB (budget 128 MiB of chunks), %s" % (
        many.median, many.rss / 1024, "same bytes" if same else "DIFFERENT BYTES"))
    os.unlink(big.out)

    bench_classes(kapsa, work, runs, pigz)
    bench_formats(kapsa, work, runs, sliced, "64 MiB slice of the corpus")
    formats = bench_formats(kapsa, work, runs, corpus, "the corpus")

    xfig = bench_extraction(kapsa, work, runs, corpus)
    zstd_threads = bench_zstd_threads(kapsa, work, corpus, image, 1)

    peak = max(s.rss for s in full[:2] + [big])
    print("\nagainst the targets (corpus):")
    print("  %-52s %.3fx" % ("kapsa build time / gzip -9 (target <= 0.25x)", default.median / gzip.median))
    print("  %-52s %+.2f%%" % ("kapsa payload vs gzip -9 (target <= 0)",
                               100.0 * (payload_size(default.out, image) - gzip_size) / gzip_size))
    print("  %-52s %+.2f%% (time %.3fx)" % (
        "kapsa --level=12 payload vs gzip -9 (target <= -4%)",
        100.0 * (payload_size(best.out, image) - gzip_size) / gzip_size, best.median / gzip.median))
    print("  %-52s %.3fx" % ("extraction / gzip -dc (target <= 0.55x)",
                             extract[0].median / extract[1].median))
    print("  %-52s %.1f MiB" % ("peak RSS of a build (target < 64 MiB)", peak / 1024))
    if dynamic:
        dyn_build = full[-1]
        dyn_extract = extract[-1]
        print("  %-52s %.3fx vs %.3fx (%+.1f%%)" % (
            "build / gzip -9: static vs dynamic (target: within 5%)", default.median / gzip.median,
            dyn_build.median / gzip.median, 100.0 * (default.median / dyn_build.median - 1)))
        print("  %-52s %.3fx vs %.3fx (%+.1f%%)" % (
            "extraction / gzip -dc: static vs dynamic (within 5%)",
            extract[0].median / extract[1].median, dyn_extract.median / extract[1].median,
            100.0 * (extract[0].median / dyn_extract.median - 1)))
    print("  %-52s %d bytes, %s" % ("extractor image (target <= 520 KB, static)", image, needed))
    two = "2 processors"
    for what in ("kapsa -x > /dev/null (gzip)", "kapsa --check (gzip)"):
        print("  %-52s %.3fx" % (what + " / libdeflate-gunzip (<= 0.6x)",
                                 xfig[(two, what)] / xfig[(two, "base")]))
    for kind in ("gzip", "zstd"):
        what = "kapsa tree --target (%s)" % kind
        print("  %-52s %.3fx" % ("tree install (%s) / tar xf (<= 1.3x)" % kind,
                                 xfig[(two, what)] / xfig[(two, "floor")]))
    print("  %-52s %.3fx (%.3fx / 1 thread), %+.2f%%, %s" % (
        "--zstd build / one frame (<= 0.6x), size, bytes", zstd_threads[0], zstd_threads[1],
        zstd_threads[2], "same" if zstd_threads[3] else "DIFFERENT"))
    z19, z9, zx = formats["kapsa --zstd (19)"], formats["kapsa --zstd=9"], formats["kapsa --zstd (19)"]
    print("  %-52s %+.2f%%" % ("--zstd payload vs gzip -9 (target <= -40%)", z19[1]))
    print("  %-52s %+.2f%%, %.3fx" % ("--zstd=9 payload, build time (<= -30%, <= 0.25x)", z9[1], z9[0]))
    print("  %-52s %.3fx" % ("--zstd extraction / gzip -dc (target <= 0.2x)", zx[3]))
    print("  %-52s %.0f MiB" % ("--zstd (19) build peak RSS (target < 256 MiB)", z19[2]))


if __name__ == "__main__":
    main()
