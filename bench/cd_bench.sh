#!/usr/bin/env bash
# The same tree indexed as a directory (walk mode: file after file, by name) and as an ISO 9660
# image of it (CD mode: one span of the image in disk order), caches dropped before every run
# where the system lets us. Three generated trees:
#   small   many small text files: per-file opening dominates the walk
#   text    real English text (package documentation), 1 KiB .. 64 KiB: bound by extraction
#   mixed   text files between binary ones that are judged not worth extracting
# Usage: bench/cd_bench.sh [olmarest-cli] [tree root]
# Columns: files and MB of file data; for each mode the wall time of `olmarest-cli index` and the
# file data over it (MB/s, 1 MB = 1048576 bytes), then directory time over image time. Both
# runs must list the same number of files and find the same files for a test word.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${CLI:-$here/../build/bin/olmarest-cli}}
root=${2:-${BENCH_ROOT:-/var/tmp/olmarest-cd-bench}}
RUNS=${RUNS:-2} # runs of each mode per tree; the best one counts

[ -x "$cli" ] || { echo "no olmarest-cli at $cli (pass its path as the first argument)" >&2; exit 2; }
command -v xorriso > /dev/null || { echo "xorriso is not installed (apt-get install xorriso)" >&2; exit 2; }
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
mkdir -p "$root"

# Builds tree $1 and its image $1.iso unless they are there.
make_tree() {
    local dir=$root/$1
    [ -f "$dir.iso" ] && return
    rm -rf "$dir"
    echo "building $dir ..." >&2
    python3 - "$dir" "$1" "$here" << 'EOF'
import os, random, sys
d, kind = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from doc_text import doc_text
rnd = random.Random(11)
corpus = doc_text("the trees")
junk = os.urandom(1 << 20)

def put(i, data):
    sub = os.path.join(d, "d%03d" % (i // 400))
    os.makedirs(sub, exist_ok=True)
    with open(os.path.join(sub, "f%05d.txt" % i), "wb") as f:
        f.write(data)

def text(lo, hi):
    n = rnd.randint(lo, hi)
    s = rnd.randrange(len(corpus) - n)
    return corpus[s : s + n]

if kind == "small":
    for i in range(20000):
        put(i, text(200, 4096))
elif kind == "text":
    for i in range(4000):
        put(i, text(1024, 65536))
else:
    for i in range(1500):
        if i % 3 == 0:
            n = rnd.randint(4, 20) * 32768
            s = rnd.randrange(len(junk))
            put(i, b"\x89PNG\r\n\x1a\n" + ((junk[s:] + junk[:s]) * (n // len(junk) + 1))[: n - 8])
        else:
            put(i, text(1024, 65536))
EOF
    xorriso -as mkisofs -quiet -R -J -o "$dir.iso" "$dir" 2> /dev/null
}

cold() {
    sync
    if [ -w /proc/sys/vm/drop_caches ]; then echo 3 > /proc/sys/vm/drop_caches 2> /dev/null || true; fi
}

# Indexes $1 in a fresh directory; prints "seconds files hits" (hits: files found for a word).
run() {
    local work out t0 t1 files hits
    work=$(mktemp -d)
    cold
    t0=$(date +%s.%N)
    out=$(cd "$work" && "$cli" index "$1" 2>&1) || true
    t1=$(date +%s.%N)
    grep -q 'Index complete' <<< "$out" || { echo "indexing $1 failed: $out" >&2; rm -rf "$work"; echo "0 0 0"; return; }
    files=$(sed -n 's/.*total files: \([0-9]*\).*/\1/p' <<< "$out")
    hits=$(cd "$work" && "$cli" search --no-excerpts license 2> /dev/null | wc -l)
    rm -rf "$work"
    awk -v a="$t0" -v b="$t1" -v f="$files" -v h="$hits" 'BEGIN { printf "%.3f %d %d\n", b - a, f, h }'
}

best() { sort -g | head -1; }

drop="caches dropped"
[ -w /proc/sys/vm/drop_caches ] || drop="caches NOT dropped (not root): figures are from the page cache"
echo "$drop; best of $RUNS runs" >&2
for t in small text mixed; do make_tree "$t"; done

printf '%-6s %6s %5s | %8s %8s | %8s %8s | %6s\n' tree files MB "dir s" "dir MB/s" "iso s" "iso MB/s" speedup
for t in small text mixed; do
    dir=$root/$t
    bytes=$(find "$dir" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
    mb=$(awk -v b="$bytes" 'BEGIN { printf "%.0f", b / 1048576 }')
    d=$(for _ in $(seq "$RUNS"); do run "$dir"; done | best)
    i=$(for _ in $(seq "$RUNS"); do run "$dir.iso"; done | best)
    read -r ds df dh <<< "$d"
    read -r is if ih <<< "$i"
    [ "$df" = "$if" ] && [ "$dh" = "$ih" ] || echo "$t: directory and image differ: files $df/$if, hits $dh/$ih" >&2
    awk -v t="$t" -v f="$df" -v mb="$mb" -v b="$bytes" -v ds="$ds" -v is="$is" 'BEGIN {
        printf "%-6s %6d %5d | %8.2f %8.1f | %8.2f %8.1f | %6.2f\n", t, f, mb, ds, b / 1048576 / ds, is,
               b / 1048576 / is, ds / is }'
done
