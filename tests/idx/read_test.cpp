#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

using Listing = std::vector<std::pair<std::string, std::string>>; // (dir_name, file_name)

Listing listing() {
    Listing l;
    for (const FileEntry &e : file_table)
        l.emplace_back(e.dir_name, e.file_name);
    return l;
}

const char TEXT[] = "plain words about gardens and rivers\n";

} // namespace

// The file table keeps the caller's path string: t outlives every enumeration of a test.
class Walk : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        t = tree();
    }
    std::string t;
};

TEST_F(Walk, OrderIsBreadthFirstBytewiseWhateverTheCreationOrder) {
    // Names chosen so that a locale-aware, case-folding or signed-char sort would differ.
    const std::vector<std::string> files = {
        "b.txt",      "a.txt",      "B.txt",        "\xC3\xA9t\xC3\xA9.txt",
        "a0/w.txt",   "sub1/x.txt", "sub1/deep/y",  "sub0/z.txt",
        "sub0/Z.txt", "a0/.hidden", "sub1/deep/a b"};
    const Listing expected = {
        {t, "B.txt"},
        {t, "a.txt"},
        {t, "b.txt"},
        {t, "\xC3\xA9t\xC3\xA9.txt"},
        {t + "/a0", ".hidden"},
        {t + "/a0", "w.txt"},
        {t + "/sub0", "Z.txt"},
        {t + "/sub0", "z.txt"},
        {t + "/sub1", "x.txt"},
        {t + "/sub1/deep", "a b"},
        {t + "/sub1/deep", "y"},
    };
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed);
        remove("tree");
        mkdir("tree");
        std::vector<std::string> order = files;
        if (reversed) std::reverse(order.begin(), order.end());
        for (const std::string &f : order)
            write("tree/" + f, f);
        ASSERT_EQ(enum_files(t.c_str()), 0);
        EXPECT_EQ(listing(), expected);
        EXPECT_EQ(num_files.load(), static_cast<int>(expected.size()));
        // The same tree enumerated again numbers its files the same way.
        ASSERT_EQ(enum_files(t.c_str()), 0);
        EXPECT_EQ(listing(), expected);
    }
}

TEST_F(Walk, SizesAndZeroLengthFilesAreRecorded) {
    write("tree/empty", "");
    write("tree/ten", "0123456789");
    write("tree/d/three", "abc");
    ASSERT_EQ(enum_files(t.c_str()), 0);
    ASSERT_EQ(num_files.load(), 3);
    EXPECT_EQ(file_table[0].file_size, 0u);
    EXPECT_EQ(file_table[1].file_size, 10u);
    EXPECT_EQ(file_table[2].file_size, 3u);
    EXPECT_EQ(total_bytes.load(), 13u);
    for (const FileEntry &e : file_table) {
        EXPECT_EQ(e.kind, 1);
        EXPECT_EQ(e.disk_ofs, 0u);
    }
    EXPECT_FALSE(cd_mode);
    EXPECT_FALSE(files_capped);
}

TEST_F(Walk, TreeOfEmptyDirectoriesHasNoFiles) {
    mkdir("tree/a/b/c");
    mkdir("tree/d");
    EXPECT_NE(enum_files(t.c_str()), 0);
    EXPECT_EQ(num_files.load(), 0);
    EXPECT_EQ(total_bytes.load(), 0u);
    t = path("missing");
    EXPECT_NE(enum_files(t.c_str()), 0);
    write("plain-file", "x");
    t = path("plain-file");
    EXPECT_NE(enum_files(t.c_str()), 0); // a file is no directory to walk
}

TEST_F(Walk, TrailingSlashIsKeptInPaths) {
    write("tree/a.txt", "x");
    write("tree/sub/b.txt", "y");
    t += "/";
    ASSERT_EQ(enum_files(t.c_str()), 0);
    ASSERT_EQ(num_files.load(), 2);
    EXPECT_STREQ(file_table[0].dir_name, t.c_str());
    EXPECT_EQ(file_table[0].dir_name, t.c_str()); // the caller's own string, not a copy
    EXPECT_EQ(std::string(file_table[1].dir_name), t + "/sub");
}

TEST_F(Walk, LinksFifosAndLoopsNeitherHangNorCount) {
    write("tree/real.txt", TEXT);
    write("tree/dir/inner.txt", TEXT);
    fs::create_symlink("real.txt", path("tree/link.txt"));     // a link to a file counts
    fs::create_directory_symlink("dir", path("tree/dirlink")); // a link to a directory is not entered
    fs::create_directory_symlink("..", path("tree/dir/up"));   // nor one that leads back up
    fs::create_symlink("loop", path("tree/loop"));             // a link to itself
    fs::create_symlink("nowhere", path("tree/dangling"));      // a link to nothing
    ASSERT_EQ(mkfifo(path("tree/fifo").c_str(), 0644), 0);     // would block a reader
    ASSERT_EQ(mkfifo(path("tree/dir/fifo2").c_str(), 0644), 0);

    ASSERT_EQ(enum_files(t.c_str()), 0);
    const Listing expected = {{t, "link.txt"}, {t, "real.txt"}, {t + "/dir", "inner.txt"}};
    EXPECT_EQ(listing(), expected);
    EXPECT_EQ(file_table[0].file_size, sizeof TEXT - 1); // the target's size

    // A whole run over the same tree ends, and its words come from the three files.
    load_trigrams("/nonexistent");
    EXPECT_EQ(index_tree(tree()), 2) << idx_reason();
    EXPECT_EQ(num_files.load(), 3);
}

