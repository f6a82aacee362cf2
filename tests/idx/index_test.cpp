#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "idx/run.h"
#include "idx/text/stemmer.h"
#include "os/os.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// Text of ordinary words, long enough to be taken for text.
const char TEXT[] = "plain words about gardens and rivers\n";

void put_u32(std::string &bytes, size_t ofs, uint32_t v) {
    for (int i = 0; i < 4; i++)
        bytes[ofs + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// Length of the stem add_word records word under.
uint32_t stem_len(const char *word) {
    char buf[MAX_WORD + 1] = {};
    int len = static_cast<int>(strlen(word));
    memcpy(buf, word, static_cast<size_t>(len));
    return static_cast<uint32_t>(stem_word(buf, len));
}

void write_bytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace

// ---- Pools ----

using PoolTest = MappedIndex;

TEST_F(PoolTest, FreedOlderBucketIsReusedAndFreedLastBucketShrinksPool) {
    uint32_t start = idx_pool.end; // 796: header, directory and first node
    auto *a = static_cast<uint8_t *>(mem_alloc(BUCKET_SIZE, true));
    auto *b = static_cast<uint8_t *>(mem_alloc(BUCKET_SIZE, true));
    auto *c = static_cast<uint8_t *>(mem_alloc(BUCKET_SIZE, true));
    EXPECT_EQ(ptr_to_ofs(a), 800u);
    EXPECT_EQ(b, a + 32);
    EXPECT_EQ(c, b + 32);
    uint32_t end = idx_pool.end, used = idx_pool.used;

    mem_free(c, BUCKET_SIZE); // the last block: the pool shrinks
    EXPECT_EQ(idx_pool.end, end - 32);
    mem_free(a, BUCKET_SIZE); // an older one: onto the free list, last in first out
    mem_free(b, BUCKET_SIZE); // now the last block again: shrink
    EXPECT_EQ(idx_pool.end, end - 64);
    EXPECT_EQ(idx_pool.used, used - 96);
    EXPECT_EQ(mem_alloc(BUCKET_SIZE, true), a);
    EXPECT_EQ(mem_alloc(BUCKET_SIZE, true), a + 32); // free list empty: bump again
    EXPECT_GE(start, 796u);

    // Two older buckets come back in reverse order of release.
    auto *d = static_cast<uint8_t *>(mem_alloc(BUCKET_SIZE, true));
    auto *e = static_cast<uint8_t *>(mem_alloc(BUCKET_SIZE, true));
    (void)e;
    mem_free(a, BUCKET_SIZE);
    mem_free(d, BUCKET_SIZE);
    EXPECT_EQ(mem_alloc(BUCKET_SIZE, true), d);
    EXPECT_EQ(mem_alloc(BUCKET_SIZE, true), a);
}

TEST_F(PoolTest, BlockThatWouldPassLimitIsRefused) {
    // Leave 100 bytes below the limit.
    uint32_t room = idx_pool.limit - idx_pool.end;
    ASSERT_NE(mem_alloc(room - 100, true), nullptr);
    ASSERT_EQ(idx_pool.limit - idx_pool.end, 100u);
    EXPECT_EQ(mem_alloc(101, true), nullptr);
    EXPECT_EQ(idx_pool.limit - idx_pool.end, 100u);
    EXPECT_NE(mem_alloc(100, true), nullptr); // an exact fit is fine
    EXPECT_EQ(idx_pool.end, idx_pool.limit);
    EXPECT_EQ(mem_alloc(1, true), nullptr);

    // heap_pool: 8 MiB, nothing more.
    EXPECT_EQ(mem_alloc(HEAP_POOL_LIMIT + 1, false), nullptr);
    void *all = mem_alloc(HEAP_POOL_LIMIT, false);
    EXPECT_NE(all, nullptr);
    EXPECT_EQ(mem_alloc(4, false), nullptr);
    mem_free(all, HEAP_POOL_LIMIT);
    EXPECT_EQ(heap_pool.end, 0u);
}

TEST_F(PoolTest, BucketPastLimitAfterAlignmentIsRefused) {
    // 20 bytes left, unaligned: aligning takes them all, so no bucket fits although end < limit.
    ASSERT_NE(mem_alloc(idx_pool.limit - idx_pool.end - 20, true), nullptr);
    ASSERT_LT(idx_pool.end, idx_pool.limit);
    EXPECT_EQ(mem_alloc(BUCKET_SIZE, true), nullptr);
}

TEST_F(PoolTest, HeapBucketSizedBlocksAreNotAligned) {
    auto *a = static_cast<uint8_t *>(mem_alloc(4, false));
    auto *b = static_cast<uint8_t *>(mem_alloc(BUCKET_SIZE, false));
    EXPECT_EQ(b, a + 4);
}

using PoolDeathTest = MappedIndex;

TEST_F(PoolDeathTest, OffsetAtFileSizeFailsItsAssertion) {
    write("tree/a.txt", TEXT);
    close_idx_file();
    ASSERT_EQ(index_tree(tree()), 2);
    ASSERT_EQ(read_idx(), 0);
    uint32_t size = static_cast<uint32_t>(fs::file_size("idx.dat"));
    ASSERT_EQ(idx_pool.end, size);
    EXPECT_EQ(ofs_to_ptr(size - 1), idx_pool.base + size - 1);
    EXPECT_DEATH(
        ofs_to_ptr(size),
        "Assertion failed: ofs < idx_pool.end && \"invalid offset in index mapping\", file idx/index, line");
}

TEST_F(PoolDeathTest, FreeingMisplacedBlocksFailsItsAssertion) {
    void *first = mem_alloc(16, false);
    mem_alloc(16, false);
    EXPECT_DEATH(mem_free(first, 16), "mem_free: not at end of pool, nor bucket in index mapping");
    static char outside[64];
    EXPECT_DEATH(mem_free(outside, 32), "invalid pointer to mem_free \\(not in either pool\\)");
}

// ---- The index file ----

// A TempTree for whole runs, with the plausibility filter off so that any word counts.
class RunTree : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        load_trigrams("/nonexistent");
    }
};

