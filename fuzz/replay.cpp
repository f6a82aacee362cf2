// Runs a fuzz target's entry point over files and directories of inputs named on the command line,
// so that builds without libFuzzer (GCC) keep every seed and every crash found as a test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static void run(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char **argv) {
    int count = 0;
    for (int i = 1; i < argc; i++) {
        fs::path arg = argv[i];
        if (!fs::is_directory(arg)) {
            run(arg);
            count++;
            continue;
        }
        std::vector<fs::path> files;
        for (const auto &e : fs::directory_iterator(arg))
            if (e.is_regular_file()) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const fs::path &f : files) {
            run(f);
            count++;
        }
    }
    std::printf("%d inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
