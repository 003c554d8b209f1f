#!/usr/bin/env python3
"""Makes the seed corpora of the fuzz targets in fuzz/corpus/<target>/.

  fuzz/make_corpus.py [KAPSA]     KAPSA: the kapsa binary (default build/kapsa)

Archives are built by kapsa itself, with a small shell script as extractor
image (-p) so that each seed stays a few hundred bytes; gzip members come from
the system's gzip and from Python's gzip and zlib modules; the rest is written
here byte by byte.  Run it from anywhere; it replaces the corpus directories,
keeping the inputs that once failed (files named regression-*).
"""
import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")
# The magic, assembled here so that no source file holds it in one piece.
MAGIC = b"kapsa" + b"+" + b"magik"
TEXT = b"".join(b"line %d of a small text that compresses well\n" % i for i in range(12))


def put(target, name, data):
    assert len(data) <= 12288, (target, name, len(data))
    with open(os.path.join(CORPUS, target, name), "wb") as f:
        f.write(data)


# ---- gzip members --------------------------------------------------------

def deflate_raw(data, level=6, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
    return c.compress(data) + c.flush()


def member(data, flg=0, id2=0x8B, cm=8, mtime=0, fields=b"", body=None, crc=None, size=None):
    header = bytes([0x1F, id2, cm, flg]) + struct.pack("<I", mtime) + bytes([0, 3])
    crc = zlib.crc32(data) if crc is None else crc
    size = len(data) if size is None else size
    body = deflate_raw(data) if body is None else body
    return header + fields + body + struct.pack("<II", crc, size & 0xFFFFFFFF)


class BitWriter:
    """Deflate bit packing: fields from the least significant bit, Huffman
    codes from their most significant bit."""

    def __init__(self):
        self.bits = []

    def field(self, value, count):
        self.bits += [(value >> i) & 1 for i in range(count)]

    def code(self, value, length):
        self.bits += [(value >> (length - 1 - i)) & 1 for i in range(length)]

    def data(self):
        out = bytearray()
        for i in range(0, len(self.bits), 8):
            out.append(sum(b << j for j, b in enumerate(self.bits[i:i + 8])))
        return bytes(out)


def canonical(lengths):
    codes, code = {}, 0
    for length in range(1, 16):
        for sym, l in enumerate(lengths):
            if l == length:
                codes[sym] = (code, length)
                code += 1
        code <<= 1
    return codes


def dynamic_block(lit, dist):
    """A final dynamic block (header only, then end-of-block when its code
    exists) with the given literal/length and distance code lengths, sent
    through a code-length code without run-length symbols."""
    order = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]
    lengths = list(lit) + list(dist)
    used = sorted(set(lengths))
    assert 2 <= len(used) <= 7
    cl = [0] * 19
    # Lengths 1, 2, ..., k-1, k-1: a complete code, as inflate demands here.
    for i, sym in enumerate(used):
        cl[sym] = min(i + 1, len(used) - 1)
    w = BitWriter()
    w.field(1, 1)
    w.field(2, 2)
    w.field(len(lit) - 257, 5)
    w.field(len(dist) - 1, 5)
    w.field(15, 4)
    for sym in order:
        w.field(cl[sym], 3)
    codes = canonical(cl)
    for l in lengths:
        w.code(*codes[l])
    ll = canonical(lit)
    if 256 in ll:
        w.code(*ll[256])
    return w.data()


