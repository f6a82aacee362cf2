#!/usr/bin/env bash
# Runs fuzz targets of a build made with -DOLMAREST_BUILD_FUZZERS=ON, one after the other, each for
# a bounded time, starting from its seeds and the crashes kept in tests/regress/.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]     (default: every fuzz_* program of the build)
# A target's dictionary (fuzz/<target>.dict) and extra libFuzzer flags (fuzz/<target>.options, one
# line) are used when present. New inputs go to BUILD_DIR/fuzz-corpus/<target>/ (kept between runs, never into the source
# tree), crashes to BUILD_DIR/fuzz-artifacts/. Exits non-zero at the first target that fails.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
seconds="$2"
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in "$build"/bin/fuzz_*; do targets+=("$(basename "$f" | sed 's/^fuzz_//')"); done
fi
mkdir -p "$build/fuzz-artifacts"
for t in "${targets[@]}"; do
    corpus="$build/fuzz-corpus/$t"
    mkdir -p "$corpus"
    inputs=("$corpus" "$src/fuzz/corpus/$t")
    [ -d "$src/tests/regress/fuzz_$t" ] && inputs+=("$src/tests/regress/fuzz_$t")
    opts=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1
          -artifact_prefix="$build/fuzz-artifacts/$t-")
    [ -f "$src/fuzz/$t.dict" ] && opts+=(-dict="$src/fuzz/$t.dict")
    if [ -f "$src/fuzz/$t.options" ]; then read -r -a extra < "$src/fuzz/$t.options"; opts+=("${extra[@]}"); fi
    log="$build/fuzz-artifacts/$t.log"
    echo "== fuzz_$t for ${seconds}s (log: $log)"
    if ! "$build/bin/fuzz_$t" "${opts[@]}" "${inputs[@]}" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz_$t FAILED: the input is in $build/fuzz-artifacts/"
        exit 1
    fi
    # The last status line (executions, coverage, features, corpus) and the final statistics.
    grep -E '^#[0-9]+' "$log" | tail -n 1
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log"
done
