#!/usr/bin/env bash
# One table of the figures that matter, measured in one run on one tree:
#   indexing wall time and MB/s, with two threads and with OLMAREST_THREADS=1, against the read
#   floor (bench/read_floor.cpp: the same files read with the indexer's pattern, 32 KiB reads, 8 in
#   flight, O_DIRECT, io_uring, file after file, nothing done with the data); an I/O-bound tree
#   (whole blocks of digits) against fio with that pattern; the
#   fresh-process search time without and with excerpts against `rg -l -i` on the same words;
#   idx.dat's size; peak memory.
# Usage: bench/run.sh [TREE]
#   TREE       tree to index (default $OLMAREST_BENCH_TREE, else /var/tmp/olmarest-corpus/big)
#   CLI=path   measure this olmarest-cli instead of the one of the release build (BUILD, default
#              build-release, configured and built here)
#   WORD1, WORDS3  the one-word and three-word queries (defaults suit the documentation corpus)
#   IO_FILES   files of the generated I/O-bound tree (default 3000, 1 to 3 blocks each)
#   ROUNDS     times each cold figure is taken; the median is shown (default 3)
# Caches are dropped before every cold figure (needs root; otherwise the figures are warm).
# 1 MB = 1048576 bytes. Needs fio and ripgrep (apt-get install fio ripgrep).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
tree=$(cd "${1:-${OLMAREST_BENCH_TREE:-/var/tmp/olmarest-corpus/big}}" && pwd)
word1=${WORD1:-tarball}
words3=${WORDS3:-"tarball bluetooth kerberos"}
io_files=${IO_FILES:-3000}
rounds=${ROUNDS:-3}
work=${OLMAREST_BENCH_WORK:-/var/tmp/olmarest-run}
for t in fio rg; do command -v $t > /dev/null || { echo "needs $t (apt-get install fio ripgrep)" >&2; exit 2; }; done

CLI=${CLI:-${BUILD:-$src/build-release}/bin/olmarest-cli}
build=${BUILD:-$src/build-release}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOLMAREST_BUILD_TESTS=OFF -DOLMAREST_BUILD_BENCHMARKS=ON > /dev/null
cmake --build "$build" --target olmarest-cli read_floor -j2 > /dev/null
floor=$build/bin/read_floor
# Each run's index directory gets the stop list the program ships with, as a first run would.
stopwords=$(dirname "$CLI")/stopwords.txt
mkdir -p "$work"

cold() {
    sync
    if [ -w /proc/sys/vm/drop_caches ]; then echo 3 > /proc/sys/vm/drop_caches 2> /dev/null || true; fi
}

# fio over every file below $1: prints "seconds MB/s wall-seconds", the first two of its reading
# (its set-up, where it lists and stats the files, not counted), the last of the whole process.
run_fio() {
    cold
    local t0 t1
    t0=$(date +%s%N)
    fio --name=read --opendir="$1" --rw=read --bs=32k --iodepth=8 --direct=1 --ioengine=io_uring \
        --file_service_type=sequential --openfiles=8 --output-format=json > "$work/fio.json" 2> /dev/null
    t1=$(date +%s%N)
    sed -n '/^{/,$p' "$work/fio.json" |
        python3 -c 'import json, sys
r = json.load(sys.stdin)["jobs"][0]["read"]
print("%.3f %.1f %.3f" % (r["runtime"] / 1000.0, r["bw_bytes"] / 1048576, float(sys.argv[1]) / 1e9))' $((t1 - t0))
}