def gzip_members():
    tmp = tempfile.mkdtemp()
    try:
        path = os.path.join(tmp, "text.txt")
        with open(path, "wb") as f:
            f.write(TEXT)
        os.utime(path, (1700000000, 1700000000))  # gzip stores it: same seeds every time
        seeds = {
            "gzip-named.gz": subprocess.run(["gzip", "-c", path], capture_output=True, check=True).stdout,
            "gzip-n1.gz": subprocess.run(["gzip", "-n1c", path], capture_output=True, check=True).stdout,
        }
        empty = os.path.join(tmp, "empty")
        open(empty, "wb").close()
        os.utime(empty, (1700000000, 1700000000))
        seeds["gzip-empty.gz"] = subprocess.run(["gzip", "-c", empty], capture_output=True, check=True).stdout
    finally:
        shutil.rmtree(tmp)
    noise = bytes((i * 131 + (i >> 3) * 17) & 0xFF for i in range(700))
    seeds["python.gz"] = gzip.compress(TEXT, mtime=1700000000)
    seeds["stored.gz"] = member(noise, body=deflate_raw(noise, level=0))
    seeds["fixed.gz"] = member(TEXT[:200], body=deflate_raw(TEXT[:200], 9, zlib.Z_FIXED))
    seeds["huffman-only.gz"] = member(TEXT, body=deflate_raw(TEXT, 9, zlib.Z_HUFFMAN_ONLY))
    seeds["extra-name-comment.gz"] = member(
        b"abc", flg=0x04 | 0x08 | 0x10, fields=struct.pack("<H", 6) + b"AB\2\0hi" + b"a/b.txt\0note\0")
    seeds["volume-number.gz"] = member(b"part", flg=0x02 | 0x08, fields=struct.pack("<H", 7) + b"p\0")
    seeds["ignored-flags.gz"] = member(b"flags", flg=0xE1)
    seeds["magic9e.gz"] = member(b"old", id2=0x9E, flg=0x08, fields=b"old\0")
    seeds["method7.gz"] = member(b"x", cm=7)
    seeds["bad-magic.gz"] = b"\x1f\x8c" + member(b"x")[2:]
    seeds["bad-crc.gz"] = member(TEXT[:100], crc=0x12345678)
    seeds["bad-size.gz"] = member(TEXT[:100], size=99)
    seeds["two-members.gz"] = member(b"first\n") + member(b"second\n")
    seeds["cut-in-data.gz"] = member(TEXT)[:40]
    seeds["cut-in-trailer.gz"] = member(TEXT)[:-3]
    seeds["long-name.gz"] = member(b"n", flg=0x08, fields=b"n" * 1023 + b"\0")
    seeds["too-long-name.gz"] = member(b"n", flg=0x08, fields=b"n" * 1024 + b"\0")
    lit = [0] * 257
    lit[65], lit[256] = 2, 2
    seeds["incomplete-literals.gz"] = member(b"", body=dynamic_block(lit, [1]))
    lit[65], lit[256] = 1, 1
    seeds["incomplete-distances.gz"] = member(b"", body=dynamic_block(lit, [2, 2]))
    seeds["one-bit-codes.gz"] = member(b"", body=dynamic_block(lit, [1]))
    return seeds


# ---- archives ------------------------------------------------------------

