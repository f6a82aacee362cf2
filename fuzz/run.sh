#!/usr/bin/env bash
# Fuzzes each target for SECONDS (default 30: ten targets, five minutes in all), one after the other:
#   fuzz/run.sh [SECONDS [TARGET...]]          (default: every target)
# Builds or brings up to date the fuzz programs in $OLMAREST_FUZZ_BUILD (default build-asan, the
# Clang tree with ASan, UBSan and libFuzzer that tests/run_all.sh also tests in), then starts each
# from its seeds (fuzz/corpus/<target>/) and the crashes kept in tests/regress/fuzz_<target>/, with
# its dictionary (fuzz/<target>.dict) and extra libFuzzer flags (fuzz/<target>.options, one line)
# when present. New inputs go to BUILD/fuzz-corpus/<target>/ (kept between runs, never into the
# source tree), logs and crashing inputs to BUILD/fuzz-artifacts/. Exits non-zero at the first
# target that fails. Without clang and its libFuzzer it says so and succeeds.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
cd "$src"
seconds="${1:-30}"
[ $# -gt 0 ] && shift
build="${OLMAREST_FUZZ_BUILD:-build-asan}"
cxx=$(command -v clang++-14 || command -v clang++ || true)
if [ -z "$cxx" ]; then
    echo "fuzz/run.sh: no clang++; fuzzing skipped"
    exit 0
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
    echo "fuzz/run.sh: $cxx cannot link libFuzzer (apt-get install libclang-rt-14-dev); fuzzing skipped"
    exit 0
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DOLMAREST_BUILD_FUZZERS=ON -DOLMAREST_BUILD_GUI=OFF \
        -DOLMAREST_SANITIZE=address,undefined -DOLMAREST_WERROR=ON >/dev/null
fi
cmake --build "$build" -j2 --target fuzz_targets
build="$(cd "$build" && pwd)"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in "$build"/bin/fuzz_*; do targets+=("${f##*/fuzz_}"); done
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
    if [ -f "$src/fuzz/$t.options" ]; then read -r -a extra <"$src/fuzz/$t.options"; opts+=("${extra[@]}"); fi
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
