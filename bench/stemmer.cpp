// stem_word over the published stemmer vocabulary: the words of 4 or more letters, upper-cased, as
// word extraction hands them over.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "idx/text/stemmer.h"

namespace {

constexpr int SLOT = 32; // bytes per word: extraction keeps words under 32 letters

struct Vocabulary {
    std::vector<char> slots; // SLOT bytes per word, NUL-padded
    std::vector<int> lens;
    long bytes = 0;
};

Vocabulary load() {
    Vocabulary v;
    std::ifstream in(OLMAREST_SOURCE_DIR "/tests/data/porter/voc.txt");
    std::string w;
    while (std::getline(in, w)) {
        bool letters = w.size() >= 4 && w.size() < SLOT;
        for (char c : w)
            letters = letters && c >= 'a' && c <= 'z';
        if (!letters) continue;
        v.slots.resize(v.slots.size() + SLOT);
        char *slot = v.slots.data() + v.slots.size() - SLOT;
        for (size_t i = 0; i < w.size(); i++)
            slot[i] = static_cast<char>(w[i] - 'a' + 'A');
        v.lens.push_back(static_cast<int>(w.size()));
        v.bytes += static_cast<long>(w.size());
    }
    return v;
}

void stem_vocabulary(benchmark::State &state) {
    static const Vocabulary v = load();
    if (v.lens.empty()) {
        state.SkipWithError("voc.txt not found");
        return;
    }
    const long words = static_cast<long>(v.lens.size());
    char word[SLOT];
    for (auto _ : state) {
        // Stemming works in place, so each word is copied out first; the copy is part of the figure.
        for (long i = 0; i < words; i++) {
            std::memcpy(word, v.slots.data() + i * SLOT, SLOT);
            int len = v.lens[i];
            benchmark::DoNotOptimize(stem_word(word, len));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * words);
    state.SetBytesProcessed(state.iterations() * v.bytes);
    // Printed as seconds with an SI prefix, e.g. "48.2ns".
    state.counters["per_word"] =
        benchmark::Counter(static_cast<double>(words),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(stem_vocabulary)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
