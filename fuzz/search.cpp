// Fuzz target: search words end to end over an index of the fixed tree: the command-line words'
// UTF-8 conversion, the query, both result passes and the first-occurrence excerpts.
// Input: the words, separated by NUL bytes, as they would come in argv.
// Checks: nothing crashes; every row has a path inside the tree and a frequency other than 0;
// every excerpt ends within its buffer; both passes list the same files.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "fuzz/fuzz_util.h"
#include "idx/text/encoding.h"
#include "idx/index.h"

static std::string tree;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string work = fuzz_scratch() + "/search";
    tree = work + "/tree";
    fuzz_make_tree(tree);
    fuzz_in_dir(work, [] {
        fuzz_trigrams(false);
        if (fuzz_index(tree, "the and of a to\n") != 2 || read_idx() != 0) __builtin_trap();
    });
    fuzz_trigrams(true); // queries meet the plausibility test as in the programs
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    std::string text;
    const char *p = reinterpret_cast<const char *>(data);
    int args = 0;
    for (size_t start = 0, i = 0; i <= size; i++) {
        if (i < size && data[i] != 0) continue;
        if (args++) text += ' ';
        text += to_latin1(std::string(p + start, i - start));
        start = i + 1;
    }
    query_idx(text.c_str());
    std::vector<std::string> first;
    char *path, *excerpt;
    int freq;
    while (next_result(&path, &freq, nullptr) == 0) {
        if (!path || freq == 0 || strncmp(path, tree.c_str(), tree.size()) != 0) __builtin_trap();
        first.push_back(path);
    }
    size_t row = 0;
    while (next_result(&path, &freq, &excerpt) == 0) {
        if (row >= first.size() || first[row++] != path || strnlen(excerpt, 256) == 256) __builtin_trap();
    }
    if (row != first.size()) __builtin_trap();
    return 0;
}
