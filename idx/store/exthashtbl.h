// The word table: an extendible hash table from word keys to 12-byte Word entries, with its
// directory and 512-byte nodes inside the index mapping. Used by the indexing thread during a
// run and, read-only after read_idx, by the UI thread.
#ifndef OLMAREST_IDX_STORE_EXTHASHTBL_H
#define OLMAREST_IDX_STORE_EXTHASHTBL_H

#include <cstddef>
#include <cstdint>

struct Word {
    uint32_t key;  // the word's key, its only identity here
    uint32_t post; // stop flag and offset of the last posting (see idx/index.h)
    uint32_t bkts; // bucket count and first bucket (see idx/index.h)
};
static_assert(sizeof(Word) == 12);

constexpr int NODE_SLOTS = 42;

struct STnode {
    Word words[NODE_SLOTS]; // slots 0..count-1 in use, ascending by key
    uint32_t count;         // slots in use, 0 to 41 between operations
    uint32_t depth;         // local depth: leading key bits shared by the entries
};
static_assert(sizeof(STnode) == 512 && offsetof(STnode, count) == 504);

struct WordTable {
    int32_t D;     // directory entries, 2^depth
    int32_t depth; // global depth
    uint32_t *dir; // D node addresses (32-bit addresses of the index mapping)
};

// An empty table: depth 0, one directory entry, one empty node. -1 when idx_pool is full.
int tbl_init(WordTable &t);
// The entry with that key, or null.
Word *tbl_find(const WordTable &t, uint32_t key);
// Copies w in (its key must not be in the table); the new entry, valid until the next insertion,
// or null when idx_pool is full (the table stays searchable; the run must end).
Word *tbl_insert(WordTable &t, const Word &w);
// Moves dir and every entry by diff and copies the directory to heap_pool; -1 when it is full.
int tbl_relocate(WordTable &t, int32_t diff);
// The node that holds (or would hold) key.
const STnode *tbl_node_of(const WordTable &t, uint32_t key);
// The node a directory entry designates.
STnode *tbl_node(uint32_t addr);

#endif
