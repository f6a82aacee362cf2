// Shared test helpers: a temporary working directory with a small tree in it, and engine runs.
#ifndef OLMAREST_TESTS_TEST_UTIL_H
#define OLMAREST_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "idx/index.h"

// A fresh temporary directory that becomes the current directory (idx.dat lands there) for the
// life of the fixture; removed with everything in it afterwards.
class TempTree : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes data to root()/rel, creating parent directories.
    void write(const std::string &rel, const std::string &data);
    void mkdir(const std::string &rel);
    void remove(const std::string &rel);
    std::string path(const std::string &rel) const { return root_ + "/" + rel; }
    const std::string &root() const { return root_; }
    // Directory for the tree to index: root()/tree.
    std::string tree() const { return root_ + "/tree"; }

    // Runs create_idx over dir and waits for the end; returns status_idx().
    static int index_tree(const std::string &dir);

  private:
    std::string root_;
    std::string old_cwd_;
};

// A TempTree for runs that probe the engine's edges: no plausibility filter, the working directory
// as the index directory, no per-pass line, and the system-call table restored afterwards.
class EngineTree : public TempTree {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// A TempTree whose tests index files they write and then search them: no plausibility filter (the
// tests pick their own words), and build() indexes and loads.
class BuiltIndex : public TempTree {
  protected:
    void SetUp() override;
    // Writes files (name -> contents) under tree(), indexes them and loads the index.
    void build(const std::map<std::string, std::string> &files);
};

std::string read_file(const std::string &path);
// How many entries of dir carry a run file's name (idx.dat.tmp, idx.dat.tmp.XXXXXX).
int run_files(const std::string &dir);

// Chooses the asynchronous read back end by name ("uring" or "sync") as a fresh process would.
// False when that back end is not available here (io_uring refused by the kernel or sandbox).
bool select_io_backend(const std::string &name);


// An empty index mapped by hand in a TempTree, as create_idx leaves it before its thread starts:
// the header at offset 0, an empty word table, indexing mode, no plausibility filter and no stop
// list. Lets word recording and the word table be driven directly, one word and file at a time.
class MappedIndex : public TempTree {
  protected:
    void SetUp() override;
    void TearDown() override;

    IdxHeader *header = nullptr;
};

// Hands word (upper case, at most 31 letters) to add_word as a tokenizer would; add_word's result.
int feed_word(const char *word);
// The key add_word files word under: its stem's key.
uint32_t key_of(const char *word);
// The little-endian 32-bit value at ofs of a file's bytes.
uint32_t u32_at(const std::string &bytes, size_t ofs);

// data as one gzip member (zlib, the given level).
std::string gzip_bytes(const std::string &data, int level = 6);
// text (UTF-8) as UTF-16, little or big endian, with a byte-order mark or without.
std::string utf16_bytes(const std::string &text, bool little, bool bom);

// A ZIP archive of the members (name, data) in order, deflated but for a "mimetype" member (stored).
std::string zip_bytes(const std::vector<std::pair<std::string, std::string>> &members);
// Documents around their text: an ODF text document (body: what goes inside office:text), a Word
// document (body: inside w:body) and an EPUB whose spine reads the chapters in reverse archive order.
std::string odt_bytes(const std::string &body);
std::string docx_bytes(const std::string &body);
std::string epub_bytes(const std::vector<std::string> &chapters);
// A PDF with one line of text per page (an empty one: a page with a stroke and no text), its
// trailer with trailer_extra added.
std::string pdf_bytes(const std::vector<std::string> &pages, const std::string &trailer_extra = "");

// The engine's process-wide defaults as a freshly started program has them: words go to add_word
// and the trigram table beside the program file is loaded. For in-process runs of a program's
// entry point after a test has changed them.
void program_defaults();

// olmarest-cli's command line run in this process with program_defaults: its exit code and what
// it wrote to standard output and standard error.
struct CliResult {
    int code;
    std::string out, err;
};
CliResult run_cli(const std::vector<std::string> &args);

#endif
