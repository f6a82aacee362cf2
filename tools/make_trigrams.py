#!/usr/bin/env python3
"""Builds trigram_freqs.dat, the letter-trigram table of the plausibility filter.

Counts the letter trigrams of the English and German word lists that Debian ships (wamerican,
wngerman), after the tokenizer's own folding and splitting, and turns the counts into classes:
0 never seen, 1 rare, else a weight that grows with the logarithm of the count. The byte at
c1 * 1024 + c2 * 32 + c3 is the class of the trigram with letter codes c1, c2, c3
(A-Z 0-25, Ä 26, Ö 27, Ü 28, ß 29).

Usage: tools/make_trigrams.py [-o data/trigram_freqs.dat]
"""
import argparse
import math
import sys

LISTS = ["/usr/share/dict/american-english", "/usr/share/dict/ngerman"]

# The tokenizer's letters, folded, and their codes.
CODES = {chr(ord("A") + i): i for i in range(26)}
CODES.update({"\xc4": 26, "\xd6": 27, "\xdc": 28, "\xdf": 29})


def fold(ch):
    """The folded letter of a word character, or None for a separator."""
    if "a" <= ch <= "z" or ch in "\xe4\xf6\xfc":
        return chr(ord(ch) & ~0x20)
    if ch in CODES:
        return ch
    return None


def runs(line):
    """Letter runs of one line as the tokenizer sees them (characters outside Latin-1 separate)."""
    run = []
    for ch in line:
        f = fold(ch)
        if f:
            run.append(CODES[f])
        elif run:
            yield run
            run = []
    if run:
        yield run


def count(path):
    counts = [0] * 32768
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            for r in runs(line.strip()):
                for i in range(2, len(r)):
                    counts[r[i - 2] * 1024 + r[i - 1] * 32 + r[i]] += 1
    return counts


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-o", "--out", default="data/trigram_freqs.dat")
    ap.add_argument("--rare", type=float, default=0.0001,
                    help="share of a list's trigrams below which a trigram is rare, in percent")
    ap.add_argument("--base", type=float, default=10, help="weight of a trigram at the rare limit")
    ap.add_argument("--step", type=float, default=3, help="weight added per doubling of the count")
    args = ap.parse_args()

    # Each list counts by its share, so the larger German list does not drown the English one.
    lists = [count(p) for p in LISTS]
    totals = [sum(c) for c in lists]
    share = [max(c[i] / t for c, t in zip(lists, totals)) * 100 for i in range(32768)]
    table = bytearray(32768)
    for i, s in enumerate(share):
        if s == 0:
            continue
        if s < args.rare:
            table[i] = 1
        else:
            w = args.base + args.step * math.log2(s / args.rare)
            table[i] = max(3, min(255, round(w)))
    with open(args.out, "wb") as f:
        f.write(table)
    seen = sum(1 for b in table if b)
    rare = sum(1 for b in table if b == 1)
    print(f"{args.out}: {seen} trigrams seen, {rare} rare", file=sys.stderr)


if __name__ == "__main__":
    main()
