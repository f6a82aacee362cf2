#!/usr/bin/env python3
"""Builds trigram_freqs.dat, the letter-trigram table of the plausibility filter.

Two kinds of source, each after the tokenizer's own folding and splitting:
  word lists (wamerican, wbritish, wngerman): every entry once, so rare but real trigrams are known;
  running text (--text-en, --text-de): trigrams by how often they occur in words of 4 or more
  letters, so the trigrams of frequent words weigh most.
Every source counts by its share of its own trigrams, so no language or source drowns another.
A trigram's share is max(text share, --dict * English list share, --dict-de * German list share).
Classes: 0 below --zero percent (never seen at 0); 1 (rare) below --rare percent; otherwise
--base + --step * log2(share / rare), at least --floor and 3, at most --cap. The byte at c1 * 1024 + c2 * 32 + c3 is the class of the trigram with
letter codes c1, c2, c3 (A-Z 0-25, Ä 26, Ö 27, Ü 28, ß 29).

Binary data (--junk: the machine code of other programs than those the filter is measured on) can
demote a trigram that is much more common there than in text: to rare when its junk share is
--junk-rare times its share above, to never seen at --junk-zero times; trigrams with a share of
--junk-max or more are kept as they are.

Usage: tools/make_trigrams.py [-o data/trigram_freqs.dat] [--text-en DIR...] [--text-de DIR...]
                              [--junk DIR...] [parameters]
"""
import argparse
import math
import os
import re
import sys
from collections import Counter

LISTS = ["/usr/share/dict/american-english", "/usr/share/dict/british-english", "/usr/share/dict/ngerman"]
# What the table must accept, every word of 4 or more letters on its own (--fit).
FIT_LISTS = ["/usr/share/dict/" + n for n in ("british-english", "ngerman", "french", "spanish", "italian")]

# The tokenizer's letters, folded, and their codes.
CODES = {chr(ord("A") + i): i for i in range(26)}
CODES.update({"\xc4": 26, "\xd6": 27, "\xdc": 28, "\xdf": 29})
# Folding as the tokenizer does it, on Latin-1 bytes: a-z and A-Z to A-Z, the accented letters to
# their base letter, ä, ö, ü to Ä, Ö, Ü, ß as it is; every other byte (Æ, Þ, ×, ÷ too) separates.
_ACCENTED = {"A": "\xc0\xc1\xc2\xc3\xc5\xe0\xe1\xe2\xe3\xe5", "C": "\xc7\xe7", "E": "\xc8\xc9\xca\xcb\xe8\xe9\xea\xeb",
             "I": "\xcc\xcd\xce\xcf\xec\xed\xee\xef", "D": "\xd0\xf0", "N": "\xd1\xf1",
             "O": "\xd2\xd3\xd4\xd5\xd8\xf2\xf3\xf4\xf5\xf8", "U": "\xd9\xda\xdb\xf9\xfa\xfb", "Y": "\xdd\xfd\xff",
             "\xc4": "\xc4\xe4", "\xd6": "\xd6\xf6", "\xdc": "\xdc\xfc", "\xdf": "\xdf"}
_FOLD = {b: 0x20 for b in range(256)}
_FOLD.update({b: b & ~0x20 for b in range(0x41, 0x5B)})
_FOLD.update({b: b & ~0x20 for b in range(0x61, 0x7B)})
for _to, _from in _ACCENTED.items():
    _FOLD.update({ord(c): ord(_to) for c in _from})
FOLD = bytes(_FOLD[b] for b in range(256))


def words(data):
    """Letter runs of Latin-1 bytes (or of a str, encoded as Latin-1) as the tokenizer sees them:
    folded, cut after 31 letters."""
    if isinstance(data, str):
        data = data.encode("latin-1", errors="replace")
    for run in data.translate(FOLD).split():
        run = run.decode("latin-1")
        for i in range(0, len(run), 31):
            yield run[i:i + 31]


def read_text(path):
    """A text file as Latin-1 bytes; UTF-8 is converted if the file decodes as UTF-8 (characters
    beyond Latin-1 become "?", a separator, as they are to the tokenizer)."""
    data = open(path, "rb").read()
    try:
        return data.decode("utf-8").encode("latin-1", errors="replace")
    except UnicodeDecodeError:
        return data


def count(word_counts, min_len):
    """Trigram counts of a Counter of words; words shorter than min_len are left out."""
    counts = [0] * 32768
    for w, n in word_counts.items():
        if len(w) < min_len:
            continue
        c = [CODES[ch] for ch in w]
        for i in range(2, len(c)):
            counts[c[i - 2] * 1024 + c[i - 1] * 32 + c[i]] += n
    return counts


def shares(counts):
    total = sum(counts) or 1
    return [100.0 * n / total for n in counts]


def files_of(paths):
    for p in paths:
        if os.path.isdir(p):
            for name in sorted(os.listdir(p)):
                yield os.path.join(p, name)
        else:
            yield p


def list_shares():
    """Per word list, the share of each trigram, every entry counted once."""
    out = []
    for path in LISTS:
        ws = Counter()
        for line in read_text(path).splitlines():
            for w in words(line):
                ws[w] += 1
        out.append(shares(count(ws, 3)))
    return out


def text_shares(paths):
    """Share of each trigram in the words of 4 or more letters of running text."""
    ws = Counter()
    for f in files_of(paths):
        ws.update(words(read_text(f)))
    return shares(count(ws, 4)) if ws else None


def junk_shares(paths):
    """Share of each trigram in the runs of 4 or more letters of binary data (read as it is)."""
    ws = Counter()
    for f in files_of(paths):
        ws.update(words(open(f, "rb").read()))
    return shares(count(ws, 4)) if ws else None


