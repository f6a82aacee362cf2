#!/usr/bin/env bash
# A library of many small entries searched at once: ENTRIES folders of FILES files each (default
# 100 of 1,000), each file a few lines with one word only it holds, added one by one with
# olmarest-cli add, then `search --no-excerpts` over the whole library and over one entry (median
# of 9 fresh processes, warm caches). Prints a table.
# Usage: bench/library_bench.sh   (BUILD: the Release build tree, default build-rel)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$src/build-rel}
entries=${ENTRIES:-100}
files=${FILES:-1000}
work=$(mktemp -d /var/tmp/olmarest-library-XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOLMAREST_BUILD_TESTS=OFF -DOLMAREST_BUILD_GUI=OFF > /dev/null
cmake --build "$build" --target olmarest-cli -j2 > /dev/null
cli=$build/bin/olmarest-cli
export XDG_DATA_HOME=$work/data
python3 - "$work/trees" "$entries" "$files" <<'PY'
import os, sys
root, entries, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
syl = ["ba","bo","da","do","ka","ko","ma","mo","na","no","pa","po","ra","ro","ta","to","va","vo","ga","go"]
def word(i):
    s = ""
    for _ in range(5):
        s += syl[i % 20]; i //= 20
    return s
for e in range(entries):
    d = os.path.join(root, "shelf%03d" % e)
    os.makedirs(d)
    for f in range(files):
        with open(os.path.join(d, "f%04d.txt" % f), "w") as out:
            out.write("the harbour log of the night, and the word %s\n" % word(e * files + f))
PY
start=$(date +%s.%N)
for d in "$work"/trees/*; do "$cli" add "$d" > /dev/null; done
added=$(echo "$(date +%s.%N) - $start" | bc)
median_ms() {
    for _ in 1 2 3 4 5 6 7 8 9; do
        t0=$(date +%s%N)
        "$@" > /dev/null 2>&1 || true
        t1=$(date +%s%N)
        echo $(((t1 - t0) / 1000))
    done | sort -n | sed -n 5p | awk '{printf "%.1f", $1 / 1000}'
}
all=$(median_ms "$cli" search --no-excerpts babababa)
hits=$(median_ms "$cli" search --no-excerpts harbour)
one=$(median_ms "$cli" search -e shelf000 --no-excerpts babababa)
two=$(median_ms "$cli" search -e shelf000 -e shelf001 --no-excerpts babababa)
echo
echo "library: $entries entries of $files files; $(nproc) cores; $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '| %-58s | %-12s |\n' figure value
printf '|%s|%s|\n' "$(printf -- '-%.0s' {1..60})" "$(printf -- '-%.0s' {1..14})"
printf '| %-58s | %-12s |\n' "adding the $entries entries (olmarest-cli add each)" "${added%.*} s"
printf '| %-58s | %-12s |\n' "search one entry, a word in no file" "$one ms"
printf '| %-58s | %-12s |\n' "search two entries, a word in no file" "$two ms"
printf '| %-58s | %-12s |\n' "search all $entries entries, a word in no file" "$all ms"
printf '| %-58s | %-12s |\n' "search all $entries entries, a word in every file (one row each)" "$hits ms"
