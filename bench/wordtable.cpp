// Word table speed: tbl_insert and tbl_find over a million random distinct keys, in an index
// mapped in a temporary directory as a run maps it. Reports nanoseconds per operation.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "idx/store/exthashtbl.h"
#include "idx/index.h"

namespace {

constexpr size_t NUM_KEYS = 1000000;

const std::vector<uint32_t> &keys() {
    static const std::vector<uint32_t> k = [] {
        std::mt19937 rng(42);
        std::unordered_set<uint32_t> seen;
        std::vector<uint32_t> v;
        v.reserve(NUM_KEYS);
        while (v.size() < NUM_KEYS) {
            uint32_t x = rng();
            if (seen.insert(x).second) v.push_back(x);
        }
        return v;
    }();
    return k;
}

// Maps idx.dat in a fresh temporary directory once; empty_table() then starts a table over.
void map_index() {
    static bool mapped = false;
    if (mapped) return;
    std::string dir = (std::filesystem::temp_directory_path() / "olmarest-bench-XXXXXX").string();
    if (!mkdtemp(dir.data()) || chdir(dir.c_str()) != 0 || map_idx_write() != 0) {
        std::fprintf(stderr, "cannot map an index in %s\n", dir.c_str());
        std::exit(1);
    }
    mapped = true;
    // Removed at exit, mapping and all: nothing of the benchmark stays behind.
    static std::string keep = dir;
    std::atexit([] {
        close_idx_file();
        std::error_code ec;
        std::filesystem::remove_all(keep, ec);
    });
}

void empty_table() {
    map_index();
    reset_pools();
    auto *h = static_cast<IdxHeader *>(mem_alloc(sizeof(IdxHeader), true));
    h->base = idx_origin();
    tbl_init(word_table);
}

void fill_table() {
    empty_table();
    for (uint32_t k : keys())
        tbl_insert(word_table, Word{k, 1, 0});
}

// Items per second, and its inverse: the time of one operation (shown as e.g. "85n" seconds).
void set_rate(benchmark::State &state) {
    double ops = static_cast<double>(state.iterations()) * NUM_KEYS;
    state.SetItemsProcessed(static_cast<int64_t>(ops));
    state.counters["per_op"] =
        benchmark::Counter(ops, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A million insertions into an empty table, splits and directory doublings included.
void BM_Insert(benchmark::State &state) {
    keys();
    for (auto _ : state) {
        state.PauseTiming();
        empty_table();
        state.ResumeTiming();
        for (uint32_t k : keys())
            benchmark::DoNotOptimize(tbl_insert(word_table, Word{k, 1, 0}));
    }
    set_rate(state);
}
BENCHMARK(BM_Insert)->Unit(benchmark::kMillisecond);

// A million lookups of present keys, in an order unrelated to insertion.
void BM_FindHit(benchmark::State &state) {
    fill_table();
    std::vector<uint32_t> order = keys();
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (auto _ : state)
        for (uint32_t k : order)
            benchmark::DoNotOptimize(tbl_find(word_table, k));
    set_rate(state);
}
BENCHMARK(BM_FindHit)->Unit(benchmark::kMillisecond);

// A million lookups of absent keys: every slot of the node is compared.
void BM_FindMiss(benchmark::State &state) {
    fill_table();
    std::unordered_set<uint32_t> in(keys().begin(), keys().end());
    std::vector<uint32_t> misses;
    std::mt19937 rng(9);
    while (misses.size() < NUM_KEYS) {
        uint32_t k = rng();
        if (!in.count(k)) misses.push_back(k);
    }
    for (auto _ : state)
        for (uint32_t k : misses)
            benchmark::DoNotOptimize(tbl_find(word_table, k));
    set_rate(state);
}
BENCHMARK(BM_FindMiss)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