def classes(dict_shares, text_sh, junk_sh, p):
    """The table for parameters p (the options of add_args, by name)."""
    table = bytearray(32768)
    for i in range(32768):
        s = max([p["dict_de" if "german" in name else "dict"] * d[i] for name, d in zip(LISTS, dict_shares)] +
                [t[i] for t in text_sh])
        if s == 0 or s < p["zero"]:
            continue
        # A trigram far more common in machine code than in text is demoted.
        j = junk_sh[i] if junk_sh and (not p["junk_max"] or s < p["junk_max"]) else 0
        if p["junk_zero"] and j > p["junk_zero"] * s:
            continue
        if s < p["rare"] or (p["junk_rare"] and j > p["junk_rare"] * s):
            table[i] = 1
        else:
            w = max(p["floor"], p["base"] + p["step"] * math.log2(s / p["rare"]))
            table[i] = max(3, min(p["cap"], 255, round(w)))
    return table


def fit_classes(base, step, cap, zero):
    """A table that accepts every word of 4+ letters of FIT_LISTS alone (score above 15, no context).

    Start: a trigram's weight is base + step * log2(share in millionths), its share the largest it
    has in any one list (every distinct word once); weights below 3 start as never seen (0), and
    none exceeds cap. Then, shortest words first, every word that fails alone raises its weakest
    trigram (0 becomes 3, else one more) until it passes. Weights only grow, so no word that passed
    fails later. Trigrams of real words that random letters rarely form stay low or 0, which is what
    rejects random runs."""
    lists = []
    for path in FIT_LISTS:
        ws = set()
        for line in read_text(path).splitlines():
            ws.update(w for w in words(line) if len(w) >= 4)
        lists.append(ws)
    share = [0.0] * 32768
    for ws in lists:
        counts = count(Counter(ws), 4)
        total = sum(counts) or 1
        for i, n in enumerate(counts):
            share[i] = max(share[i], n / total)
    table = [0] * 32768
    for i, s in enumerate(share):
        if s > 0:
            w = min(cap, round(base + step * math.log2(s * 1e6)))
            table[i] = w if w >= 3 else zero

    def score(ts):
        return 2 + sum(table[t] if table[t] >= 3 else -60 if table[t] == 0 else -7 for t in ts)

    raised = 0
    for w in sorted({w for ws in lists for w in ws}, key=lambda w: (len(w), w)):
        c = [CODES[ch] for ch in w]
        ts = [c[i - 2] * 1024 + c[i - 1] * 32 + c[i] for i in range(2, len(c))]
        need = 15 * len(w) + 1  # the engine accepts a score above 15.0
        total = score(ts)
        while total < need:
            t = min(ts, key=lambda t: table[t])
            if table[t] >= 255:
                break
            table[t] = 3 if table[t] < 3 else table[t] + 1
            raised += 1
            total = score(ts)
    print(f"fit: {sum(len(ws) for ws in lists)} list words, {raised} raises", file=sys.stderr)
    return bytearray(table)


def add_args(ap):
    ap.add_argument("--text-en", nargs="*", default=[], help="English running text: files or directories")
    ap.add_argument("--text-de", nargs="*", default=[], help="German running text: files or directories")
    ap.add_argument("--dict", type=float, default=1.0, help="weight of the word lists against running text")
    ap.add_argument("--dict-de", type=float, default=1.0, help="weight of the German word list against running text")
    ap.add_argument("--zero", type=float, default=0.0, help="share below which a trigram counts as never seen, in percent")
    ap.add_argument("--rare", type=float, default=0.0001, help="share below which a trigram is rare, in percent")
    ap.add_argument("--base", type=float, default=10.0, help="weight of a trigram at the rare limit")
    ap.add_argument("--step", type=float, default=3.0, help="weight added per doubling of the share")
    ap.add_argument("--floor", type=float, default=0.0, help="least weight of a trigram that is not rare")
    ap.add_argument("--cap", type=int, default=255, help="largest weight")
    ap.add_argument("--junk", nargs="*", default=[], help="binary data (machine code): files or directories")
    ap.add_argument("--junk-rare", type=float, default=0.0,
                    help="a trigram whose share in --junk is this many times its text share is rare (0: off)")
    ap.add_argument("--junk-zero", type=float, default=0.0,
                    help="... and this many times: never seen (0: off)")
    ap.add_argument("--junk-max", type=float, default=0.0,
                    help="share in percent from which a trigram is too common in text to be demoted (0: none)")


PARAMS = ["dict", "dict_de", "zero", "rare", "base", "step", "floor", "cap", "junk_rare", "junk_zero", "junk_max"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-o", "--out", default="data/trigram_freqs.dat")
    ap.add_argument("--fit", action="store_true",
                    help="the table that accepts every word of the five lists alone (see fit_classes); "
                         "uses only --base, --step, --cap")
    add_args(ap)
    args = ap.parse_args()

    if args.fit:
        table = fit_classes(args.base, args.step, args.cap, 0)
    else:
        text_sh = [s for s in (text_shares(args.text_en), text_shares(args.text_de)) if s]
        table = classes(list_shares(), text_sh, junk_shares(args.junk), {n: getattr(args, n) for n in PARAMS})
    with open(args.out, "wb") as f:
        f.write(table)
    seen = sum(1 for b in table if b)
    rare = sum(1 for b in table if b == 1)
    print(f"{args.out}: {seen} trigrams seen, {rare} rare, largest weight {max(table)}", file=sys.stderr)


if __name__ == "__main__":
    main()
