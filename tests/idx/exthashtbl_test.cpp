#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <unordered_set>
#include <vector>

#include "idx/store/exthashtbl.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"
#include "tests/test_util.h"

namespace {

using WordTableTest = MappedIndex;

uint32_t top(uint32_t key, int n) {
    return n == 0 ? 0 : key >> (32 - n);
}

// Checks every structural rule of the table and returns the number of entries it holds: each node
// is referenced by exactly 2^(depth-d) consecutive, aligned directory entries, all sharing its
// d-bit prefix, which every key in it carries; local depths never pass the global one; counts stay
// below 42; keys ascend. Reports through gtest and returns -1 at the first broken rule.
long check_table(const WordTable &t) {
    if (t.depth < 0 || t.depth > 31 || t.D != (1 << t.depth)) {
        ADD_FAILURE() << "D " << t.D << " depth " << t.depth;
        return -1;
    }
    std::set<uint32_t> seen;
    long entries = 0;
    uint32_t D = static_cast<uint32_t>(t.D);
    for (uint32_t i = 0; i < D;) {
        uint32_t addr = t.dir[i];
        const STnode *n = tbl_node(addr);
        if (n->depth > static_cast<uint32_t>(t.depth) || n->count > 41) {
            ADD_FAILURE() << "entry " << i << ": node depth " << n->depth << " count " << n->count;
            return -1;
        }
        uint32_t run = 1u << (t.depth - static_cast<int>(n->depth));
        if (i % run != 0 || !seen.insert(addr).second) {
            ADD_FAILURE() << "entry " << i << ": node run misaligned or node referenced twice";
            return -1;
        }
        for (uint32_t k = i; k < i + run; k++)
            if (t.dir[k] != addr) {
                ADD_FAILURE() << "entry " << k << ": expected " << run << " entries for the node at " << i;
                return -1;
            }
        uint32_t prefix = i / run;
        for (uint32_t s = 0; s < n->count; s++) {
            uint32_t key = n->words[s].key;
            if (top(key, static_cast<int>(n->depth)) != prefix || (s > 0 && n->words[s - 1].key >= key)) {
                ADD_FAILURE() << "entry " << i << " slot " << s << ": key " << key << " misplaced";
                return -1;
            }
        }
        entries += n->count;
        i += run;
    }
    return entries;
}

// A payload that names its key, so that a neighbour's entry cannot pass for the inserted one. The
// stop bit is set: these entries have no posting chains for a loader to check.
Word entry(uint32_t key) {
    return Word{key, (key ^ 0x5A5A5A5Au) | 1u, ~key};
}

std::vector<uint32_t> distinct_keys(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::unordered_set<uint32_t> set;
    std::vector<uint32_t> keys;
    keys.reserve(n);
    while (keys.size() < n) {
        uint32_t k = rng();
        if (set.insert(k).second) keys.push_back(k);
    }
    return keys;
}

Word *insert_new(uint32_t key) {
    EXPECT_EQ(tbl_find(word_table, key), nullptr) << key;
    return tbl_insert(word_table, entry(key));
}

} // namespace

TEST_F(WordTableTest, FirstSplitMovesTopBitOneKeysToNewNodeAfterExistingRecords) {
    // A bucket allocated before the split: the new node and directory must follow it.
    ASSERT_EQ(ptr_to_ofs(mem_alloc(BUCKET_SIZE, true)), 800u);
    std::vector<uint32_t> keys = distinct_keys(42, 7);
    for (size_t i = 0; i < 41; i++)
        ASSERT_NE(insert_new(keys[i]), nullptr);
    EXPECT_EQ(word_table.D, 1);
    EXPECT_EQ(word_table.depth, 0);
    EXPECT_EQ(ptr_to_ofs(word_table.dir), 280u);
    EXPECT_EQ(tbl_node(word_table.dir[0])->count, 41u);

    ASSERT_NE(insert_new(keys[41]), nullptr);
    EXPECT_EQ(word_table.D, 2);
    EXPECT_EQ(word_table.depth, 1);
    EXPECT_EQ(ptr_to_ofs(word_table.dir), 832u + 512u);
    EXPECT_EQ(idx_pool.end, 832u + 512u + 8u);
    EXPECT_EQ(ptr_to_ofs(tbl_node(word_table.dir[0])), 284u);
    EXPECT_EQ(ptr_to_ofs(tbl_node(word_table.dir[1])), 832u);
    // The one-entry directory stays where it was, still naming the first node, unreferenced.
    EXPECT_EQ(*static_cast<uint32_t *>(ofs_to_ptr(280)), word_table.dir[0]);

    size_t ones =
        static_cast<size_t>(std::count_if(keys.begin(), keys.end(), [](uint32_t k) { return k >> 31; }));
    const STnode *n0 = tbl_node(word_table.dir[0]), *n1 = tbl_node(word_table.dir[1]);
    EXPECT_EQ(n0->count, 42 - ones);
    EXPECT_EQ(n1->count, ones);
    EXPECT_EQ(n0->depth, 1u);
    EXPECT_EQ(n1->depth, 1u);
    EXPECT_EQ(check_table(word_table), 42);
    for (uint32_t k : keys)
        EXPECT_NE(tbl_find(word_table, k), nullptr) << k;
}