using IdxFile = RunTree;

TEST_F(IdxFile, RunWithoutWordsLeavesHeaderDirectoryAndFirstNode) {
    write("tree/short.txt", "a b c d e f g h i j k l m n o p\n"); // only words below 4 letters
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    std::string f = read_file("idx.dat");
    ASSERT_EQ(f.size(), 796u);
    uint32_t base = u32_at(f, 0);
    EXPECT_EQ(u32_at(f, 4), 1u);          // D
    EXPECT_EQ(u32_at(f, 8), 0u);          // depth
    EXPECT_EQ(u32_at(f, 12), base + 280); // dir
    EXPECT_EQ(f.substr(16, tree().size()), tree());
    // The path NUL-padded to 276 (the fingerprint after it may begin with a zero byte too).
    EXPECT_EQ(f.substr(16 + tree().size(), 276 - 16 - tree().size()), std::string(276 - 16 - tree().size(), '\0'));
    EXPECT_NE(u32_at(f, 276), 0u);                                  // fingerprint
    EXPECT_EQ(u32_at(f, 280), base + 284);                          // the one directory entry
    EXPECT_EQ(u32_at(f, 284 + 504), 0u);                            // node count
    EXPECT_EQ(u32_at(f, 284 + 508), 0u);                            // node depth
}

TEST_F(IdxFile, FirstBucketLandsAt800) {
    write("tree/one.txt", "gardens gardens gardens\n");
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    EXPECT_EQ(unique_words.load(), 1u);
    EXPECT_EQ(total_words.load(), 3u);
    std::string f = read_file("idx.dat");
    ASSERT_EQ(f.size(), 832u);
    EXPECT_EQ(u32_at(f, 284 + 504), 1u);
    EXPECT_EQ(u32_at(f, 284), key_of("GARDENS"));
    EXPECT_EQ(u32_at(f, 288), 800u << 1);            // last posting at 800 in bits 1-31, bit 0 clear: no stop word
    EXPECT_EQ(u32_at(f, 292), (800u / 32) << 8 | 1); // first bucket 25, one bucket
    uint32_t p = u32_at(f, 800);
    EXPECT_EQ(post_fn(p), 0u);
    EXPECT_EQ(post_block(p), 0u);
    EXPECT_EQ(post_count(p), 3u);
}

// ---- Lifecycle ----

using Lifecycle = RunTree;

TEST_F(Lifecycle, StatusBeforeAnyRunIsFailedAndCancelRefused) {
    EXPECT_EQ(status_idx(), 3);
    EXPECT_EQ(cancel_idx(), -1);
}

TEST_F(Lifecycle, TreeOfEmptyDirectoriesFailsAndIsNotLoadable) {
    mkdir("tree/a/b");
    mkdir("tree/c");
    ASSERT_EQ(index_tree(tree()), 3);
    EXPECT_STRNE(idx_reason(), "");
    EXPECT_EQ(num_files.load(), 0);
    EXPECT_EQ(total_bytes.load(), 0u);
    EXPECT_EQ(read_idx(), -1);
    EXPECT_STRNE(idx_reason(), "");
    EXPECT_EQ(num_files.load(), 0);
}

