// The index engine's public face: the index file "idx.dat" and its two memory pools, the index
// lifecycle (create, watch, cancel, load) with its indexing thread, word recording through the
// word callback, and query evaluation with the result listing.
//
// Threading contract. There is one index per process and one indexing thread per run. While
// status_idx() answers 1 the UI thread may only call status_idx() and cancel_idx() and read the
// progress values marked "UI may read" (here and in idx/read.h); everything else (pools, word
// table, file table, tokenizer state) belongs to the indexing thread until status_idx() has seen
// it end. Values read across threads are relaxed atomics: no locks, no torn values.
#ifndef OLMAREST_IDX_INDEX_H
#define OLMAREST_IDX_INDEX_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "idx/exthashtbl.h"

// ---- Index file and memory pools ----

constexpr uint32_t BUCKET_SIZE = 32;                 // bytes of a Bucket, the only size recycled
constexpr uint32_t IDX_POOL_LIMIT = 64u << 20;       // bytes mapped while an index is built
constexpr uint32_t HEAP_POOL_LIMIT = 8u << 20;       // bytes of the heap pool
constexpr int IDX_PATH_SIZE = 260;                   // bytes kept for the indexed path
constexpr int MAX_FILES = 65536;                     // file numbers are stored in 16 bits

// Header at offset 0 of idx.dat. Addresses are 32-bit values: `base` plus an offset.
struct IdxHeader {
    uint32_t base;              // origin of every address in the file
    uint32_t D;                 // directory entries of the word table; 0 until a run ends
    uint32_t depth;             // global depth, D = 2^depth
    uint32_t dir;               // address of the current directory
    char path[IDX_PATH_SIZE];   // indexed directory, NUL-padded
    uint32_t fingerprint;       // hash of the file table when the run ended; 0 = not recorded
};
static_assert(sizeof(IdxHeader) == 280);
static_assert(offsetof(IdxHeader, path) == 16 && offsetof(IdxHeader, fingerprint) == 276);

struct Pool {
    uint8_t *base;      // start of the pool's memory, null while it has none
    uint32_t end;       // bump offset: bytes up to the end of the last block handed out
    uint32_t used;      // live bytes
    uint32_t limit;     // capacity in bytes
    uint32_t free_list;  // address of the most recently released bucket of idx_pool
    uint32_t free_count; // buckets on the free list (an address may be 0, so the count ends it)
};
extern Pool heap_pool; // file table strings, stop-list buffer, loaded directory copy
extern Pool idx_pool;  // the mapping of idx.dat

// A block of size bytes from idx_pool (in_idx) or heap_pool, or null when it does not fit.
// 32-byte blocks of idx_pool are 32-aligned and recycled through the free list.
void *mem_alloc(uint32_t size, bool in_idx);
// Gives back a block: the last one of its pool (the pool shrinks) or a bucket of idx_pool.
void mem_free(void *p, uint32_t size);
void reset_pools(); // both pools empty; base and limit stay

void *ofs_to_ptr(uint32_t ofs);    // Requires: ofs < idx_pool.end
uint32_t ptr_to_ofs(const void *p); // Requires: p inside the used part of idx_pool
uint32_t idx_origin();              // the 32-bit origin of addresses in the current mapping
void *addr_to_ptr(uint32_t addr);   // a stored address of the current mapping as a pointer
uint32_t ptr_to_addr(const void *p);

int map_idx_write();     // creates "idx.dat" in the current directory and maps 64 MiB; 0 or -1
void *map_idx_read();    // maps the existing "idx.dat" read-only; its start, or null
void close_idx_file();   // unmaps, cuts the file to idx_pool.end, closes
// Device and inode of the open idx.dat; false when none is open.
bool idx_file_id(uint64_t *dev, uint64_t *ino);

// ---- Lifecycle ----

// Starts a run over path (shorter than 260 bytes; kept alive by the caller while status_idx() is 1).
// Returns -1 when refused (reason in idx_reason()), else the bytes in use after set-up.
int create_idx(const char *path);
int status_idx();  // 1 active, 2 last run succeeded, 3 failed, cancelled or none
int cancel_idx();  // 0 when a stop was requested, -1 when no run is active
// Loads idx.dat from the current directory and rebuilds the file table: 0, or -1 with a reason.
int read_idx();

// Why the last create_idx, run or read_idx failed ("" when it did not). UI may read after the run.
const char *idx_reason();
// Ends the current run as failed: recording stops and the read driver leaves at its next pass.
// The header is not finished, so the file never loads as an index. Indexing thread only.
void fail_run(const char *reason);
extern bool run_failed;

extern std::atomic<uint64_t> unique_words;   // UI may read: entries created in this run
extern std::atomic<uint64_t> total_words;    // UI may read: words of 4+ letters seen in indexing mode
extern std::atomic<uint64_t> text_processed; // UI may read: bytes of their stems
extern std::atomic<bool> cancel_requested;   // set by cancel_idx, polled once per read pass

extern WordTable word_table;

// ---- Word recording ----

constexpr int MODE_INDEX = 0, MODE_QUERY = 1, MODE_LOCATE = 2;
extern int word_mode;      // what add_word does with a word
extern bool loading_stops; // new entries get the stop flag while stopwords.txt is read

// The word callback of every tokenizer. word: 32-byte buffer, upper case, len letters (0 to 31);
// stemmed in place and NUL-terminated. Returns 0, or -1 to stop the tokenizer (query, locate).
int add_word(char *word, int len);
uint32_t word_key(const char *stem, int len);
void add_posting(Word *w); // Requires: w not a stop word

// Word payload fields.
inline bool is_stop(const Word &w) { return w.post & 1; }
inline uint32_t last_ofs(const Word &w) { return w.post & ~1u; }
inline uint32_t nbuckets(const Word &w) { return w.bkts & 0xFF; }
inline uint32_t first_bkt(const Word &w) { return w.bkts >> 8; }

// Posting fields.
inline uint32_t post_count(uint32_t p) { return p & 63; }
inline uint32_t post_slot(uint32_t p) { return (p >> 6) & 3; }
inline uint32_t post_block(uint32_t p) { return (p >> 8) & 0xFF; }
inline uint32_t post_fn(uint32_t p) { return p >> 16; }

struct Bucket {
    uint32_t post[7]; // postings, filled in order
    uint32_t next;    // offset of the next bucket of the chain
};
static_assert(sizeof(Bucket) == BUCKET_SIZE);

// ---- Queries ----

// Evaluates up to three words of text (NUL-terminated) and ranks the matching files.
int query_idx(const char *text);
// Delivers the next file: its path, its frequency (negative when a count reached 63) and, when
// text is not null, its first-occurrence excerpts. 0, or -1 at the end of the list.
int next_result(char **path, int *freq, char **text);
// The full path of a file into the path buffer, or "" when it does not fit.
char *get_file_path(unsigned file_num);
// Reads block `block` of the file and runs the extractor over it in locate mode.
int locate_in_block(unsigned file_num, unsigned block, char **data, int *n);

#endif