def kapsa_archives(kapsa):
    tmp = tempfile.mkdtemp()
    try:
        stub = os.path.join(tmp, "stub")
        with open(stub, "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(stub, 0o755)
        for name, data in [("hello.txt", TEXT), ("b.bin", bytes(range(256))), ("empty", b"")]:
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(data)

        def build(*args):
            r = subprocess.run([kapsa, "-p", stub] + list(args), cwd=tmp, capture_output=True)
            if r.returncode != 0:
                sys.exit("kapsa %s failed: %s" % (" ".join(args), r.stderr.decode()))
            return r.stdout

        seeds = {
            "compressed.kar": build("hello.txt"),
            "raw.kar": build("-a", "hello.txt"),
            "zstd.kar": build("--zstd=3", "hello.txt", "b.bin"),
            "several.kar": build("hello.txt", "b.bin"),
            "raw-several.kar": build("-a", "b.bin", "hello.txt"),
            "empty-member.kar": build("empty"),
            "commands.kar": build("-C", "A comment", "-r", "echo done %o", "-f", "cat > %p/%o.out",
                                  "-V", "/tmp", "-S", "sub", "hello.txt"),
        }
        inner = seeds["raw.kar"]
        with open(os.path.join(tmp, "inner.kar"), "wb") as f:
            f.write(inner)
        seeds["archive-in-archive.kar"] = build("-a", "inner.kar")
        return seeds
    finally:
        shutil.rmtree(tmp)


def preamble(features=b"", comment=b"Self-Extracting archive file", run=b"", extract=b""):
    return MAGIC + features + b"\0" + comment + b"\0" + run + b"\0" + extract + b"\0"


def crafted_archives():
    image = b"\x7fELF-not-really\n"
    m = member(TEXT[:120], flg=0x08, fields=b"t.txt\0")
    return {
        "no-magic.kar": image * 4,
        "magic-after-partial.kar": image + MAGIC[:5] + MAGIC[:3] + preamble() + m,
        # The magic across the first two reads of the locator (8,191 bytes each).
        "magic-split-across-reads.kar": b"#" * 8185 + preamble(b"NAME=t.txt") + m,
        "no-nul-at-end.kar": image + MAGIC + b"NOCOMPR",
        "text-1023.kar": image + preamble(comment=b"c" * 1023, features=b"NOCOMPR") + b"raw",
        "text-1024.kar": image + preamble(run=b"r" * 1024),
        "header-volume-extra.kar": image + preamble() + member(
            b"x", flg=0x02 | 0x04 | 0x10, mtime=86400, fields=b"\1\0" + b"\3\0abc" + b"c\0"),
        "bad-header.kar": image + preamble() + b"\x1f\x8b\x07" + b"\0" * 12,
        "short-payload.kar": image + preamble() + b"\x1f\x8b\x08\0",
        "raw-empty.kar": image + preamble(b"NOCOMPR,NAME=x"),
        "vfyfs.kar": image + preamble(b"VFYFS=/,FSSUB=s,NAME=t.txt") + m,
        # Once made the listing's ratio overflow: kept as a regression case.
        "size-max.kar": image + preamble(b"NAME=t.txt,SIZE=9223372036854775807") + m,
        "size-low-bits.kar": image + preamble(b"NAME=t.txt,SIZE=%d" % (120 + (1 << 62))) + m,
        "size-two-items.kar": image + preamble(b"NAME=t.txt,SIZE=120,SIZE=120") + m + m,
        "size-first-of-two.kar": image + preamble(b"NAME=t.txt,SIZE=120") + m
        + member(TEXT[:40], flg=0x08, fields=b"u.txt\0"),
    }


# ---- texts ---------------------------------------------------------------

def texts(*parts):
    return b"\0".join(parts)


def strsplit_seeds():
    q, b = b'"', b"\\"
    cases = [
        (b",", b"a,b,,c"), (b",", b",a"), (b",", b"a,"), (b",", b""),
        (b",", b"x," + q + b"y,z" + q), (b",", b"a," + q + q), (b",", b"ab" + q + b"c,d" + q + b"e"),
        (b" ", q + b"a b" + q + b" " + q + b"c d" + q), (b",", b"a" + b + b",b,c"),
        (b",", b"a,b" + b + b",c"), (b",", b"a" + b + b + b"b,c"), (b",", b"ab" + b),
        (b",", b + b"x" + q + b"y,z"), (b", \t", b"one two\tthree,four"), (b"", b"no delimiters"),
    ]
    seeds = {}
    for i, (delims, text) in enumerate(cases):
        seeds["split-%02d" % i] = texts(delims, text, b"NOCOMPR,VFYFS=/opt,FSSUB=app,NAME=setup.tar")
    seeds["features-long-item"] = texts(b",", b"NAME=", b"X=1,NAME=" + b"n" * 300 + b",Y")
    seeds["features-key-inside"] = texts(b",", b"COMPR", b"OTHERNOCOMPRX,NAME=a=b")
    return seeds


def mnttab_seeds():
    svr4 = (b"# special mount-point fstype options time\n"
            b"/dev/dsk/c0t0d0s0\t/\tufs\trw,suid\t1000000000\n"
            b"  \t\n"
            b"/dev/dsk/c0t0d0s6 /usr ufs ro,suid 1000000001\n"
            b"- /proc proc - 1000000002\n"
            b"swap /tmp tmpfs rw,size=64m 1000000003\n")
    linux = (b"/dev/sda1 / ext4 rw,relatime 0 0\n"
             b"proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
             b"tmpfs /run tmpfs rw,nosuid,size=1638400k 0 0\n"
             b"/dev/sdb1 /mnt/with\\040space xfs ro,noatime 0 0\n"
             b"/dev/sdb2 /mnt/back\\134slash\\011tab ext4 rw 0 0\n"
             b"overlay /var/lib/docker/overlay2/abc/merged overlay rw,lowerdir=" + b"/l" * 60 + b" 0 0\n"
             b"broken line\n")
    return {
        "svr4": svr4,
        "linux": linux,
        "svr4-four-fields": b"/dev/a /a ufs rw 1\n/dev/b /b ufs rw\n/dev/c /c ufs rw 1\n",
        "svr4-six-fields": b"/dev/a /a ufs rw 1 extra\n",
        "svr4-line-1022": b"/dev/a /" + b"m" * 130 + b" ufs rw " + b"1" * 870 + b"\n/dev/b /b ufs ro 2\n",
        "svr4-line-1023": b"/dev/a /a ufs rw " + b"1" * 1006 + b"\n/dev/b /b ufs ro 2\n",
        "long-type": b"/dev/a /a " + b"t" * 40 + b" ro 1\n" + b"/dev/a /a " + b"t" * 40 + b" ro 1 0\n",
        "comment-too-long": b"#" + b"c" * 1030 + b"\n/dev/a /a ufs rw 1\n",
    }


def expand_seeds():
    return {
        "default": texts(b"cat > %p/%o", b"setup.tar", b"work"),
        "percents": texts(b"a %% b %x % c %", b"n", b"d"),
        "quotes": texts(b"tar xf %o -C %p && echo '%o'", b"it's a name", b"dir 'with' quotes"),
        "trailing-percent": texts(b"echo %", b"", b"x"),
        "long": texts(b"%p/%o " * 8, b"o" * 200, b"p" * 200),
        "shell": texts(b"cd %p; sh -c \"$(cat %o)\"", b"$HOME;`id`", b"$(touch x)"),
    }


def deflate_seeds():
    # Level byte, threads byte, chunk-size byte, then the data.
    return {
        "text-level9-two-threads": bytes([8, 1, 0]) + TEXT,
        "text-level12-small-chunks": bytes([11, 3, 1]) + TEXT * 3,
        "binary-level1": bytes([0, 0, 4]) + bytes(range(256)) * 4,
        "zeros-level6": bytes([5, 2, 2]) + b"\0" * 3000,
        "empty": bytes([8, 0, 0]),
    }


# ---- tar streams ---------------------------------------------------------

def tar_stream(members, fmt=None):
    """A tar stream written by Python's tarfile: members are (TarInfo
    settings, data) pairs.  The record padding tarfile adds is cut back to
    the two zero blocks that end the stream."""
    import io
    import tarfile
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=fmt or tarfile.PAX_FORMAT) as tar:
        for fields, data in members:
            info = tarfile.TarInfo(fields.pop("name"))
            info.mtime, info.mode, info.uname, info.gname = 1700000000, 0o644, "u", "g"
            for key, value in fields.items():
                setattr(info, key, value)
            info.size = len(data) if info.type in (tarfile.REGTYPE, tarfile.AREGTYPE) else 0
            tar.addfile(info, io.BytesIO(data) if info.size else None)
    data = out.getvalue().rstrip(b"\0")
    return data + b"\0" * (-len(data) % 512) + b"\0" * 1024


