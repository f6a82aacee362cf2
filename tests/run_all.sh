#!/usr/bin/env bash
# Every check of continuous integration, in one place (the README's test command runs it):
#   1. GCC, warnings as errors: the whole suite;
#   2. Clang with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer: the whole suite again,
#      then each fuzz target for FUZZ_SECONDS (default 33) from its seeds;
#   3. GCC with ThreadSanitizer: the suite again, where the indexing thread meets the UI thread.
# Build trees: build-test, build-asan, build-tsan. Stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds="${FUZZ_SECONDS:-33}"
start=$SECONDS
step() { printf '\n==== %s (%d s so far)\n' "$1" $((SECONDS - start)); }

step "GCC: build and test"
cmake -S . -B build-test -DOLMAREST_WERROR=ON
cmake --build build-test -j2
ctest --test-dir build-test -j2 --output-on-failure

step "Clang, ASan+UBSan, libFuzzer: build and test"
# The desktop program's tests ran above; Qt itself is not built with the sanitizers.
cmake -S . -B build-asan -DCMAKE_CXX_COMPILER=clang++ -DOLMAREST_SANITIZE=address,undefined \
    -DOLMAREST_BUILD_FUZZERS=ON -DOLMAREST_WERROR=ON -DOLMAREST_BUILD_GUI=OFF
cmake --build build-asan -j2
ctest --test-dir build-asan -j2 --output-on-failure

step "Fuzzing, ${fuzz_seconds} s per target"
fuzz/run.sh "$fuzz_seconds"

step "GCC, TSan: build and test"
cmake -S . -B build-tsan -DOLMAREST_SANITIZE=thread -DOLMAREST_WERROR=ON -DOLMAREST_BUILD_GUI=OFF
cmake --build build-tsan -j2
# The fuzz replays are single-threaded and already ran twice.
ctest --test-dir build-tsan -j2 --output-on-failure -LE fuzz

step "All checks passed"