TEST_F(Lifecycle, SecondRunRestartsCountersAndReplacesFile) {
    write("tree/a.txt", "gardens rivers mountains valleys\n");
    write("other/b.txt", "castles\n castles castles castles\n");
    ASSERT_EQ(index_tree(tree()), 2);
    EXPECT_EQ(unique_words.load(), 4u);
    EXPECT_EQ(total_words.load(), 4u);
    uintmax_t first_size = fs::file_size("idx.dat");
    ASSERT_EQ(read_idx(), 0); // a loaded index is replaced too

    static std::string other;
    other = path("other");
    ASSERT_EQ(index_tree(other), 2);
    EXPECT_EQ(unique_words.load(), 1u);
    EXPECT_EQ(total_words.load(), 4u);
    EXPECT_EQ(text_processed.load(), 4u * stem_len("CASTLES"));
    std::string f = read_file("idx.dat");
    EXPECT_NE(f.size(), first_size);
    EXPECT_EQ(f.size(), 832u); // one word, one bucket: nothing of the first run is left
    EXPECT_EQ(f.substr(16, other.size() + 1), other + '\0');
    ASSERT_EQ(read_idx(), 0);
    EXPECT_EQ(num_files.load(), 1);
    EXPECT_STREQ(file_table[0].file_name, "b.txt");
}

TEST_F(Lifecycle, PathOf260BytesIsRefusedBeforeAnythingIsTouched) {
    write("tree/a.txt", TEXT);
    ASSERT_EQ(index_tree(tree()), 2);
    ASSERT_EQ(read_idx(), 0);
    std::string before = read_file("idx.dat");

    // Directories whose absolute paths are exactly 259 and 260 bytes long.
    std::string p259 = root() + "/" + std::string(259 - root().size() - 1, 'd');
    std::string p260 = root() + "/" + std::string(260 - root().size() - 1, 'e');
    ASSERT_EQ(p259.size(), 259u);
    fs::create_directory(p260);
    std::ofstream(p260 + "/x.txt") << TEXT;
    EXPECT_EQ(create_idx(p260.c_str()), -1);
    EXPECT_NE(std::string(idx_reason()).find("too long"), std::string::npos) << idx_reason();
    EXPECT_EQ(status_idx(), 2);              // the earlier run's outcome stands
    EXPECT_EQ(read_file("idx.dat"), before); // and so does its file
    EXPECT_EQ(num_files.load(), 1);          // still loaded

    fs::create_directory(p259);
    std::ofstream(p259 + "/y.txt") << TEXT;
    EXPECT_EQ(index_tree(p259), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0);
    EXPECT_STREQ(file_table[0].file_name, "y.txt");
}

TEST_F(Lifecycle, RunElsewhereRefusesTheRunAndTouchesNothing) {
    write("tree/a.txt", TEXT);
    ASSERT_EQ(index_tree(tree()), 2);
    ASSERT_EQ(read_idx(), 0);
    std::string before = read_file("idx.dat");
    int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0); // as another program's run does
    static std::string dir; // create_idx keeps the string, were it to start a run
    dir = tree();
    EXPECT_EQ(create_idx(dir.c_str()), -1);
    EXPECT_STREQ(idx_reason(), "idx.dat is in use by another program");
    EXPECT_EQ(status_idx(), 2); // the earlier run's outcome stands
    EXPECT_EQ(num_files.load(), 1); // and its index stays loaded
    EXPECT_TRUE(read_file("idx.dat") == before);
    close(fd);
    EXPECT_EQ(index_tree(tree()), 2) << idx_reason();
}

TEST_F(Lifecycle, IndexFileHeldElsewhereIsReplacedUnderItsHolder) {
    write("tree/a.txt", TEXT);
    ASSERT_EQ(index_tree(tree()), 2);
    std::string before = read_file("idx.dat");
    int fd = open("idx.dat", O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0); // as another program that has it loaded
    write("tree/b.txt", TEXT);
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    // The holder's file is whole and unchanged; idx.dat is a new file.
    std::string held(before.size(), '\0');
    EXPECT_EQ(pread(fd, held.data(), held.size(), 0), static_cast<ssize_t>(held.size()));
    EXPECT_TRUE(held == before);
    EXPECT_TRUE(read_file("idx.dat") != before);
    close(fd);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(num_files.load(), 2);
}