def ustar_header(name, typeflag=b"0", size=0, linkname=b"", magic=b"ustar\x0000"):
    """One header block written field by field, with its checksum."""
    h = bytearray(512)
    h[0:len(name)] = name
    h[100:108] = b"0000644\0"
    h[108:116] = h[116:124] = b"0000000\0"
    h[124:136] = b"%011o\0" % size
    h[136:148] = b"14540000000\0"
    h[156:157] = typeflag
    h[157:157 + len(linkname)] = linkname
    h[257:265] = magic
    h[148:156] = b" " * 8
    h[148:156] = b"%06o\0 " % sum(h)
    return bytes(h)


def tar_seeds():
    import tarfile
    f = lambda name, data=b"", **kw: (dict(name=name, **kw), data)
    d = lambda name, **kw: (dict(name=name, type=tarfile.DIRTYPE, mode=0o755, **kw), b"")
    zero2 = b"\0" * 1024
    return {
        "pax-tree.tar": tar_stream([d("top"), f("top/a.txt", TEXT[:300]),
                                    (dict(name="top/link", type=tarfile.SYMTYPE, linkname="a.txt"), b""),
                                    (dict(name="top/hard", type=tarfile.LNKTYPE, linkname="top/a.txt"), b""),
                                    f("top/sub/deep/empty")]),
        "pax-long-name.tar": tar_stream([f("d/" + "n" * 150 + "/" + "m" * 120, b"long"),
                                         (dict(name="l", type=tarfile.SYMTYPE, linkname="d/" + "t" * 120), b"")]),
        "pax-records.tar": tar_stream([f("r", b"x", pax_headers={"mtime": "1700000000.5", "comment": "c",
                                                               "size": "1"})]),
        "gnu-long-name.tar": tar_stream([f("g/" + "q" * 120, b"gnu"),
                                         (dict(name="s", type=tarfile.SYMTYPE, linkname="g/" + "q" * 120), b"")],
                                        tarfile.GNU_FORMAT),
        "ustar-block-data.tar": tar_stream([f("b.bin", bytes(range(256)) * 2 + b"end")], tarfile.USTAR_FORMAT),
        "absolute.tar": ustar_header(b"/etc/passwd") + zero2,
        "dotdot.tar": ustar_header(b"a/../../b") + zero2,
        "symlink-out.tar": ustar_header(b"a/l", b"2", linkname=b"../../x") + zero2,
        "hard-link-missing.tar": ustar_header(b"h", b"1", linkname=b"nothing") + zero2,
        "through-symlink.tar": ustar_header(b"l", b"2", linkname=b".") + ustar_header(b"l/f") + zero2,
        "twice.tar": ustar_header(b"f") + ustar_header(b"f") + zero2,
        "device.tar": ustar_header(b"dev", b"3") + zero2,
        "gnu-magic.tar": ustar_header(b"g.txt", magic=b"ustar  \0") + zero2,
        "truncated-data.tar": ustar_header(b"t", size=700) + b"t" * 600,
        "lone-zero-block.tar": ustar_header(b"z") + b"\0" * 512 + ustar_header(b"y") + zero2,
        "data-after-end.tar": ustar_header(b"e") + zero2 + b"\0" * 100 + b"!",
        "bad-checksum.tar": ustar_header(b"c")[:148] + b"0000000\0" + ustar_header(b"c")[156:] + zero2,
        "empty.tar": zero2,
    }


