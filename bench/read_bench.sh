#!/usr/bin/env bash
# Read throughput of `olmarest-cli index` against fio doing the same I/O (32 KiB reads, 8 in
# flight, O_DIRECT, io_uring, file after file) over the same three generated trees:
#   io      files read whole that hold almost no words (digits, punctuation): bound by the device
#   binary  files whose first block is judged not worth extracting; their other reads are cancelled
#   text    real English text (package documentation): bound by extraction
# Usage: bench/read_bench.sh [olmarest-cli] [tree root]
# Columns: the indexer's average throughput as it reports it (bytes accounted over time, so a
# file given up counts whole), fio's read bandwidth, their ratio, and the indexer again with the
# synchronous back end. fio reads only whole 32 KiB blocks, so the io and binary trees hold whole
# blocks; the text tree's file tails are read by the indexer alone. 1 MB = 1048576 bytes.
# Sizes come from the variables below; the trees are kept in the root and rebuilt only when the
# sizes change. Caches are dropped before every run where the system lets us.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-${CLI:-$here/../build-read/bin/olmarest-cli}}
root=${2:-${BENCH_ROOT:-/var/tmp/olmarest-bench}}

IO_FILES=${IO_FILES:-10000}        # io tree: files of 1..IO_MAX_BLOCKS whole 32 KiB blocks
IO_MAX_BLOCKS=${IO_MAX_BLOCKS:-3}
BIN_FILES=${BIN_FILES:-600}         # binary tree: files of BIN_MIN..BIN_MAX_BLOCKS blocks
BIN_MIN_BLOCKS=${BIN_MIN_BLOCKS:-10}
BIN_MAX_BLOCKS=${BIN_MAX_BLOCKS:-20}
TEXT_FILES=${TEXT_FILES:-6000}     # text tree: files of 1 KiB .. TEXT_MAX_KB
TEXT_MAX_KB=${TEXT_MAX_KB:-64}
PER_DIR=${PER_DIR:-500}            # files per directory
RUNS=${RUNS:-3}                    # runs of each program per tree; the best one counts

export IO_FILES IO_MAX_BLOCKS BIN_FILES BIN_MIN_BLOCKS BIN_MAX_BLOCKS TEXT_FILES TEXT_MAX_KB PER_DIR
[ -x "$cli" ] || { echo "no olmarest-cli at $cli (pass its path as the first argument)" >&2; exit 2; }
command -v fio > /dev/null || { echo "fio is not installed (apt-get install fio)" >&2; exit 2; }
mkdir -p "$root"

# Builds tree $1 of kind $2 unless one with the same parameters is there.
make_tree() {
    local dir=$root/$1 kind=$1 stamp
    stamp="$kind $IO_FILES $IO_MAX_BLOCKS $BIN_FILES $BIN_MIN_BLOCKS $BIN_MAX_BLOCKS"
    stamp+=" $TEXT_FILES $TEXT_MAX_KB $PER_DIR"
    if [ -f "$dir.stamp" ] && [ "$(cat "$dir.stamp")" = "$stamp" ]; then return; fi
    rm -rf "$dir" "$dir.stamp"
    echo "building $dir ..." >&2
    python3 - "$dir" "$kind" "$here" << 'EOF'
import os, random, sys
d, kind = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from doc_text import doc_text
env = os.environ
per_dir = int(env["PER_DIR"])
rnd = random.Random(7)
B = 32768

def path(i):
    sub = os.path.join(d, "d%03d" % (i // per_dir))
    os.makedirs(sub, exist_ok=True)
    return os.path.join(sub, "f%05d" % i)

if kind == "io":
    # Digits and punctuation only: read whole, hardly a word for the extractor.
    alphabet = b"0123456789.,;:-+ \n()[]/%#"
    unit = bytes(alphabet[rnd.randrange(len(alphabet))] for _ in range(B))
    for i in range(int(env["IO_FILES"])):
        n = rnd.randint(1, int(env["IO_MAX_BLOCKS"]))
        s = rnd.randrange(B)
        with open(path(i), "wb") as f:
            f.write((unit[s:] + unit[:s]) * n)
elif kind == "binary":
    junk = os.urandom(1 << 20)
    for i in range(int(env["BIN_FILES"])):
        n = rnd.randint(int(env["BIN_MIN_BLOCKS"]), int(env["BIN_MAX_BLOCKS"])) * B
        s = rnd.randrange(len(junk) - B)
        body = (junk[s:] + junk[:s]) * (n // len(junk) + 1)
        with open(path(i), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + body[: n - 8])
else:
    corpus = doc_text("the text tree")
    top = int(env["TEXT_MAX_KB"]) * 1024
    for i in range(int(env["TEXT_FILES"])):
        n = rnd.randint(1024, top)
        s = rnd.randrange(len(corpus) - n)
        with open(path(i), "wb") as f:
            f.write(corpus[s : s + n])
EOF
    echo "$stamp" > "$dir.stamp"
}

# Drops the page cache, then reads the tree's metadata back in: fio stats every file before its
# clock starts, so both programs begin with cold data and warm inodes.
cold_data() {
    sync
    if [ -w /proc/sys/vm/drop_caches ]; then echo 3 > /proc/sys/vm/drop_caches 2> /dev/null || true; fi
    find "$1" -ls > /dev/null
}

# Prints the indexer's average throughput in MB/s (1 MB = 1048576 bytes).
run_indexer() {
    local work out
    work=$(mktemp -d)
    cold_data "$1"
    out=$(cd "$work" && "$cli" index "$1" 2>&1) || true
    rm -rf "$work"
    grep -q 'Index complete' <<< "$out" || { echo "indexing $1 failed: $out" >&2; echo 0; return; }
    sed -n 's/.*average throughput: \([0-9.]*\) MB\/s.*/\1/p' <<< "$out"
}

# Prints fio's read bandwidth in MB/s over every file below $1.
run_fio() {
    cold_data "$1"
    fio --name=read --opendir="$1" --rw=read --bs=32k --iodepth=8 --direct=1 --ioengine=io_uring \
        --file_service_type=sequential --openfiles=8 --output-format=json 2> /dev/null |
        sed -n '/^{/,$p' |
        python3 -c 'import json, sys
r = json.load(sys.stdin)["jobs"][0]["read"]
print("%.2f" % (r["bw_bytes"] / 1048576))'
}

best() { sort -g | tail -1; }

for t in io binary text; do make_tree "$t"; done

printf '%-8s %7s %6s %14s %10s %7s %11s\n' tree files MB "indexer MB/s" "fio MB/s" ratio "sync MB/s"
for t in io binary text; do
    dir=$root/$t
    files=$(find "$dir" -type f | wc -l)
    mb=$(du -sb "$dir" | awk '{printf "%.0f", $1 / 1048576}')
    idx=$(for _ in $(seq "$RUNS"); do run_indexer "$dir"; done | best)
    fio_mb=$(for _ in $(seq "$RUNS"); do run_fio "$dir"; done | best)
    # The synchronous back end, for reference: what io_uring buys on this machine.
    sync_mb=$(for _ in $(seq "$RUNS"); do OLMAREST_IO=sync run_indexer "$dir"; done | best)
    ratio=$(awk -v a="$idx" -v b="$fio_mb" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '%-8s %7d %6d %14.2f %10.2f %7s %11.2f\n' "$t" "$files" "$mb" "$idx" "$fio_mb" "$ratio" "$sync_mb"
done