TEST_F(WordTableTest, SplitAtGlobalDepthDoublesAndBelowItDoesNot) {
    // Keys with chosen top bits: prefix p (2 bits) in the top, a counter below.
    auto key = [](uint32_t p, uint32_t i) { return (p << 30) | (i * 7919u + 1); };
    // 21 keys under 00 and 21 under 10: the first split gives two nodes of depth 1.
    for (uint32_t i = 0; i < 21; i++)
        ASSERT_NE(insert_new(key(0, i)), nullptr);
    for (uint32_t i = 0; i < 21; i++)
        ASSERT_NE(insert_new(key(2, i)), nullptr);
    ASSERT_EQ(word_table.D, 2);

    // Filling the top-bit-0 node (local depth 1 = global depth) doubles the directory.
    for (uint32_t i = 0; i < 21; i++)
        ASSERT_NE(insert_new(key(1, i)), nullptr);
    ASSERT_EQ(word_table.D, 4);
    EXPECT_EQ(word_table.depth, 2);
    EXPECT_NE(word_table.dir[0], word_table.dir[1]);
    EXPECT_EQ(word_table.dir[2], word_table.dir[3]);
    EXPECT_EQ(tbl_node(word_table.dir[2])->depth, 1u);

    // Filling the top-bit-1 node (local depth 1 < global depth 2) splits it without doubling.
    const uint32_t *dir_before = word_table.dir;
    for (uint32_t i = 0; i < 21; i++)
        ASSERT_NE(insert_new(key(3, i)), nullptr);
    EXPECT_EQ(word_table.D, 4);
    EXPECT_EQ(word_table.dir, dir_before);
    EXPECT_NE(word_table.dir[2], word_table.dir[3]);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(tbl_node(word_table.dir[i])->depth, 2u) << i;
    EXPECT_EQ(check_table(word_table), 84);
}

TEST_F(WordTableTest, InsertThatSplitsReturnsTheInsertedEntry) {
    // The 42nd key at every place: smallest, largest, middle, either side of the split bit.
    const uint32_t lasts[] = {0x00000001u, 0xFFFFFFFEu, 0x7FFFFFFFu, 0x80000000u, 0x40000000u, 0xC0000001u};
    for (uint32_t last : lasts) {
        SCOPED_TRACE(last);
        word_table = WordTable{};
        ASSERT_EQ(tbl_init(word_table), 0);
        std::vector<uint32_t> keys = distinct_keys(60, last);
        keys.erase(std::remove(keys.begin(), keys.end(), last), keys.end());
        keys.resize(41);
        for (uint32_t k : keys)
            ASSERT_NE(insert_new(k), nullptr);
        Word *w = insert_new(last);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(word_table.D, 2);
        EXPECT_EQ(w->key, last);
        EXPECT_EQ(w->post, entry(last).post);
        EXPECT_EQ(w->bkts, entry(last).bkts);
        EXPECT_EQ(w, tbl_find(word_table, last));
    }
}

TEST_F(WordTableTest, InvariantsHoldAfterEverySplit) {
    std::vector<uint32_t> keys = distinct_keys(20000, 11);
    int splits = 0;
    for (size_t i = 0; i < keys.size(); i++) {
        uint32_t end = idx_pool.end;
        Word *w = insert_new(keys[i]);
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(w->key, keys[i]);
        if (idx_pool.end != end) { // a node (and perhaps a directory) was allocated: a split
            splits++;
            ASSERT_EQ(check_table(word_table), static_cast<long>(i + 1)) << "after key " << i;
        }
    }
    EXPECT_GT(splits, 20000 / 41);
    for (uint32_t k : keys)
        ASSERT_NE(tbl_find(word_table, k), nullptr) << k;
}

