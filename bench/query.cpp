// Query latency on an existing index: run in a directory holding idx.dat (bench/query_bench.sh
// builds one). The words come from OLMAREST_WORDS1 (one word) and OLMAREST_WORDS3 (three words).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"

namespace {

const char *words(const char *var, const char *fallback) {
    const char *w = std::getenv(var);
    return w && *w ? w : fallback;
}

bool loaded() {
    static int r = read_idx();
    if (r != 0) std::fprintf(stderr, "no index loaded here: %s\n", idx_reason());
    return r == 0;
}

// query_idx plus the first listing pass: paths and frequencies, as the list is filled.
void first_pass(benchmark::State &state, const char *text) {
    if (!loaded()) return state.SkipWithError("no idx.dat");
    int rows = 0;
    for (auto _ : state) {
        query_idx(text);
        char *path;
        int freq;
        rows = 0;
        while (next_result(&path, &freq, nullptr) == 0) rows++;
        benchmark::DoNotOptimize(rows);
    }
    state.counters["rows"] = rows;
}

// The excerpt pass alone: every listed file is read again to find its first occurrences.
void excerpt_pass(benchmark::State &state, const char *text) {
    if (!loaded()) return state.SkipWithError("no idx.dat");
    query_idx(text);
    int rows = 0;
    for (auto _ : state) {
        char *path, *excerpt;
        int freq;
        rows = 0;
        while (next_result(&path, &freq, &excerpt) == 0) rows++;
        state.PauseTiming();
        while (next_result(&path, &freq, nullptr) == 0) {} // the next text pass starts again
        state.ResumeTiming();
    }
    state.counters["rows"] = rows;
}

void BM_FirstPassOneWord(benchmark::State &s) { first_pass(s, words("OLMAREST_WORDS1", "lighthouse")); }
void BM_FirstPassThreeWords(benchmark::State &s) {
    first_pass(s, words("OLMAREST_WORDS3", "lighthouse harbour keeper"));
}
void BM_ExcerptPassOneWord(benchmark::State &s) { excerpt_pass(s, words("OLMAREST_WORDS1", "lighthouse")); }
void BM_ExcerptPassThreeWords(benchmark::State &s) {
    excerpt_pass(s, words("OLMAREST_WORDS3", "lighthouse harbour keeper"));
}

BENCHMARK(BM_FirstPassOneWord)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirstPassThreeWords)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExcerptPassOneWord)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExcerptPassThreeWords)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
