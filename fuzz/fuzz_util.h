// Helpers shared by the fuzz targets: a scratch directory that lives as long as the process, a
// small fixed tree to index and search, and the program directory for trigram_freqs.dat.
// Single-threaded, like the targets.
#ifndef OLMAREST_FUZZ_FUZZ_UTIL_H
#define OLMAREST_FUZZ_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A fresh scratch directory for this process, made at the first call and removed at exit.
const std::string &fuzz_scratch();

// Writes data to path, creating parent directories. Aborts when it cannot: a target without its
// tree would test nothing.
void fuzz_write(const std::string &path, const std::string &data);

// The whole file's bytes ("" when it cannot be read).
std::string read_file_bytes(const std::string &path);

// Builds the fixed tree under dir (text, markup, an MPEG file with a tag, a file of several
// 32 KiB blocks, a ZIP, a subdirectory, an empty file) with fixed modification times, so two
// builds of it enumerate and fingerprint alike.
void fuzz_make_tree(const std::string &dir);

// Words the tree holds, for queries and dictionaries.
extern const char *const FUZZ_TREE_WORDS[];
extern const int FUZZ_TREE_NWORDS;

// Runs create_idx over dir with idx.dat in the current directory and waits for the end; returns
// status_idx(). stopwords: contents of stopwords.txt to put beside it, or null for none.
int fuzz_index(const std::string &dir, const char *stopwords);

// Runs fn with the current directory switched to dir and back again afterwards.
template <class F> void fuzz_in_dir(const std::string &dir, F fn);

// A ZIP archive of the members (name, data), every one stored, with its central directory: the
// zipdoc seeds, and XML from the input wrapped so that expat sees it unchanged.
std::string fuzz_stored_zip(const std::vector<std::pair<std::string, std::string>> &members);

// Loads the trigram table beside the program (on) or none (off), only when that changes.
void fuzz_trigrams(bool on);

// Small deterministic generator for choices drawn from the input (piece lengths and such).
struct FuzzRand {
    uint64_t s;
    uint32_t next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 33);
    }
};

// ---- implementation of the template ----
int fuzz_chdir(const char *dir); // 0 or -1
std::string fuzz_cwd();

template <class F> void fuzz_in_dir(const std::string &dir, F fn) {
    std::string old = fuzz_cwd();
    if (fuzz_chdir(dir.c_str()) != 0) __builtin_trap();
    fn();
    if (fuzz_chdir(old.c_str()) != 0) __builtin_trap();
}

#endif
