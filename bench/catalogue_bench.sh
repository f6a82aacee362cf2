#!/usr/bin/env bash
# What the catalogue idx.files costs and gives, on the big benchmark tree:
#   its bytes per file; its share of the indexing time (catalogue_cost: the run timed whole, then
#   the catalogue made and written again on its own as the run writes it); loads in one process
#   with and without it; and a fresh `olmarest-cli search --no-excerpts WORD` (process start to exit,
#   median of 9, warm caches) with idx.files and with it removed (the load walks the tree).
# Usage: bench/catalogue_bench.sh [TREE]
#   TREE    default $OLMAREST_BENCH_TREE, else /work/corpus/big (made by make-corpus.sh of the
#           shared bench scripts: make-corpus.sh DEST makes DEST/big)
#   BUILD   the Release build tree (default build-rel; configured and built here)
#   WORD    the query word (default tarball)
#   ROUNDS  runs of the index (default 3; medians)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:-${OLMAREST_BENCH_TREE:-/work/corpus/big}}
if [ ! -d "$tree" ]; then
    echo "no tree at $tree: make the benchmark corpus with make-corpus.sh DEST (it makes DEST/big)" >&2
    echo "and pass DEST/big, or set OLMAREST_BENCH_TREE" >&2
    exit 2
fi
tree=$(cd "$tree" && pwd)
build=${BUILD:-$src/build-rel}
word=${WORD:-tarball}
rounds=${ROUNDS:-3}
work=$(mktemp -d /var/tmp/olmarest-catalogue-XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOLMAREST_BUILD_TESTS=OFF -DOLMAREST_BUILD_GUI=OFF \
    -DOLMAREST_BUILD_BENCHMARKS=ON > /dev/null
cmake --build "$build" --target olmarest-cli catalogue_cost -j2 > /dev/null
cli=$build/bin/olmarest-cli
cp "$build/bin/stopwords.txt" "$work/" 2> /dev/null || true

"$build/bin/catalogue_cost" "$tree" "$work" "$rounds" | tee "$work/cost"
val() { sed -n "s/^$1 //p" "$work/cost"; }

# Median wall time in ms of 9 fresh processes.
median_ms() {
    for _ in 1 2 3 4 5 6 7 8 9; do
        local t0 t1
        t0=$(date +%s%N)
        "$@" > /dev/null 2>&1 || true
        t1=$(date +%s%N)
        echo $(((t1 - t0) / 1000))
    done | sort -n | sed -n 5p | awk '{ printf "%.1f", $1 / 1000 }'
}
export OLMAREST_DIR=$work
hits=$("$cli" search --no-excerpts "$word" 2> /dev/null | wc -l)
with=$(median_ms "$cli" search --no-excerpts "$word")
mv "$work/idx.files" "$work/idx.files.aside"
hits_walk=$("$cli" search --no-excerpts "$word" 2> /dev/null | wc -l)
without=$(median_ms "$cli" search --no-excerpts "$word")
mv "$work/idx.files.aside" "$work/idx.files"
[ "$hits" = "$hits_walk" ] || echo "warning: $hits rows with the catalogue, $hits_walk without" >&2

ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
echo
echo "tree: $tree ($(val files) files); $(nproc) cores; $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '| %-58s | %-30s |\n' figure value
printf '|%s|%s|\n' "$(printf -- '-%.0s' {1..60})" "$(printf -- '-%.0s' {1..32})"
row() { printf '| %-58s | %-30s |\n' "$1" "$2"; }
row "idx.files size" "$(val catalogue_bytes) bytes, $(val bytes_per_file) B/file"
row "index, whole run (catalogue included)" "$(val index_s) s"
row "catalogue made and written (encode, write, flush)" "$(ms "$(val catalogue_s)") ms, $(val catalogue_share_pct) % of the run"
row "read_idx in one process: catalogue / walk" "$(ms "$(val load_catalogue_s)") / $(ms "$(val load_walk_s)") ms"
row "fresh search --no-excerpts $word ($hits files): catalogue" "$with ms"
row "the same, idx.files removed (walk)" "$without ms"
