#!/usr/bin/env python3
"""A gzip peer for the tests, independent of kapsa's own code.

  gzip_peer.py make KIND IN OUT    write IN as one gzip member of the given kind
  gzip_peer.py read IN OUT         decompress the gzip file IN (all members) to
                                   OUT and print the first member's FNAME

Kinds: python (Python's gzip module, with a time stamp), fullflush (zlib with
full flushes inside the stream), extra (an FEXTRA field), comment (FCOMMENT),
magic9e (ID2 0x9E), part (FLG 0x02 with a part number after OS), flags
(the ignored FLG bits 0x01, 0x20, 0x40, 0x80 set), badcm (CM 7), name=TEXT
(FNAME given explicitly, bytes as in TEXT).
"""
import gzip
import struct
import sys
import zlib


def deflate_raw(data, full_flush=False):
    c = zlib.compressobj(6, zlib.DEFLATED, -15, 8)
    if not full_flush:
        return c.compress(data) + c.flush()
    out = b""
    step = max(1, len(data) // 4)
    for i in range(0, len(data), step):
        out += c.compress(data[i:i + step]) + c.flush(zlib.Z_FULL_FLUSH)
    return out + c.flush()


def member(data, flg=0, id2=0x8B, cm=8, mtime=0, fields=b""):
    header = bytes([0x1F, id2, cm, flg]) + struct.pack("<I", mtime) + bytes([0, 3])
    trailer = struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    return header + fields + deflate_raw(data) + trailer


def make(kind, data):
    if kind == "python":
        return gzip.compress(data, mtime=1700000000)
    if kind == "fullflush":
        body = deflate_raw(data, full_flush=True)
        header = bytes([0x1F, 0x8B, 8, 0]) + struct.pack("<I", 0) + bytes([0, 3])
        return header + body + struct.pack("<II", zlib.crc32(data), len(data))
    if kind == "extra":
        extra = b"AB" + struct.pack("<H", 5) + b"hello"
        return member(data, flg=0x04 | 0x08, fields=struct.pack("<H", len(extra)) + extra + b"x.txt\0")
    if kind == "comment":
        return member(data, flg=0x10 | 0x08, fields=b"named\0a comment\0")
    if kind == "magic9e":
        return member(data, id2=0x9E, flg=0x08, fields=b"old\0")
    if kind == "part":
        return member(data, flg=0x02 | 0x08, fields=struct.pack("<H", 7) + b"parted\0")
    if kind == "flags":
        return member(data, flg=0x01 | 0x20 | 0x40 | 0x80 | 0x08, fields=b"flagged\0")
    if kind == "badcm":
        return member(data, cm=7)
    if kind.startswith("name="):
        return member(data, flg=0x08, fields=kind[5:].encode("latin-1") + b"\0")
    raise SystemExit("unknown kind " + kind)


def fname(blob):
    if blob[3] & 0x08 == 0:
        return ""
    pos = 10
    if blob[3] & 0x04:
        pos += 2 + struct.unpack("<H", blob[pos:pos + 2])[0]
    return blob[pos:blob.index(b"\0", pos)].decode("latin-1")


def main():
    if sys.argv[1] == "make":
        with open(sys.argv[3], "rb") as f:
            data = f.read()
        with open(sys.argv[4], "wb") as f:
            f.write(make(sys.argv[2], data))
    elif sys.argv[1] == "read":
        with open(sys.argv[2], "rb") as f:
            blob = f.read()
        with open(sys.argv[3], "wb") as f:
            f.write(gzip.decompress(blob))
        print(fname(blob))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