TEST_F(Lifecycle, CancelEndsRunAsFailedWithLoadableIndex) {
    // Enough files that the run is still going when the cancel arrives.
    for (int i = 0; i < 400; i++)
        write("tree/d" + std::to_string(i % 20) + "/f" + std::to_string(i) + ".txt", TEXT);
    static std::string dir;
    dir = tree();
    ASSERT_NE(create_idx(dir.c_str()), -1);
    int c = cancel_idx();
    int st;
    while ((st = status_idx()) == 1)
        os_sleep_ms(1);
    if (c != 0) GTEST_SKIP() << "the run ended before the cancel";
    EXPECT_EQ(st, 3);
    EXPECT_EQ(cancel_idx(), -1);
    // Cancelled runs still finish the file: it holds what was read so far and loads.
    EXPECT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(num_files.load(), 400);
}

// ---- Loading damaged files ----

class Load : public RunTree {
  protected:
    void SetUp() override {
        RunTree::SetUp();
        // Enough distinct words for a few splits, so the file has a real directory and nodes.
        std::string text;
        for (int i = 0; i < 300; i++) {
            std::string w = "word";
            for (int k = i; k > 0; k /= 26)
                w += static_cast<char>('a' + k % 26);
            text += w + "s gardens ";
        }
        write("tree/a.txt", text + "\n");
        write("tree/sub/b.txt", "rivers and gardens\n");
        ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
        good = read_file("idx.dat");
    }
    // Loads bytes as idx.dat beside its catalogue: the load succeeds, and a query of a word of the
    // tree finds it damaged and lists nothing.
    void expect_query_damaged(const std::string &bytes) {
        write_bytes("idx.dat", bytes);
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        query_idx("gardens");
        char *p;
        int freq;
        EXPECT_EQ(next_result(&p, &freq, nullptr), -1);
        ASSERT_EQ(query_words().size(), 1u);
        EXPECT_EQ(query_words()[0].state, QueryWordState::damaged);
    }
    // Loads bytes as idx.dat: read_idx must refuse with a reason and hold nothing.
    void expect_refused(const std::string &bytes) {
        write_bytes("idx.dat", bytes);
        EXPECT_EQ(read_idx(), -1);
        EXPECT_STRNE(idx_reason(), "");
        EXPECT_EQ(num_files.load(), 0);
        EXPECT_EQ(idx_pool.base, nullptr);
    }
    std::string good;
};

TEST_F(Load, WholeIndexLoads) {
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_STREQ(idx_reason(), "");
    EXPECT_EQ(num_files.load(), 2);
    EXPECT_NE(tbl_find(word_table, key_of("GARDENS")), nullptr);
    EXPECT_GT(word_table.D, 1);
}

// A load that walks the tree checks the whole file; a catalogued one (DamagedNodeIsNamedByTheQuery)
// leaves the nodes to the queries.
TEST_F(Load, DamagedFilesAreRefused) {
    fs::remove("idx.files");
    uint32_t base = u32_at(good, 0), dir = u32_at(good, 12) - base, D = u32_at(good, 4);
    ASSERT_GT(D, 1u);
    struct Case {
        const char *what;
        std::string bytes;
    };
    std::vector<Case> cases;
    auto with = [&](size_t ofs, uint32_t v) {
        std::string b = good;
        put_u32(b, ofs, v);
        return b;
    };
    cases.push_back({"empty", ""});
    cases.push_back({"shorter than the header", good.substr(0, 100)});
    cases.push_back({"header only", good.substr(0, 280)});
    cases.push_back({"cut in half", good.substr(0, good.size() / 2)});
    cases.push_back({"cut before the directory's end", good.substr(0, dir + 4 * D - 1)});
    cases.push_back({"D = 0", with(4, 0)});
    cases.push_back({"D not 2^depth", with(4, D + 1)});
    cases.push_back({"depth 32", with(8, 32)});
    cases.push_back({"depth and D huge", with(4, 0x80000000u)});
    cases.push_back({"dir before the file", with(12, base - 4096)});
    cases.push_back({"dir past the end", with(12, base + static_cast<uint32_t>(good.size()))});
    cases.push_back({"directory entry wild", with(dir + 4, 0xDEADBEEFu)});
    cases.push_back({"directory entry in the header", with(dir, base + 16)});
    cases.push_back({"node straddles the end", with(dir, base + static_cast<uint32_t>(good.size()) - 256)});
    {
        std::string b = good;
        uint32_t node = u32_at(good, dir) - base;
        put_u32(b, node + 504, 42);
        cases.push_back({"node count 42", b});
        put_u32(b, node + 504, 0xFFFFFFFFu);
        cases.push_back({"node count huge", b});
    }
    std::mt19937 rng(1);
    for (int r = 0; r < 8; r++) {
        std::string b(static_cast<size_t>(rng() % 5000), '\0');
        for (char &c : b)
            c = static_cast<char>(rng());
        cases.push_back({"random bytes", b});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        expect_refused(c.bytes);
    }
    // And the good file still loads afterwards.
    write_bytes("idx.dat", good);
    EXPECT_EQ(read_idx(), 0) << idx_reason();
}

