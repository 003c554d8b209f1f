#!/usr/bin/env python3
"""make bench: kapsa against the system's gzip (and pigz), measured in one run.

Usage: bench/run.py BUILD_DIR [--runs N] [--work DIR]

The corpus looks like a software installation: a tar of /usr/include,
/usr/lib/gcc and /usr/share/doc (sorted, fixed owner and time stamps), cut to
250 MiB, plus a 64 MiB file of pseudo-random bytes that does not compress.
It is made once and kept in the work directory (bench/work by default).

Every figure is the median of several runs, with the spread (lowest-highest)
in brackets, and is printed next to the system tool's figure of the same run
as a ratio.  Peak memory is the child's maximum resident set size.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20
CORPUS_SIZE = 250 * MiB
SLICE_SIZE = 64 * MiB
RANDOM_SIZE = 64 * MiB
CORPUS_DIRS = ["/usr/include", "/usr/lib/gcc", "/usr/share/doc"]


TIME = "/usr/bin/time"  # GNU time, for the peak memory of the command alone


def measure(argv, stdout=None, cwd=None, quiet=False):
    """Runs argv once; returns (seconds, peak RSS in KiB, 0 when unknown).

    The peak memory comes from GNU time, which forks a small process of its
    own: the rusage of a child forked from this Python process would carry
    Python's own high-water mark across the exec."""
    out = open(stdout, "wb") if isinstance(stdout, str) else stdout
    with tempfile.NamedTemporaryFile("r") as rss_file:
        prefix = [TIME, "-f", "%M", "-o", rss_file.name] if os.path.exists(TIME) else []
        start = time.perf_counter()
        proc = subprocess.run(prefix + argv, stdout=out if out is not None else subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL if quiet else None, cwd=cwd)
        seconds = time.perf_counter() - start
        text = rss_file.read().strip().splitlines()
    if isinstance(stdout, str):
        out.close()
    if proc.returncode != 0:
        sys.exit("bench: %s failed with status %d" % (" ".join(argv), proc.returncode))
    return seconds, int(text[-1]) if text and text[-1].isdigit() else 0


class Series:
    def __init__(self, name):
        self.name = name
        self.times = []
        self.rss = 0

    def add(self, seconds, rss):
        self.times.append(seconds)
        self.rss = max(self.rss, rss)

    @property
    def median(self):
        return statistics.median(self.times)

    def __str__(self):
        return "%-16s %7.3f s [%.3f-%.3f]  peak %6.1f MiB" % (
            self.name, self.median, min(self.times), max(self.times), self.rss / 1024)


def run_series(name, runs, argv, stdout=None, cwd=None, before=None, quiet=False):
    s = Series(name)
    for _ in range(runs):
        if before:
            before()
        s.add(*measure(argv, stdout, cwd, quiet))
    return s


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
    noise = os.path.join(work, "random.bin")
    if not os.path.exists(noise) or os.path.getsize(noise) != RANDOM_SIZE:
        with open(noise, "wb") as out:
            out.write(random.Random(1).randbytes(RANDOM_SIZE))
    return corpus, sliced, noise


def ratio_line(label, ours, theirs, smaller_is_better=True):
    r = ours / theirs
    return "  %-44s %.2fx" % (label, r)


