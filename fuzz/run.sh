#!/usr/bin/env bash
# Builds the fuzz targets with clang-14 and libFuzzer (ASan and UBSan on) in build-fuzz/ and runs
# each for SECONDS (default 60), from its seeds in fuzz/corpus/<name>/. New inputs go to
# build-fuzz/corpus/<name>/, never into the repository; a crash leaves its input in build-fuzz/.
# Without clang and its libFuzzer it says so and succeeds, so the test command works everywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
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
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER="$cxx" -DOLMAREST_BUILD_FUZZERS=ON -DOLMAREST_BUILD_TESTS=OFF -DOLMAREST_BUILD_GUI=OFF \
    -DOLMAREST_SANITIZE=address,undefined -DOLMAREST_WERROR=ON >/dev/null
cmake --build build-fuzz -j2 --target fuzz_targets
for prog in build-fuzz/bin/fuzz_*; do
    name=${prog##*/fuzz_}
    mkdir -p "build-fuzz/corpus/$name"
    echo "fuzzing $name for ${seconds}s"
    if ! (cd build-fuzz && "../$prog" -max_total_time="$seconds" -max_len=131072 -timeout=10 \
        "corpus/$name" "../fuzz/corpus/$name" >"fuzz-$name.log" 2>&1); then
        cat "build-fuzz/fuzz-$name.log"
        exit 1
    fi
    tail -n 1 "build-fuzz/fuzz-$name.log"
done
