// Replays inputs through a fuzz target without libFuzzer, so that any compiler's build keeps the
// seed corpora and the crashes found as regression tests. Arguments: files or directories (every
// regular file in them, in name order). Prints how many inputs ran; a fault ends the process.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        fs::path arg = argv[i];
        if (fs::is_directory(arg)) {
            for (const auto &e : fs::directory_iterator(arg))
                if (e.is_regular_file()) inputs.push_back(e.path());
        } else if (fs::is_regular_file(arg)) {
            inputs.push_back(arg);
        } else {
            fprintf(stderr, "%s: no such file or directory\n", argv[i]);
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path &p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        // A copy of exactly the input's size: the sanitizers see a read past its end.
        std::vector<uint8_t> exact(bytes);
        LLVMFuzzerTestOneInput(exact.data(), exact.size());
    }
    printf("%zu inputs replayed\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
