// Word extraction over real English text (the GPL-3 repeated to 4 MiB), fed in 32 KiB pieces as the
// read pipeline delivers it, with the shipped trigram table: the tokenizers alone with a sink that
// does nothing, and the whole recording path (extract, stem, key, word table, postings) into an
// index file mapped in a temporary directory.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"

namespace {

namespace fs = std::filesystem;

const std::string &text() {
    static std::string t = [] {
        std::ifstream in("/usr/share/common-licenses/GPL-3", std::ios::binary);
        std::string one((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (one.empty()) one = "The quick brown fox jumps over the lazy dog.\n";
        std::string all;
        while (all.size() < (4u << 20)) all += one;
        return all;
    }();
    return t;
}

void load_table() { load_trigrams(OLMAREST_SOURCE_DIR "/data/trigram_freqs.dat"); }

int ignore(char *, int) { return 0; }

template <int (*Extract)(const char *, int)> void run_pieces(const std::string &t) {
    for (size_t ofs = 0; ofs < t.size(); ofs += READ_SIZE)
        Extract(t.data() + ofs, static_cast<int>(std::min<size_t>(READ_SIZE, t.size() - ofs)));
}

void BM_ExtractPlain(benchmark::State &state) {
    load_table();
    word_sink = ignore;
    const std::string &t = text();
    for (auto _ : state) run_pieces<extract_plain>(t);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
    word_sink = add_word;
}
BENCHMARK(BM_ExtractPlain)->Unit(benchmark::kMillisecond);

// Digits, punctuation and white space: nothing to record, every byte still looked at.
void BM_ExtractPlainNoLetters(benchmark::State &state) {
    load_table();
    word_sink = ignore;
    std::string t(4u << 20, ' ');
    const char chars[] = "0123456789.,;:-+*/()[]{}#%&=<>!?\n\t ";
    for (size_t i = 0; i < t.size(); i++) t[i] = chars[(i * 2654435761u >> 7) % (sizeof chars - 1)];
    for (auto _ : state) run_pieces<extract_plain>(t);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
    word_sink = add_word;
}
BENCHMARK(BM_ExtractPlainNoLetters)->Unit(benchmark::kMillisecond);

void BM_ExtractMarkup(benchmark::State &state) {
    word_sink = ignore;
    const std::string &t = text();
    for (auto _ : state) run_pieces<extract_markup>(t);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
    word_sink = add_word;
}
BENCHMARK(BM_ExtractMarkup)->Unit(benchmark::kMillisecond);

// The same text as a documentation page would carry it: every line a paragraph with attributes,
// every fifth word a link, some entities. Tags and their attributes are about half the bytes.
const std::string &html() {
    static std::string h = [] {
        const std::string &t = text();
        std::string out;
        size_t word = 0;
        for (size_t i = 0; i < t.size() && out.size() < (4u << 20); i++) {
            char c = t[i];
            if (c == '\n') {
                out += "</p>\n<p class=\"body-text\" id=\"para\">";
            } else if (c == ' ' && ++word % 5 == 0) {
                out += " <a href=\"../reference/section.html#anchor\">&nbsp;</a> ";
            } else {
                out += c;
            }
        }
        return out;
    }();
    return h;
}

void BM_ExtractHtml(benchmark::State &state) {
    word_sink = ignore;
    const std::string &t = html();
    for (auto _ : state) run_pieces<extract_markup>(t);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
    word_sink = add_word;
}
BENCHMARK(BM_ExtractHtml)->Unit(benchmark::kMillisecond);

// An empty index being built, as create_idx prepares it, without the indexing thread.
void start_index() {
    reset_pools();
    if (map_idx_write() != 0) std::abort();
    auto *h = static_cast<IdxHeader *>(mem_alloc(sizeof(IdxHeader), true));
    h->base = idx_origin();
    tbl_init(word_table);
    word_mode = MODE_INDEX;
    run_failed = false;
    loading_stops = false;
    extract_reset();
    cur_fn = 0;
    cur_block = 0;
}

void BM_RecordWords(benchmark::State &state) {
    fs::path old = fs::current_path();
    std::string dir = (fs::temp_directory_path() / "olmarest-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) std::abort();
    fs::current_path(dir);
    load_table();
    word_sink = add_word;
    start_index();
    const std::string &t = text();
    for (auto _ : state) {
        // Each 128 KiB is a file of its own; a fresh index before the pool or file numbers run out.
        for (size_t ofs = 0; ofs < t.size(); ofs += READ_SIZE) {
            cur_block = static_cast<int>((ofs / READ_SIZE) % 4);
            if (cur_block == 0 && ofs > 0) {
                extract_end_file();
                cur_fn++;
            }
            extract_plain(t.data() + ofs, static_cast<int>(std::min<size_t>(READ_SIZE, t.size() - ofs)));
        }
        extract_end_file();
        cur_fn++;
        if (idx_pool.end > (48u << 20) || cur_fn > MAX_FILES - 64 || run_failed) {
            state.PauseTiming();
            close_idx_file();
            start_index();
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
    if (run_failed) state.SkipWithError(idx_reason());
    close_idx_file();
    fs::current_path(old);
    fs::remove_all(dir);
}
BENCHMARK(BM_RecordWords)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