# ---- signature blocks ----------------------------------------------------

def signed_tail(comment=b"", signed=b"#!/bin/sh\nexit 0\n", zeros=0, algorithm=b"ED", extra=b"",
                offset=None, length=None):
    """A file that ends in a signature block and footer, as the fuzzer takes
    it: two bytes (little-endian) of leading zero bytes, then the tail."""
    block = (b"KAPSASIG" + algorithm + bytes(range(8)) + bytes(range(32, 64)) + b"\x5a" * 64
             + struct.pack("<H", len(comment)) + comment + b"\xa5" * 64)
    offset = zeros + len(signed) if offset is None else offset
    length = len(block) if length is None else length
    return struct.pack("<H", zeros) + signed + block + struct.pack("<QQ", offset, length) + b"KAPSAEND" + extra


def sign_seeds():
    good = signed_tail(b"timestamp:1700000000 file:a.kar")
    return {
        "signed": good,
        "signed-empty-comment": signed_tail(),
        "signed-longest-comment": signed_tail(b"c" * 1024),
        "signed-after-zeros": signed_tail(b"big", zeros=5000),
        "unsigned": struct.pack("<H", 0) + b"#!/bin/sh\nexit 0\n" * 4,
        "unsigned-after-zeros": struct.pack("<H", 65535) + b"tail",
        "algorithm": signed_tail(algorithm=b"Ed"),
        "footer-outside": signed_tail(offset=1 << 40),
        "footer-gap": signed_tail(b"c", offset=3),
        "comment-line-break": signed_tail(b"a\nb"),
        "cut-in-block": good[:120],
        "cut-in-footer": good[:-5],
        "data-after": good + b"more",
    }


def main():
    kapsa = sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build", "kapsa")
    if not os.access(kapsa, os.X_OK):
        sys.exit("%s: not found; build it first (make)" % kapsa)
    kapsa = os.path.abspath(kapsa)
    targets = {
        "fuzz_preamble": {**kapsa_archives(kapsa), **crafted_archives()},
        "fuzz_gzip": gzip_members(),
        "fuzz_strsplit": strsplit_seeds(),
        "fuzz_mnttab": mnttab_seeds(),
        "fuzz_expand": expand_seeds(),
        "fuzz_deflate": deflate_seeds(),
        "fuzz_tar": tar_seeds(),
        "fuzz_sign": sign_seeds(),
    }
    # The check path reads whole archives, as the locator does.
    targets["fuzz_check"] = dict(targets["fuzz_preamble"])
    # The members inside the archives are seeds of the reader too.
    for name, data in targets["fuzz_preamble"].items():
        if name.endswith(".kar") and not name.startswith("raw"):
            at = data.find(MAGIC)
            if at >= 0:
                pos = at + len(MAGIC)
                for _ in range(4):
                    pos = data.index(b"\0", pos) + 1 if b"\0" in data[pos:] else len(data)
                if data[pos:pos + 2] == b"\x1f\x8b":
                    targets["fuzz_gzip"]["from-" + name[:-4] + ".gz"] = data[pos:]
    for target, seeds in targets.items():
        path = os.path.join(CORPUS, target)
        # Inputs that once failed (regression-*) stay, whatever is made anew.
        kept = {}
        if os.path.isdir(path):
            for name in os.listdir(path):
                if name.startswith("regression-"):
                    with open(os.path.join(path, name), "rb") as f:
                        kept[name] = f.read()
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        seeds = {**seeds, **kept}
        for name, data in seeds.items():
            put(target, name, data)
        print("%-14s %3d seeds, %6d bytes" % (target, len(seeds), sum(map(len, seeds.values()))))


if __name__ == "__main__":
    main()