// A load with its catalogue leaves the chains to the queries, which name a damaged one and list
// nothing from it; a load that walks the tree checks them all beside the walk and refuses a damaged
// file, whether the walk found the tree or not, and whichever thread made the check.
TEST_F(Load, DamagedChainIsNamedByTheQueryOrTheWalkingLoad) {
    uint32_t base = u32_at(good, 0), dir = u32_at(good, 12) - base, D = u32_at(good, 4);
    std::string b = good;
    int damaged = 0;
    for (uint32_t e = 0; e < D; e++) {
        uint32_t node = u32_at(good, dir + 4 * e) - base;
        for (uint32_t slot = 0; slot < u32_at(good, node + 504); slot++) {
            size_t w = node + 12 * slot;
            uint32_t bkts = u32_at(good, w + 8);
            if ((u32_at(good, w + 4) & 1) || (bkts & 0xFF) == 0) continue; // stop word, or no chain
            put_u32(b, w + 8, 0xFFFFFF00u | (bkts & 0xFF)); // first bucket far past the end
            damaged++;
        }
    }
    ASSERT_GT(damaged, 0);
    expect_query_damaged(b);
    fs::remove("idx.files");
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        engine_threads = threads;
        expect_refused(b);
        EXPECT_STREQ(idx_reason(), "idx.dat is damaged");
        fs::rename(path("tree"), path("moved"));
        expect_refused(b);
        EXPECT_STREQ(idx_reason(), "idx.dat is damaged");
        fs::rename(path("moved"), path("tree"));
    }
    engine_threads = 0;
    write_bytes("idx.dat", good);
    EXPECT_EQ(read_idx(), 0) << idx_reason();
}

TEST_F(Load, DamagedNodeIsNamedByTheQuery) {
    uint32_t base = u32_at(good, 0), dir = u32_at(good, 12) - base, D = u32_at(good, 4);
    std::string b = good;
    for (uint32_t e = 0; e < D; e++) put_u32(b, u32_at(good, dir + 4 * e) - base + 504, 42);
    expect_query_damaged(b);
}

TEST_F(Load, ReasonNamesTheDamage) {
    write_bytes("idx.dat", "");
    EXPECT_EQ(read_idx(), -1);
    EXPECT_STREQ(idx_reason(), "idx.dat is empty or cannot be read");
    fs::remove("idx.dat");
    EXPECT_EQ(read_idx(), -1);
    EXPECT_STREQ(idx_reason(), "no index file (idx.dat) in this folder");
    std::string b = good;
    put_u32(b, 4, 0);
    write_bytes("idx.dat", b);
    EXPECT_EQ(read_idx(), -1);
    EXPECT_STREQ(idx_reason(), "idx.dat is incomplete: the run that made it never ended");
}

TEST_F(Load, TruncatedAnywhereIsRefused) {
    // Cutting the file short anywhere loses records that the table or the postings need.
    for (size_t cut :
         {good.size() - 1, good.size() - 4, good.size() - 32, size_t{900}, size_t{796}, size_t{500}}) {
        SCOPED_TRACE(cut);
        expect_refused(good.substr(0, cut));
    }
}