def bench_build(kapsa, work, runs, src, label):
    name = os.path.basename(src)
    out_run = os.path.join(work, name + ".run")
    out_gz = os.path.join(work, name + ".gz")
    k = run_series("kapsa build", runs, [kapsa, name], stdout=out_run, cwd=work)
    g = run_series("gzip -9", runs, ["gzip", "-9", "-c", name], stdout=out_gz, cwd=work)
    image = os.path.getsize(kapsa)
    k_size = os.path.getsize(out_run) - image  # payload and preamble only
    g_size = os.path.getsize(out_gz)
    print("build, %s:" % label)
    print("  " + str(k))
    print("  " + str(g))
    print(ratio_line("time kapsa / gzip -9 (target <= 1.00x)", k.median, g.median))
    print("  %-44s %.2f%% (%d vs %d bytes)" % (
        "size kapsa vs gzip -9 (target <= +1%)", 100.0 * (k_size - g_size) / g_size, k_size, g_size))
    return k


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "3")))
    ap.add_argument("--work", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "work"))
    args = ap.parse_args()
    kapsa = os.path.abspath(os.path.join(args.build, "kapsa"))
    inflate = os.path.abspath(os.path.join(args.build, "bench", "kapsa_inflate_bench"))
    os.makedirs(args.work, exist_ok=True)
    work = args.work
    runs = args.runs

    corpus, sliced, noise = make_corpus(work)
    print("kapsa image: %d bytes; %d runs each; medians [lowest-highest]\n" % (os.path.getsize(kapsa), runs))

    bench_build(kapsa, work, runs, sliced, "64 MiB slice of the corpus")
    bench_build(kapsa, work, runs, noise, "64 MiB of incompressible bytes")

    # The whole corpus, compressed once by each tool, for the readers.
    corpus_run = os.path.join(work, "corpus.tar.run")
    corpus_gz = os.path.join(work, "corpus.tar.gz")
    print("\ncompressing the whole corpus once with each tool ...")
    k_full = Series("kapsa build")
    k_full.add(*measure([kapsa, "corpus.tar"], stdout=corpus_run, cwd=work))
    os.chmod(corpus_run, 0o755)
    g_full = Series("gzip -9")
    g_full.add(*measure(["gzip", "-9", "-c", "corpus.tar"], stdout=corpus_gz, cwd=work))
    print("  " + str(k_full))
    print("  " + str(g_full))

    print("\nreader alone, %d MiB corpus to /dev/null:" % (CORPUS_SIZE // MiB))
    k = run_series("kapsa reader", runs, [inflate, corpus_run])
    g = run_series("gzip -dc", runs, ["gzip", "-dc", corpus_gz])
    print("  " + str(k))
    print("  " + str(g))
    print(ratio_line("speed kapsa / gzip -dc (target >= 1.60x)", g.median, k.median))

    print("\nlisting:")
    l = run_series("kapsa -l", runs, [kapsa, "-l", corpus_run])
    print("  " + str(l))

    print("\npeak memory (target < 16 MiB whatever the input size):")
    print("  build of 250 MiB: %.1f MiB; reader: %.1f MiB; listing %.1f MiB" % (
        k_full.rss / 1024, k.rss / 1024, l.rss / 1024))

    if os.environ.get("BENCH_SKIP_EXTRACT"):
        return
    extract = shutil.which("pigz")
    print("\nextraction, %d MiB corpus into a file in an empty directory:" % (CORPUS_SIZE // MiB))
    target = tempfile.mkdtemp(prefix="kapsa-bench-", dir=work)
    out = os.path.join(target, "out")

    def clean():
        for name in os.listdir(target):
            os.unlink(os.path.join(target, name))

    e = run_series("kapsa archive", runs, [corpus_run], cwd=target, before=clean, quiet=True)
    g = run_series("gzip -dc", runs, ["gzip", "-dc", corpus_gz], stdout=out, before=clean)
    print("  " + str(e))
    print("  " + str(g))
    print(ratio_line("speed kapsa / gzip -dc (target >= 1.50x)", g.median, e.median))
    if extract:
        p = run_series("pigz -dc", runs, ["pigz", "-dc", corpus_gz], stdout=out, before=clean)
        print("  " + str(p))
        print(ratio_line("speed kapsa / pigz -dc (target >= 1.00x)", p.median, e.median))
    else:
        print("  pigz is not installed: no comparison with pigz -dc")
    print("  peak memory of the extraction: %.1f MiB" % (e.rss / 1024))
    clean()
    os.rmdir(target)


if __name__ == "__main__":
    main()