# Indexes $1 cold in $work/${2:-idx}: prints "seconds peak-KiB user-s system-s average-MB/s" (the
# last as the indexer reports it: the bytes over the whole run, walk included).
run_index() {
    local at=$work/${2:-idx}
    rm -rf "$at" && mkdir -p "$at"
    cp "$stopwords" "$at/"
    cold
    (cd "$at" && OLMAREST_DIR=$at /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$CLI" index "$1" > "$work/out" 2>&1) || true
    grep -q 'Index complete' "$work/out" || { echo "indexing $1 failed:" >&2; tail -5 "$work/out" >&2; exit 1; }
    printf '%s %s\n' "$(cat "$work/time")" "$(sed -n 's/.*average throughput: \([0-9.]*\) MB\/s.*/\1/p' "$work/out")"
}

# Median wall time in ms of 9 runs of a command (warm caches: a search right after start-up).
median_ms() {
    for _ in 1 2 3 4 5 6 7 8 9; do
        local t0 t1
        t0=$(date +%s%N)
        "$@" > /dev/null 2>&1 || true
        t1=$(date +%s%N)
        echo $(((t1 - t0) / 1000))
    done | sort -n | sed -n 5p | awk '{ printf "%.1f", $1 / 1000 }'
}

# The I/O-bound tree: whole 32 KiB blocks of digits and punctuation, hardly a word in them.
iotree=$work/io-$io_files
if [ ! -d "$iotree" ]; then
    python3 - "$iotree" "$io_files" << 'EOF'
import os, random, sys
d, n = sys.argv[1], int(sys.argv[2])
rnd = random.Random(7)
alphabet = b"0123456789.,;:-+ \n()[]/%#"
unit = bytes(alphabet[rnd.randrange(len(alphabet))] for _ in range(32768))
for i in range(n):
    sub = os.path.join(d, "d%03d" % (i // 500))
    os.makedirs(sub, exist_ok=True)
    with open(os.path.join(sub, "f%05d" % i), "wb") as f:
        f.write(unit * rnd.randint(1, 3))
EOF
fi

files=$(find "$tree" -type f | wc -l)
bytes=$(find "$tree" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
mb=$(awk -v b="$bytes" 'BEGIN { printf "%.0f", b / 1048576 }')

# Cold figures swing from run to run with the device: each is taken ROUNDS times, the kinds
# interleaved so that a slow spell of the device touches them alike, and the median kept.
: > "$work/floor"; : > "$work/idx2"; : > "$work/idx1"; : > "$work/io-index"; : > "$work/io-fio"; : > "$work/io-floor"
for _ in $(seq "$rounds"); do
    cold
    "$floor" "$tree" >> "$work/floor"
    OLMAREST_THREADS=2 run_index "$tree" >> "$work/idx2"
    OLMAREST_THREADS=1 run_index "$tree" >> "$work/idx1"
done
# The device reads slower for a while after the big tree: a first read of the small tree, not
# counted, takes that, and the three take turns at going first.
for r in $(seq "$rounds"); do
    cold
    "$floor" "$iotree" > /dev/null
    for k in 0 1 2; do
        case $(((r + k) % 3)) in
        0) run_index "$iotree" io-idx >> "$work/io-index" ;;
        1) run_fio "$iotree" >> "$work/io-fio" ;;
        2) cold && "$floor" "$iotree" >> "$work/io-floor" ;;
        esac
    done
done
# The line of a file whose field $2 is the median.
median() { sort -g -k"$2" "$1" | sed -n "$(((rounds + 1) / 2))p"; }
read -r floor_s floor_mb _ < <(median "$work/floor" 1)
read -r idx2_s idx2_kb idx2_u idx2_sys _ < <(median "$work/idx2" 1)
read -r idx1_s idx1_kb idx1_u idx1_sys _ < <(median "$work/idx1" 1)
read -r io_wall _ _ _ io_mb < <(median "$work/io-index" 5)
read -r _ io_fio io_fio_wall < <(median "$work/io-fio" 2)
read -r _ io_floor _ < <(median "$work/io-floor" 2)
# The index of a two-thread run is the one searched (both make the same file).
OLMAREST_THREADS=2 run_index "$tree" > /dev/null
idx_size=$(stat -c %s "$work/idx/idx.dat")

cd "$work/idx"
export OLMAREST_DIR=$work/idx
hits1=$("$CLI" search --no-excerpts "$word1" 2> /dev/null | wc -l)
hits3=$("$CLI" search --no-excerpts $words3 2> /dev/null | wc -l)
s1=$(median_ms "$CLI" search --no-excerpts "$word1")
s3=$(median_ms "$CLI" search $words3)
/usr/bin/time -f %M -o "$work/time" "$CLI" search $words3 > /dev/null 2>&1
search_kb=$(cat "$work/time")
rg_args=()
for w in $words3; do rg_args+=(-e "$w"); done
# What stat'ing every file costs here: one process listing each file's size and time, as a load must.
find_ms=$(median_ms find "$tree" -type f -printf '%s %T@\n')
rg1=$(median_ms rg -l -i -e "$word1" "$tree")
rg3=$(median_ms rg -l -i "${rg_args[@]}" "$tree")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
mbs() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f", (s > 0 ? b / 1048576 / s : 0) }'; }

echo "tree: $tree ($files files, $mb MB); $(nproc) cores; $(date -u '+%Y-%m-%d %H:%M UTC'); cold figures: median of $rounds"
printf '| %-52s | %-34s |\n' figure value
printf '|%s|%s|\n' "$(printf -- '-%.0s' {1..54})" "$(printf -- '-%.0s' {1..36})"
row() { printf '| %-52s | %-34s |\n' "$1" "$2"; }
row "read floor (read_floor, same pattern)" "$floor_s s ($floor_mb MB/s)"
row "index, two threads" "$idx2_s s ($(mbs "$idx2_s") MB/s), $(ratio "$idx2_s" "$floor_s") x floor"
row "index, OLMAREST_THREADS=1" "$idx1_s s ($(mbs "$idx1_s") MB/s), $(ratio "$idx1_s" "$floor_s") x floor"
row "index CPU, user + system: two threads / one" "$idx2_u + $idx2_sys s / $idx1_u + $idx1_sys s"
row "I/O-bound tree ($io_files files): indexer / fio" "$io_mb / $io_fio MB/s = $(ratio "$io_mb" "$io_fio")"
row "I/O-bound tree: read_floor / fio" "$io_floor / $io_fio MB/s = $(ratio "$io_floor" "$io_fio")"
row "I/O-bound tree, whole process: indexer / fio" "$io_wall / $io_fio_wall s"
row "search --no-excerpts $word1 ($hits1 files)" "$s1 ms (rg -l -i: $rg1 ms)"
row "search with excerpts: $words3 ($hits3 files)" "$s3 ms (rg -l -i: $rg3 ms)"
row "every file stat'ed: find -printf '%s %T@'" "$find_ms ms"
row "idx.dat size" "$(awk -v b="$idx_size" 'BEGIN { printf "%.1f MB", b / 1048576 }')"
row "peak memory: index 2 threads / 1 thread / search" "$((idx2_kb / 1024)) / $((idx1_kb / 1024)) / $((search_kb / 1024)) MB"
