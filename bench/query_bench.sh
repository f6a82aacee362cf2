#!/usr/bin/env bash
# Query latency on an index of about 60 000 files, beside ripgrep listing the same words' files.
# Usage: bench/query_bench.sh [BUILD_DIR] [FILES]
# BUILD_DIR must have been configured with -DOLMAREST_BUILD_BENCHMARKS=ON (Release recommended).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build-bench}" && pwd)
files=${2:-60000}
work=${OLMAREST_BENCH_DIR:-/tmp/olmarest-query-bench}
command -v rg >/dev/null || { echo "needs ripgrep (apt-get install ripgrep)" >&2; exit 1; }

cmake --build "$build" --target olmarest-cli bench_query -j2 >/dev/null
mkdir -p "$work"
cd "$work"
if [ ! -f "tree.$files" ]; then
    rm -rf tree tree.*
    # Made-up words from syllables, so that each query word is in about a hundred files (a word in
    # more than 1,785 files is dropped from the index).
    python3 - "$files" <<'PY'
import os, random, sys
n = int(sys.argv[1])
random.seed(42)
syl = "bar ten mor lan der sil ven tor rim pel dan kor fal mun ser gan hol win bel cas".split()
vocab = [a + b + c for a in syl for b in syl for c in syl]
prose = ("the keeper climbed the stairs of the old tower every evening and trimmed the wick "
         "while the ships passed the harbour at night ").split()
for i in range(n):
    d = "tree/d%03d" % (i // 500)
    os.makedirs(d, exist_ok=True)
    words = [random.choice(prose) if random.random() < 0.9 else random.choice(vocab) for _ in range(150)]
    with open("%s/f%05d.txt" % (d, i), "w") as f:
        f.write(" ".join(words) + "\n")
PY
    touch "tree.$files"
fi
"$build/bin/olmarest-cli" index "$work/tree" >/dev/null
w1=${OLMAREST_WORDS1:-bartenbar}
w3=${OLMAREST_WORDS3:-"bartenbar silkorten holwinmor"}
out=$(OLMAREST_WORDS1=$w1 OLMAREST_WORDS3=$w3 "$build/bin/bench_query" --benchmark_format=csv 2>/dev/null)
us() { echo "$out" | awk -F, -v n="\"$1\"" '$1 == n { print $4 }'; }

# ripgrep: median of 5 runs, warm cache, listing the files that hold any of the words.
rg_us() {
    local pattern=$1 t=()
    for _ in 1 2 3 4 5; do
        local s=$(date +%s%N)
        rg -l -i -e "$pattern" "$work/tree" >/dev/null || true
        t+=($(( ($(date +%s%N) - s) / 1000 )))
    done
    printf '%s\n' "${t[@]}" | sort -n | sed -n 3p
}
rg1=$(rg_us "$w1")
rg3=$(rg_us "$(echo "$w3" | sed 's/ /|/g')")

printf '%-28s %14s %14s %10s\n' "query ($files files)" "olmarest us" "rg -l -i us" "rg / ours"
row() { printf '%-28s %14.1f %14s %10s\n' "$1" "$2" "${3:--}" "${3:+$(awk -v a="$3" -v b="$2" 'BEGIN{printf "%.0fx", a/b}')}"; }
row "one word, first pass" "$(us BM_FirstPassOneWord)" "$rg1"
row "three words, first pass" "$(us BM_FirstPassThreeWords)" "$rg3"
row "one word, excerpt pass" "$(us BM_ExcerptPassOneWord)"
row "three words, excerpt pass" "$(us BM_ExcerptPassThreeWords)"
