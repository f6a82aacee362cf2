#!/usr/bin/env python3
"""Parameter sweep for make_trigrams.py: builds a table per setting and measures it with trigram_eval.

Usage: tools/tune_trigrams.py EVAL CORPUS [--grid name=v1,v2,... ...] [make_trigrams options]

EVAL is the trigram_eval program, CORPUS the directory made by make_eval_corpus.sh; the tables are
trained on CORPUS/train-en, CORPUS/train-de and CORPUS/train-junk (unless --text-en, --text-de,
--junk say otherwise) and
measured on the rest. Every --grid option names a make_trigrams parameter (dict, zero, rare, base,
step, floor, cap, junk_rare, junk_zero, junk_max) and the values to try; the others keep their value. Prints one line per setting: the
parameters, the share of prose runs accepted (en, de, manual pages), of binary runs rejected (gz,
whole executables, .text, .rodata), the stop words rejected and whether the engine's own examples
still hold (ok, or what failed).
"""
import argparse
import itertools
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_trigrams as mt  # noqa: E402

WORD_LISTS = ["/usr/share/dict/british-english", "/usr/share/dict/ngerman"]
STOPWORDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "stopwords.txt")


def plausible_run(text, table):
    """The words of one extract_plain call that pass the filter (hyphen joining left out)."""
    out, bonus = [], 0.0
    for w in mt.words(text):
        if len(w) < 4:
            continue
        score, x = 2.0, 0
        for i, ch in enumerate(w):
            x = (x % 1024) * 32 + mt.CODES[ch]
            if i >= 2:
                v = table[x]
                score += -60 if v == 0 else -7 if v < 3 else v
        score /= len(w)
        if score > 15:
            bonus = max(bonus, -10) + (4 if score > 25 else 0) + 3
        else:
            bonus = min(bonus, 3) - (4 if score < 8 else 0) - 2
        if score + bonus > 13:
            out.append(w)
    return out


def examples(table):
    """What the engine's tests expect of the shipped table; returns the failures."""
    bad = []
    if plausible_run("qxzvbkw jfqpzx wvkqzjhx the licenses for software ", table) != ["LICENSES", "SOFTWARE"]:
        bad.append("junk-then-prose")
    for p in ["The licenses for most software and other practical works are designed to take away your "
              "freedom to share and change the works. When we speak of free software, we are referring to "
              "freedom, not price. Developers protect your rights with two steps. ",
              "Die Erde dreht sich in einem Jahr einmal um die Sonne. Im Herbst werden die Tage k\xfcrzer, "
              "und die Bl\xe4tter der B\xe4ume f\xe4rben sich gelb und rot. Wir gehen trotzdem gern "
              "spazieren, denn die Luft ist frisch und klar. "]:
        if len(plausible_run(p, table)) != len([w for w in mt.words(p) if len(w) >= 4]):
            bad.append("prose")
    if plausible_run("qxzvbkw jfqpzx wvkqzjhx pzqxmfvk xjqwvz gkqzpxw zvqxjk bxqzwp ", table):
        bad.append("salad")
    syl = "bar ten mor lan der sil ven tor rim pel dan kor fal mun ser gan hol win bel cas".split()
    first = sum(1 for a in syl for b in syl if plausible_run(a + b + " ", table))
    if first < 200:
        bad.append(f"syllables:{first}")
    return ",".join(bad) or "ok"


def measure(evaluator, table_path, groups):
    res = []
    for flag, files in groups:
        out = subprocess.run([evaluator, "-t", table_path, flag] + files, capture_output=True, text=True).stdout
        m = re.search(r"([\d.]+)% (accepted|rejected)", out)
        res.append(m.group(1) if m else "?")
    for wl in WORD_LISTS:
        out = subprocess.run([evaluator, "-t", table_path, "-w", wl], capture_output=True, text=True).stdout
        m = re.search(r"([\d.]+)% accepted", out)
        res.append(m.group(1) if m else "?")
    out = subprocess.run([evaluator, "-t", table_path, "-s", STOPWORDS], capture_output=True, text=True).stdout
    m = re.search(r"(\d+) rejected by the filter", out)
    res.append(m.group(1) if m else "?")
    return res


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("eval")
    ap.add_argument("corpus")
    ap.add_argument("--grid", action="append", default=[], help="name=v1,v2,...")
    mt.add_args(ap)
    args = ap.parse_args()
    c = args.corpus
    text_en = args.text_en or [os.path.join(c, "train-en")]
    text_de = args.text_de or [os.path.join(c, "train-de")]

    def ls(d):
        return [os.path.join(c, d, f) for f in sorted(os.listdir(os.path.join(c, d)))]

    binaries = open(os.path.join(c, "binary.list")).read().split()
    groups = [("-p", ls("en")), ("-p", ls("de")), ("-p", ls("en-man")), ("-p", ls("de-man")),
              ("-b", [f for f in binaries if "/share/doc/" in f]),
              ("-b", [f for f in binaries if f.startswith("/usr/bin/")]),
              ("-b", ls("code")), ("-b", ls("rodata"))]

    dict_sh = mt.list_shares()
    text_sh = [s for s in (mt.text_shares(text_en), mt.text_shares(text_de)) if s]
    junk_sh = mt.junk_shares(args.junk or [os.path.join(c, "train-junk")])
    names = mt.PARAMS
    grid = {n: [getattr(args, n)] for n in names}
    for g in args.grid:
        n, vals = g.split("=")
        grid[n] = [type(getattr(args, n))(v) for v in vals.split(",")]
    print(" ".join(names), "| en de en-man de-man | gz exe text rodata | british ngerman alone | stops examples")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "trigram_freqs.dat")
        for combo in itertools.product(*(grid[n] for n in names)):
            p = dict(zip(names, combo))
            table = mt.classes(dict_sh, text_sh, junk_sh, p)
            with open(path, "wb") as f:
                f.write(table)
            r = measure(args.eval, path, groups)
            print(" ".join(str(v) for v in combo), "|", " ".join(r[0:4]), "|", " ".join(r[4:8]), "|",
                  " ".join(r[8:10]), "|", r[10], examples(table), flush=True)


if __name__ == "__main__":
    main()
