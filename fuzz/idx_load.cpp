// Fuzz target: loading and querying a damaged idx.dat. The input is the whole file; it is loaded
// from a scratch directory beside the fixed tree "tree" that the seed index files were made from
// (fuzz/make_seeds.cpp), so a file that passes the checks meets real files, and each load is
// followed by queries over the tree's words with both result passes, excerpts included.
// Checks: nothing crashes or hangs; every result has a path and a frequency, and every excerpt
// text ends within its buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "idx/text/extract.h"
#include "idx/index.h"

static std::string work;
static bool expect_load; // OLMAREST_FUZZ_EXPECT_LOAD set: every input must load (the seeds)

static const char *const QUERIES[] = {"lighthouse harbour keeper", "needle straddle storm",
                                      "M\xFCller \xFC" "ber stra\xDF" "e",  "seagull songs beacon",
                                      "shipmast tidewater pilot",           "harbourlight seagullrock wavetide"};

static void run_queries() {
    int nq = 0;
    for (const char *q : QUERIES) {
        query_idx(q);
        char *path, *text;
        int freq;
        while (next_result(&path, &freq, nullptr) == 0)
            if (!path) __builtin_trap();
        // Excerpts re-read and tokenize whole blocks, by far the dearest step: only for the first
        // queries, which reach every kind of file and a block edge.
        if (nq++ >= 3) continue;
        while (next_result(&path, &freq, &text) == 0)
            if (!path || !text || strnlen(text, 256) == 256) __builtin_trap();
    }
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    work = fuzz_scratch() + "/load";
    fuzz_make_tree(work + "/tree");
    fuzz_trigrams(false);
    expect_load = getenv("OLMAREST_FUZZ_EXPECT_LOAD") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_in_dir(work, [&] {
        // A new file renamed over the old one: the last load may still map the old one.
        fuzz_write("idx.new", size ? std::string(reinterpret_cast<const char *>(data), size) : std::string());
        if (rename("idx.new", "idx.dat") != 0) __builtin_trap();
        if (read_idx() == 0)
            run_queries();
        else if (expect_load)
            __builtin_trap(); // stale seeds: run make_seeds again

    });
    return 0;
}