TEST_F(Walk, MoreThan65536FilesKeepsTheFirstInOrder) {
    // 65 537 empty files: the last one in walk order is left out and the cap is reported.
    for (int d = 0; d < 2; d++) {
        std::string dir = path("tree/d" + std::to_string(d));
        fs::create_directories(dir);
        for (int i = 0; i < 32768 + d; i++) {
            char name[16];
            snprintf(name, sizeof name, "/f%05d", i);
            std::ofstream(dir + name);
        }
    }
    ASSERT_EQ(enum_files(t.c_str()), 0);
    EXPECT_TRUE(files_capped);
    ASSERT_EQ(num_files.load(), MAX_FILES);
    EXPECT_EQ(std::string(file_table.back().dir_name), tree() + "/d1");
    EXPECT_STREQ(file_table.back().file_name, "f32767"); // f32768 of d1 is the one left out

    // Exactly 65 536 files are all taken, without the cap.
    fs::remove(path("tree/d1/f32768"));
    ASSERT_EQ(enum_files(t.c_str()), 0);
    EXPECT_FALSE(files_capped);
    EXPECT_EQ(num_files.load(), MAX_FILES);
}

TEST_F(Walk, NamesBeyondTheHeapFailTheRunWithItsReason) {
    // 36 000 names of 240 bytes need more than the 8 MiB that hold the file table's strings.
    std::string dir = path("tree/d");
    fs::create_directories(dir);
    std::string stem(234, 'n');
    for (int i = 0; i < 36000; i++) {
        char num[8];
        snprintf(num, sizeof num, "%06d", i);
        std::ofstream(dir + "/" + stem + num);
    }
    EXPECT_EQ(enum_files(t.c_str()), ENUM_NO_MEMORY);
    EXPECT_EQ(num_files.load(), 0);
    EXPECT_TRUE(file_table.empty());
    EXPECT_EQ(index_tree(tree()), 3);
    EXPECT_STREQ(idx_reason(), "too many file names for memory (8 MiB)");
}

TEST_F(Walk, IndexFileInsideTheTreeIsLeftOut) {
    // Indexing the current directory: idx.dat is in the tree, and changes size as it is written.
    write("notes.txt", TEXT);
    std::string here = root();
    EXPECT_EQ(index_tree(here), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    for (const FileEntry &e : file_table) EXPECT_STRNE(e.file_name, "idx.dat");
    EXPECT_EQ(num_files.load(), 1);
}

using Fingerprint = Walk;

TEST_F(Fingerprint, FollowsNamesSizesAndOrderAndIsNeverZero) {
    write("tree/a.txt", "one");
    write("tree/b.txt", "two");
    ASSERT_EQ(enum_files(t.c_str()), 0);
    uint32_t base = table_fingerprint();
    EXPECT_NE(base, 0u);
    ASSERT_EQ(enum_files(t.c_str()), 0);
    EXPECT_EQ(table_fingerprint(), base);

    // Every change a reload must notice changes the value.
    std::set<uint32_t> seen{base};
    std::vector<FileEntry> saved = file_table;
    file_table[1].file_size = 4;
    EXPECT_TRUE(seen.insert(table_fingerprint()).second) << "size";
    file_table = saved;
    file_table[1].file_name = "c.txt";
    EXPECT_TRUE(seen.insert(table_fingerprint()).second) << "name";
    file_table = saved;
    std::swap(file_table[0], file_table[1]);
    EXPECT_TRUE(seen.insert(table_fingerprint()).second) << "order";
    file_table = saved;
    file_table.pop_back();
    EXPECT_TRUE(seen.insert(table_fingerprint()).second) << "count";
    file_table = saved;
    file_table[0].dir_name = "/elsewhere";
    EXPECT_TRUE(seen.insert(table_fingerprint()).second) << "directory";

    // 0 means "not recorded" in the header: no table, however odd, may produce it.
    file_table.clear();
    EXPECT_NE(table_fingerprint(), 0u);
    file_table = saved;
    for (uint32_t size = 0; size < (1u << 20); size++) {
        file_table[0].file_size = size * 2654435761u;
        ASSERT_NE(table_fingerprint(), 0u) << size;
    }
}

TEST_F(Fingerprint, RunStoresItAtOffset276) {
    load_trigrams("/nonexistent");
    write("tree/a.txt", TEXT);
    write("tree/s/b.txt", TEXT);
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    uint32_t stored = u32_at(read_file("idx.dat"), 276);
    ASSERT_EQ(read_idx(), 0);
    EXPECT_NE(stored, 0u);
    EXPECT_EQ(stored, table_fingerprint());
}
