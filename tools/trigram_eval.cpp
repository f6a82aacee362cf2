// trigram_eval: measures the trigram plausibility filter with the engine's own tokenizer.
//
//   trigram_eval [-t table] [-s stopwords] [-r bytes] [-v] {-p|-b|-w} file... [{-p|-b|-w} file...]
//
// -p: the files that follow are prose (Latin-1); -b: binary data. @list reads file names from list,
// one a line. Every file is fed to extract_plain in 32 KiB pieces, as the read pipeline delivers
// it, and ended with extract_end_file. Each file is tokenized twice: without the filter, which
// gives the runs of 4 or more letters, and with the table, which gives the words handed on.
// Prints, per group, the share of runs handed on (prose) or rejected (binary); -v also lists the
// prose words the filter rejects and the binary runs it accepts. -s checks that every word of a stop list passes the filter.
// -w: word lists (UTF-8 or Latin-1), one file each: the share of its distinct words of 4 or more
// letters that pass alone, each in a call of its own (so with no context bonus: score above 15).
// -r: that many random bytes (always the same): the share of their runs of 4+ letters rejected alone.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "idx/text/extract.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"

namespace {

std::vector<std::string> *sink_words = nullptr;

int record(char *word, int len) {
    sink_words->emplace_back(word, len);
    return 0;
}

std::string slurp(const std::string &path, size_t limit = SIZE_MAX) {
    std::ifstream in(path, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (s.size() > limit) s.resize(limit);
    return s;
}

std::vector<std::string> tokenize(const std::string &data, bool pieces) {
    std::vector<std::string> words;
    sink_words = &words;
    extract_reset();
    if (!pieces) {
        extract_plain(data.data(), static_cast<int>(data.size()));
        return words;
    }
    for (size_t ofs = 0; ofs < data.size(); ofs += READ_SIZE) {
        size_t n = std::min<size_t>(READ_SIZE, data.size() - ofs);
        extract_plain(data.data() + ofs, static_cast<int>(n));
    }
    extract_end_file();
    return words;
}

struct Group {
    const char *name;
    bool prose;
    std::vector<std::string> files;
};

// Words of `all` missing from `kept`; kept is a subsequence of all.
std::vector<std::string> rejected(const std::vector<std::string> &all, const std::vector<std::string> &kept) {
    std::vector<std::string> out;
    size_t k = 0;
    for (const auto &w : all) {
        if (k < kept.size() && kept[k] == w)
            k++;
        else
            out.push_back(w);
    }
    return out;
}

std::string latin1_to_utf8(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Share of a word list's distinct words of 4+ letters that the filter accepts, each on its own.
// The list is read as the engine reads a file: UTF-8 first, Latin-1 otherwise.
void eval_list(const std::string &path, const std::string &table, bool verbose) {
    std::string data = slurp(path);
    load_trigrams(nullptr);
    auto all = tokenize(data, false);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    load_trigrams(table.c_str());
    size_t kept = 0;
    std::vector<std::string> lost;
    for (const auto &w : all) {
        auto passed = tokenize(w + " ", false);
        if (!passed.empty())
            kept++;
        else
            lost.push_back(w);
    }
    printf("word list %s: %zu distinct words of 4+ letters, %zu accepted alone: %.2f%% accepted\n", path.c_str(),
           all.size(), kept, all.empty() ? 0.0 : 100.0 * static_cast<double>(kept) / static_cast<double>(all.size()));
    if (verbose)
        for (auto &w : lost) printf("  rejected %s\n", latin1_to_utf8(w).c_str());
}

// Share of the runs of 4+ letters in `bytes` random bytes (a fixed seed) that the filter rejects,
// each run judged on its own, as a word that opens a piece of text is.
void eval_random(size_t bytes, const std::string &table, bool verbose) {
    std::string data(bytes, '\0');
    uint64_t x = 0x9E3779B97F4A7C15u;
    for (auto &c : data) {
        x ^= x << 13; // xorshift64
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x >> 56);
    }
    load_trigrams(nullptr);
    auto runs = tokenize(data, true);
    load_trigrams(table.c_str());
    size_t rejected_runs = 0;
    for (const auto &w : runs) {
        auto passed = tokenize(w + " ", false);
        if (passed.empty())
            rejected_runs++;
        else if (verbose)
            printf("  accepted %s\n", latin1_to_utf8(w).c_str());
    }
    printf("random bytes: %zu bytes, %zu runs of 4+ letters, %zu rejected alone: %.2f%% rejected\n", bytes,
           runs.size(), rejected_runs,
           runs.empty() ? 0.0 : 100.0 * static_cast<double>(rejected_runs) / static_cast<double>(runs.size()));
}

void add_files(std::vector<std::string> &to, const char *arg) {
    if (arg[0] != '@') {
        to.emplace_back(arg);
        return;
    }
    std::ifstream in(arg + 1);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) to.push_back(line);
}

} // namespace

