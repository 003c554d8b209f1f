#!/usr/bin/env python3
"""Inputs on which libdeflate's level 9 may run slower than gzip -9.

Usage: bench/adversary.py SHAPE MIB [SEED] > FILE

Shapes (deterministic for a seed):
  numbers   one number a line, counting up (seq 1000000 ...)
  stamps    time stamps a millisecond apart
  addresses IPv4 addresses counting up
  headed    numbers with a line of text every 100 lines
  sampled   in each 4 MiB chunk, prose in the eight 32 KiB blocks an
            evenly spaced sample of eight would read, numbers elsewhere
  halves    in each 4 MiB chunk, prose and numbers every other 32 KiB block
  prose     words of many kinds of letters, capitals, digits and signs
  salad     fifteen words of a configuration file in random order

Few kinds of literals make libdeflate's lazy parse take no match shorter
than 5 to 9 bytes, so that each literal costs a walk of a whole hash chain;
gzip -9 takes the short matches and moves on.
"""
import random
import sys

MiB = 1 << 20
CHUNK, BLOCK = 4 * MiB, 32768


def lines(size, line):
    out, n, i = [], 0, 0
    while n < size:
        s = line(i)
        out.append(s)
        n += len(s)
        i += 1
    return "".join(out).encode()[:size]


def prose(size, rnd):
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    words = ["".join(rnd.choice(letters[:rnd.randint(8, 26)]) for _ in range(rnd.randint(1, 9)))
             for _ in range(20000)]
    signs = [" ", " ", " ", " ", ", ", ". ", "; ", ": ", "! ", "? ", " (", ") ", " - ", "\n"]

    def word(i):
        w = words[min(int(rnd.paretovariate(0.6)), 20000) - 1]
        w = w.capitalize() if rnd.random() < 0.1 else w.upper() if rnd.random() < 0.02 else w
        return (w if rnd.random() > 0.05 else str(rnd.randint(0, 99999))) + rnd.choice(signs)
    return lines(size, word)


def numbers(size, rnd, start=1000000):
    return lines(size, lambda i: "%d\n" % (start + i))


def interleave(size, rnd, prose_block):
    text, nums = prose(size, rnd), numbers(size, rnd)
    out = bytearray()
    for at in range(0, size, BLOCK):
        out += (text if prose_block(at % CHUNK // BLOCK) else nums)[at:at + BLOCK]
    return bytes(out)


SHAPES = {
    "numbers": numbers,
    "stamps": lambda size, rnd: lines(size, lambda i: "2026-01-01 12:%02d:%02d.%03d x\n" % (
        i // 60000 % 60, i // 1000 % 60, i % 1000)),
    "addresses": lambda size, rnd: lines(size, lambda i: "10.%d.%d.%d\n" % (
        i >> 16 & 255, i >> 8 & 255, i & 255)),
    "headed": lambda size, rnd: lines(size, lambda i: "%d\n" % (1000000 + i) if i % 100 else
                                      "# Sphinx of black quartz, JUDGE MY VOW; 2 + 2 = 4? [ok]\n"),
    "sampled": lambda size, rnd: interleave(size, rnd, lambda k: k % (CHUNK // BLOCK // 8) == 0),
    "halves": lambda size, rnd: interleave(size, rnd, lambda k: k % 2 == 0),
    "prose": prose,
    "salad": lambda size, rnd: lines(size, lambda i: rnd.choice([
        "install", "kapsa ", "lib", "usr/", "share", " ", "\n", "config", "=", "0", "1",
        "#include <stdio.h>\n", "int ", "main", "(void)"])),
}


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in SHAPES:
        sys.exit(__doc__)
    rnd = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
    sys.stdout.buffer.write(SHAPES[sys.argv[1]](int(sys.argv[2]) * MiB, rnd))


if __name__ == "__main__":
    main()