TEST_F(WordTableTest, MillionRandomKeysAllFound) {
    std::vector<uint32_t> keys = distinct_keys(1000000, 2024);
    for (size_t i = 0; i < keys.size(); i++) {
        Word *w = insert_new(keys[i]);
        ASSERT_NE(w, nullptr) << i;
        ASSERT_EQ(w->key, keys[i]);
        if ((i + 1) % 125000 == 0) {
            ASSERT_EQ(check_table(word_table), static_cast<long>(i + 1));
        }
    }
    for (uint32_t k : keys) {
        const Word *w = tbl_find(word_table, k);
        ASSERT_NE(w, nullptr) << k;
        ASSERT_EQ(w->post, entry(k).post);
    }
    // Keys never inserted are not found.
    std::unordered_set<uint32_t> in(keys.begin(), keys.end());
    std::mt19937 rng(99);
    for (int i = 0; i < 100000; i++) {
        uint32_t k = rng();
        if (!in.count(k)) {
            ASSERT_EQ(tbl_find(word_table, k), nullptr) << k;
        }
    }
}

TEST_F(WordTableTest, ReloadedTableAnswersSameLookupsAtAnotherAddress) {
    write("tree/a.txt", "some text here");
    std::vector<uint32_t> keys = distinct_keys(300000, 5);
    for (uint32_t k : keys)
        ASSERT_NE(insert_new(k), nullptr);
    // Finish the file as the indexing thread does; no fingerprint, so the tree is not compared.
    std::string dir = tree();
    memcpy(header->path, dir.c_str(), dir.size());
    header->D = static_cast<uint32_t>(word_table.D);
    header->depth = static_cast<uint32_t>(word_table.depth);
    header->dir = ptr_to_addr(word_table.dir);
    const uint8_t *old_base = idx_pool.base;
    finish_run_file(true);
    // Occupy the old address range so that the file is mapped somewhere else.
    void *blocker = os_reserve(IDX_POOL_LIMIT);
    ASSERT_NE(blocker, nullptr);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_NE(idx_pool.base, old_base);
    for (uint32_t k : keys) {
        const Word *w = tbl_find(word_table, k);
        ASSERT_NE(w, nullptr) << k;
        ASSERT_EQ(w->bkts, entry(k).bkts);
    }
    EXPECT_EQ(check_table(word_table), 300000);
    os_release(blocker, IDX_POOL_LIMIT);
}

TEST_F(WordTableTest, DegenerateSplitsKeepDirectoryExact) {
    // Clusters of 42 keys sharing their top 12 to 18 bits force splits that repeat on the
    // following bits; some land in a table that already has depth, some at depth 0.
    for (bool populated : {false, true}) {
        SCOPED_TRACE(populated);
        word_table = WordTable{};
        ASSERT_EQ(tbl_init(word_table), 0);
        std::vector<uint32_t> keys;
        if (populated) keys = distinct_keys(3000, 3);
        for (uint32_t k : keys)
            ASSERT_NE(insert_new(k), nullptr);
        for (int shared : {12, 15, 18}) {
            SCOPED_TRACE(shared);
            uint32_t prefix = 0x9E3779B9u >> (32 - shared) << (32 - shared);
            // 42 keys that differ only in the 6 bits below the shared prefix.
            for (uint32_t i = 0; i < 42; i++) {
                uint32_t k = prefix | (i << (32 - shared - 6)) | 5u;
                if (std::find(keys.begin(), keys.end(), k) != keys.end()) continue;
                Word *w = insert_new(k);
                ASSERT_NE(w, nullptr);
                ASSERT_EQ(w->key, k);
                keys.push_back(k);
                ASSERT_EQ(check_table(word_table), static_cast<long>(keys.size()));
            }
        }
        for (uint32_t k : keys)
            EXPECT_NE(tbl_find(word_table, k), nullptr) << k;
    }
}

TEST_F(WordTableTest, KeysDifferingOnlyInLowBitsFailWithoutDamage) {
    // Keys 0 to 41 share 26 leading bits: a directory that tells them apart would need 2^27
    // entries, more than the index mapping holds. The insertion reports a full pool (null) and
    // the keys inserted before stay findable.
    for (uint32_t k = 0; k < 41; k++)
        ASSERT_NE(insert_new(k), nullptr);
    EXPECT_EQ(tbl_insert(word_table, entry(41)), nullptr);
    for (uint32_t k = 0; k < 41; k++)
        EXPECT_NE(tbl_find(word_table, k), nullptr) << k;
}