int main(int argc, char **argv) {
    // By default the table the engine would use: the one beside this program.
    char dir[OS_PATH_MAX];
    std::string table = os_program_dir(dir, sizeof dir) ? std::string(dir) + "/trigram_freqs.dat" : "", stops;
    bool verbose = false;
    Group prose{"prose", true, {}}, binary{"binary", false, {}};
    std::vector<std::string> lists;
    size_t random_bytes = 0;
    Group *cur = nullptr;
    bool list_args = false;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-t") && i + 1 < argc) {
            table = argv[++i];
        } else if (!strcmp(argv[i], "-s") && i + 1 < argc) {
            stops = argv[++i];
        } else if (!strcmp(argv[i], "-r") && i + 1 < argc) {
            random_bytes = strtoul(argv[++i], nullptr, 10);
        } else if (!strcmp(argv[i], "-v")) {
            verbose = true;
        } else if (!strcmp(argv[i], "-p")) {
            cur = &prose;
            list_args = false;
        } else if (!strcmp(argv[i], "-b")) {
            cur = &binary;
            list_args = false;
        } else if (!strcmp(argv[i], "-w")) {
            list_args = true;
        } else if (list_args) {
            lists.emplace_back(argv[i]);
        } else if (cur) {
            add_files(cur->files, argv[i]);
        } else {
            fprintf(stderr, "usage: trigram_eval [-t table] [-s stopwords] [-r bytes] [-v] {-p|-b|-w} file...\n");
            return 2;
        }
    }
    word_sink = record;
    int status = 0;
    for (Group *g : {&prose, &binary}) {
        if (g->files.empty()) continue;
        size_t runs = 0, kept = 0, bytes = 0;
        std::map<std::string, int> lost;
        for (const auto &f : g->files) {
            std::string data = slurp(f);
            bytes += data.size();
            load_trigrams(nullptr);
            auto all = tokenize(data, true);
            if (!load_trigrams(table.c_str())) {
                fprintf(stderr, "trigram_eval: cannot open %s\n", table.c_str());
                return 2;
            }
            auto passed = tokenize(data, true);
            runs += all.size();
            kept += passed.size();
            if (verbose && g->prose)
                for (auto &w : rejected(all, passed)) lost[w]++;
            if (verbose && !g->prose)
                for (auto &w : passed) lost[w]++;
        }
        double share = runs ? 100.0 * (g->prose ? kept : runs - kept) / runs : 0;
        printf("%s: %zu files, %zu bytes, %zu runs of 4+ letters, %zu handed on: %.2f%% %s\n", g->name,
               g->files.size(), bytes, runs, kept, share, g->prose ? "accepted" : "rejected");
        for (auto &[w, n] : lost)
            printf("  %s %dx %s\n", g->prose ? "rejected" : "accepted", n, latin1_to_utf8(w).c_str());
    }
    for (const auto &l : lists) {
        if (!load_trigrams(table.c_str())) {
            fprintf(stderr, "trigram_eval: cannot open %s\n", table.c_str());
            return 2;
        }
        eval_list(l, table, verbose);
    }
    if (random_bytes) {
        if (!load_trigrams(table.c_str())) {
            fprintf(stderr, "trigram_eval: cannot open %s\n", table.c_str());
            return 2;
        }
        eval_random(random_bytes, table, verbose);
    }
    if (!stops.empty()) {
        // The stop list is read like the engine reads it: its first 32 KiB, one call, no end of file.
        std::string data = slurp(stops, 32768);
        load_trigrams(nullptr);
        auto all = tokenize(data, false);
        load_trigrams(table.c_str());
        auto passed = tokenize(data, false);
        auto bad = rejected(all, passed);
        printf("stop words: %zu of 4+ letters, %zu rejected by the filter\n", all.size(), bad.size());
        for (auto &w : bad) printf("  rejected %s\n", latin1_to_utf8(w).c_str());
        if (!bad.empty()) status = 1;
    }
    return status;
}