// Loads take no lock and heed none: a file another program holds, even locked, loads, and so
// does an index directory that a run has locked.
TEST_F(Load, HeldOrLockedFileStillLoads) {
    int fd = open("idx.dat", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(read_idx(), 0) << idx_reason();
    close(fd);
    int dir = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(dir, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(read_idx(), 0) << idx_reason();
    close(dir);
}

// With its catalogue an index loads whatever became of the tree, and each listed file says whether
// it is as the run saw it; a directory whose files were added or removed shows in
// changed_directories. Without the catalogue a load walks the tree and refuses a changed one.
TEST_F(Load, ChangedTreeIsJudgedPerFileOrRefusedByAWalkingLoad) {
    const char *changed = "the indexed folder has changed since the index was made";
    struct Change {
        const char *what;
        void (*apply)(const fs::path &tree);
        ResultState b_state; // of sub/b.txt, found by "rivers"
        int dirs_changed;
    };
    const Change changes[] = {
        {"file added", [](const fs::path &t) { std::ofstream(t / "sub/c.txt") << "new\n"; }, ResultState::fresh, 1},
        {"file removed", [](const fs::path &t) { fs::remove(t / "sub/b.txt"); }, ResultState::gone, 1},
        {"file renamed", [](const fs::path &t) { fs::rename(t / "sub/b.txt", t / "sub/z.txt"); }, ResultState::gone, 1},
        {"file resized",
         [](const fs::path &t) { std::ofstream(t / "sub/b.txt") << "rivers and gardens and more\n"; },
         ResultState::changed, 0},
        {"directory renamed", [](const fs::path &t) { fs::rename(t / "sub", t / "sub2"); }, ResultState::gone, 2},
    };
    ASSERT_EQ(read_idx(), 0);
    EXPECT_EQ(changed_directories(), 0);
    std::string catalogue = read_file("idx.files");
    for (const Change &c : changes) {
        SCOPED_TRACE(c.what);
        std::string b = read_file(path("tree/sub/b.txt"));
        auto b_time = fs::last_write_time(path("tree/sub/b.txt"));
        auto sub_time = fs::last_write_time(path("tree/sub"));
        auto tree_time = fs::last_write_time(tree());
        c.apply(tree());
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        EXPECT_EQ(changed_directories(), c.dirs_changed);
        query_idx("rivers");
        char *p;
        int freq;
        ASSERT_EQ(next_result(&p, &freq, nullptr), 0);
        EXPECT_EQ(result_state(), c.b_state);
        fs::remove("idx.files");
        EXPECT_EQ(read_idx(), -1);
        EXPECT_STREQ(idx_reason(), changed);
        EXPECT_EQ(num_files.load(), 0);
        write_bytes("idx.files", catalogue);
        // Put the tree back as it was: the index loads again, every file as the run saw it.
        remove("tree/sub");
        remove("tree/sub2");
        write("tree/sub/b.txt", b);
        fs::last_write_time(path("tree/sub/b.txt"), b_time); // the time is part of what was indexed
        fs::last_write_time(path("tree/sub"), sub_time);
        fs::last_write_time(tree(), tree_time);
        EXPECT_EQ(read_idx(), 0) << idx_reason();
        EXPECT_EQ(changed_directories(), 0);
    }
}

// ---- Word recording ----

using Recording = MappedIndex;

namespace {

const Word *find(const char *word) {
    return tbl_find(word_table, key_of(word));
}

uint32_t posting(const Word &w) {
    return *static_cast<uint32_t *>(ofs_to_ptr(last_ofs(w)));
}

} // namespace

TEST_F(Recording, SevenFilesPerBucketThenALinkedBucket) {
    for (int fn = 0; fn < 8; fn++) {
        cur_fn = fn;
        cur_block = fn;
        feed_word("GARDEN");
    }
    const Word *w = find("GARDEN");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(nbuckets(*w), 2u);
    EXPECT_EQ(first_bkt(*w), 800u / 32);
    const auto *b0 = static_cast<const Bucket *>(ofs_to_ptr(800));
    for (uint32_t k = 0; k < 7; k++) {
        EXPECT_EQ(post_fn(b0->post[k]), k);
        EXPECT_EQ(post_block(b0->post[k]), k);
        EXPECT_EQ(post_count(b0->post[k]), 1u);
    }
    EXPECT_EQ(b0->next, 832u); // the link at offset 28
    EXPECT_EQ(last_ofs(*w), 832u);
    EXPECT_EQ(post_fn(posting(*w)), 7u);
    EXPECT_FALSE(is_stop(*w));
}

TEST_F(Recording, CountStopsAt63AndFirstBlockStays) {
    cur_block = 300; // stored modulo 256
    for (int i = 0; i < 100; i++) {
        feed_word("RIVERS");
        cur_block = 301 + i;
    }
    const Word *w = find("RIVERS");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(post_count(posting(*w)), 63u);
    EXPECT_EQ(post_block(posting(*w)), 300u % 256);
    EXPECT_EQ(nbuckets(*w), 1u);
    EXPECT_EQ(total_words.load(), 100u);
    EXPECT_EQ(unique_words.load(), 1u);
}

TEST_F(Recording, ShortWordsAreIgnoredAndFourLettersCount) {
    uint32_t end = idx_pool.end;
    feed_word("THE");
    feed_word("");
    EXPECT_EQ(total_words.load(), 0u);
    EXPECT_EQ(unique_words.load(), 0u);
    EXPECT_EQ(idx_pool.end, end);
    feed_word("LAKE");
    EXPECT_EQ(total_words.load(), 1u);
    EXPECT_EQ(unique_words.load(), 1u);
    EXPECT_NE(find("LAKE"), nullptr);
}

TEST_F(Recording, StopWordsAreCountedButNotRecorded) {
    loading_stops = true;
    feed_word("ABOUT");
    loading_stops = false;
    EXPECT_EQ(unique_words.load(), 1u);
    EXPECT_EQ(total_words.load(), 1u);
    uint32_t end = idx_pool.end;
    uint64_t text = text_processed.load();
    for (int fn = 0; fn < 10; fn++) {
        cur_fn = fn;
        feed_word("ABOUT");
    }
    EXPECT_EQ(idx_pool.end, end);
    EXPECT_EQ(total_words.load(), 11u);
    EXPECT_GT(text_processed.load(), text);
    const Word *w = find("ABOUT");
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(is_stop(*w));
    EXPECT_EQ(nbuckets(*w), 0u);
}

// A chain grows to 255 buckets, all that the count's 8 bits hold: 1,785 files.
TEST_F(Recording, FileAfterTheFirst1785DropsTheWord) {
    for (int fn = 0; fn < 1785; fn++) {
        cur_fn = fn;
        feed_word("VALLEY");
    }
    const Word *w = find("VALLEY");
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(nbuckets(*w), 255u);
    EXPECT_FALSE(is_stop(*w));
    uint32_t end = idx_pool.end, used = idx_pool.used;
    ASSERT_EQ(end, 800u + 255 * 32);
    // The 1,785th posting is the last slot of the 255th bucket; the payload holds it shifted by one.
    uint32_t last = 800 + 254 * 32 + 6 * 4;
    EXPECT_EQ(w->post, last << 1);
    EXPECT_EQ(post_fn(posting(*w)), 1784u);
    // More occurrences in the 1,785th file only count.
    feed_word("VALLEY");
    EXPECT_FALSE(is_stop(*find("VALLEY")));
    EXPECT_EQ(post_count(posting(*find("VALLEY"))), 2u);

    cur_fn = 1785;
    feed_word("VALLEY");
    w = find("VALLEY");
    EXPECT_TRUE(is_stop(*w));
    EXPECT_EQ(w->post, last << 1 | 1); // dropped: the stop flag joins the value it had
    // The last bucket shrank the pool, the other 254 wait on the free list.
    EXPECT_EQ(idx_pool.end, end - 32);
    EXPECT_EQ(idx_pool.used, used - 255 * 32);
    EXPECT_EQ(idx_pool.free_count, 254u);
    EXPECT_EQ(total_words.load(), 1787u);

    // Still counted, never recorded again.
    cur_fn = 1786;
    feed_word("VALLEY");
    EXPECT_EQ(total_words.load(), 1788u);
    EXPECT_EQ(idx_pool.free_count, 254u);

    // Another word reuses the most recently freed bucket: the chain's 254th.
    feed_word("CANYON");
    const Word *c = find("CANYON");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(first_bkt(*c) * 32, 800u + 253 * 32);
    EXPECT_EQ(post_fn(posting(*c)), 1786u);
    EXPECT_EQ(post_count(posting(*c)), 1u);
}

TEST_F(Recording, FullIndexEndsTheRunWithItsReason) {
    // Leave room for a few buckets only.
    ASSERT_NE(mem_alloc(idx_pool.limit - idx_pool.end - 4 * 32 - 20, true), nullptr);
    const char *words[] = {"ALPHA", "BRAVO", "CHARLIE", "DELTA", "ECHOES", "FOXTROT", "GOLFING"};
    for (const char *wd : words)
        feed_word(wd);
    EXPECT_TRUE(run_failed);
    EXPECT_STREQ(idx_reason(), "index file full (64 MiB)");
    EXPECT_LE(idx_pool.end, idx_pool.limit);
    // Recording has stopped: nothing more is counted.
    uint64_t total = total_words.load();
    feed_word("HOTELS");
    EXPECT_EQ(total_words.load(), total);
    EXPECT_EQ(find("HOTELS"), nullptr);
}

TEST_F(Recording, FullIndexDuringSplitEndsTheRun) {
    // Room for 41 words' buckets but not for the node that the 42nd word's split needs.
    ASSERT_NE(mem_alloc(idx_pool.limit - idx_pool.end - 41 * 32 - 100, true), nullptr);
    // Some of these words share a stem: go on until the 42nd distinct one has failed.
    for (int i = 0; i < 200 && !run_failed; i++) {
        char w[8] = "WORDAA";
        w[4] = static_cast<char>('A' + i / 26);
        w[5] = static_cast<char>('A' + i % 26);
        feed_word(w);
    }
    EXPECT_EQ(unique_words.load(), 42u);
    EXPECT_TRUE(run_failed);
    EXPECT_STREQ(idx_reason(), "index file full (64 MiB)");
}

using RecordingDeathTest = MappedIndex;

TEST_F(RecordingDeathTest, FileNumberGoingBackFailsItsAssertion) {
    cur_fn = 5;
    feed_word("GARDEN");
    cur_fn = 4;
    EXPECT_DEATH(feed_word("GARDEN"), "\"cur_fn >= o->fn\", file idx/index, line");
}

// ---- A whole run, checked chain by chain ----

namespace {

struct Expected {
    uint32_t fn, count, block;
    bool operator==(const Expected &o) const { return fn == o.fn && count == o.count && block == o.block; }
};

// The postings of a word as stored, read by walking its chain in the loaded file.
std::vector<Expected> chain_of(const Word &w) {
    std::vector<Expected> got;
    uint32_t ofs = first_bkt(w) * BUCKET_SIZE;
    for (uint32_t b = 0; b < nbuckets(w); b++) {
        const auto *bucket = static_cast<const Bucket *>(ofs_to_ptr(ofs));
        for (uint32_t k = 0; k < 7; k++) {
            uint32_t p = bucket->post[k];
            got.push_back({post_fn(p), post_count(p), post_block(p)});
            if (ofs + 4 * k == last_ofs(w)) return got;
        }
        ofs = bucket->next;
    }
    ADD_FAILURE() << "chain never reaches its last posting";
    return got;
}

uint32_t upper_key(std::string word) {
    for (char &c : word) c = static_cast<char>(toupper(c));
    return key_of(word.c_str());
}

} // namespace

TEST_F(RunTree, EveryChainOfASmallTreeIsWhatItsFilesHold) {
    std::map<std::string, std::vector<Expected>> want; // word -> postings in file order
    // big.txt is file 0: "rudder" fills block 0, "sailor" first comes in block 1.
    std::string big;
    while (big.size() < 32767) big += "rudder ";
    big.resize(32767);
    big += "\nsailor harbour the cat sat\n";
    write("tree/big.txt", big);
    want["rudder"] = {{0, 63, 0}};
    want["sailor"] = {{0, 1, 1}};
    want["harbour"] = {{0, 1, 1}};
    // Files 1 to 12: "beacon" in twelve files (two buckets), "anchor" in every other one,
    // "compass" 70 times in one, and the stop word "keeper" in all.
    for (uint32_t i = 0; i < 12; i++) {
        std::string text = "keeper ";
        for (uint32_t k = 0; k <= i; k++) text += "beacon ";
        want["beacon"].push_back({i + 1, i + 1, 0});
        if (i % 2 == 0) {
            text += "anchor\n";
            want["anchor"].push_back({i + 1, 1, 0});
        }
        if (i == 3) {
            for (int k = 0; k < 70; k++) text += "compass ";
            want["compass"].push_back({i + 1, 63, 0});
        }
        char name[32];
        snprintf(name, sizeof name, "tree/f%02u.txt", i);
        write(name, text + "\n");
    }
    write("stopwords.txt", "keeper\n");
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    ASSERT_EQ(num_files.load(), 13);
    for (auto &[word, postings] : want) {
        SCOPED_TRACE(word);
        const Word *w = tbl_find(word_table, upper_key(word));
        ASSERT_NE(w, nullptr);
        EXPECT_FALSE(is_stop(*w));
        EXPECT_EQ(nbuckets(*w), (postings.size() + 6) / 7);
        EXPECT_EQ(chain_of(*w), postings);
    }
    const Word *stop = tbl_find(word_table, upper_key("keeper"));
    ASSERT_NE(stop, nullptr);
    EXPECT_TRUE(is_stop(*stop));
    EXPECT_EQ(nbuckets(*stop), 0u);
    EXPECT_EQ(tbl_find(word_table, upper_key("cat")), nullptr);
    EXPECT_EQ(tbl_find(word_table, upper_key("lantern")), nullptr);
    // Every word of 4 letters or more counts, stop words and the stop list's own entry too.
    EXPECT_EQ(total_words.load(), 4681u + 2 + 1 + 12 + 78 + 6 + 70);
    EXPECT_EQ(unique_words.load(), 7u);
}
