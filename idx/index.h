// The engine's inside, shared by its units and by tests: the layout of the index file "idx.dat"
// (its mapping and the two memory pools are in idx/store/pool.h), word recording through the word
// callback (record.cpp), the load's checks (load.cpp) and query evaluation (query.cpp). The
// lifecycle and queries a front end calls are declared in idx/engine.h.
//
// Threading contract, beyond idx/engine.h's: in a run of two threads the word table, idx_pool and
// the three word counters belong to its recording thread, which the indexing thread feeds and
// joins before it ends. Values read across threads are relaxed atomics: no locks, no torn values.
#ifndef OLMAREST_IDX_INDEX_H
#define OLMAREST_IDX_INDEX_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "idx/engine.h"
#include "idx/store/exthashtbl.h"
#include "idx/store/pool.h"
#include "idx/run.h"

struct OsThread;

// ---- Index file ----

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

// ---- Lifecycle and load ----

// Empties the loaded index: unmaps idx.dat, clears the word and file tables.
void unload_index();
// Recording thread of a run of two threads: started before the reads (null when the run keeps to
// one thread), finished after them; finish_recording fails the run when the index file filled up.
OsThread *start_recording();
void finish_recording(OsThread *t);
// Why the index file cannot take another record: full at 64 MiB, or no room on the disk.
std::string full_reason();

extern std::atomic<int> full_fn;             // the file whose words first did not fit; -1 while all did
extern std::atomic<uint64_t> unique_words;   // UI may read: entries created in this run
extern std::atomic<uint64_t> total_words;    // UI may read: words of 4+ letters seen in indexing mode
extern std::atomic<uint64_t> text_processed; // UI may read: bytes of their stems

extern WordTable word_table;

// Reads the catalogue beside idx.dat into the file table and finds its volume: 1 when loaded,
// 0 when there is none or it cannot be used (the note says why; the caller walks the tree), -1
// when the names do not fit memory (the reason in *why).
int load_catalogue(const struct CatalogueTie &tie, std::string *why);
// Unmaps the loaded catalogue; the file table must be empty or gone by then.
void release_catalogue();
// The volume of a table that a load walked from path: present where it was.
void walked_volume(const char *path);
// What the last run or load says of the catalogue (load_note); "" clears it.
void set_load_note(const char *text);
// Whether the loaded index's volume is absent: its files are listed, never read.
bool volume_absent();
// Whether listed files are checked against their stored size and time (a folder's).
bool results_checked();

// ---- Word recording ----

// What the tokenizers' words are for: indexing (add_word), a query or locating an excerpt (the
// query's own sinks, which it puts in word_sink while it runs and then takes out again).
constexpr int MODE_INDEX = 0, MODE_QUERY = 1, MODE_LOCATE = 2;
extern int word_mode;
extern bool loading_stops; // new entries get the stop flag while stopwords.txt is read

// The indexing word callback, the default word_sink of idx/text/extract. word: 32-byte buffer,
// upper case, len letters (0 to 31); stemmed in place and NUL-terminated. Returns 0.
int add_word(char *word, int len);
uint32_t word_key(const char *stem, int len);
// Word recording back to the start of a run: indexing mode, no stop-list loading, the run not
// failed, the counters, cur_fn and cur_block zero, no word pending in the tokenizers. create_idx
// calls it; so do tests that drive add_word directly.
void reset_recording();
void add_posting(Word *w); // Requires: w not a stop word

// Word payload fields.
inline bool is_stop(const Word &w) { return w.post & 1; }
inline uint32_t last_ofs(const Word &w) { return w.post >> 1; }
// The payload with last_ofs replaced; the stop flag (bit 0) stays.
inline void set_last_ofs(Word &w, uint32_t ofs) { w.post = (ofs << 1) | (w.post & 1); }
inline uint32_t nbuckets(const Word &w) { return w.bkts & 0xFF; }
inline uint32_t first_bkt(const Word &w) { return w.bkts >> 8; }

// Posting fields.
inline uint32_t post_count(uint32_t p) { return p & 63; }
inline uint32_t post_slot(uint32_t p) { return (p >> 6) & 3; }
inline uint32_t post_block(uint32_t p) { return (p >> 8) & 0xFF; }
inline uint32_t post_fn(uint32_t p) { return p >> 16; }

constexpr uint32_t BUCKET_POSTS = 7; // postings per bucket
// Buckets a chain may hold, all that the 8-bit count of a word's buckets can say: a word found in
// more files (255 * 7 = 1,785) becomes a stop word instead of taking a 256th bucket.
constexpr uint32_t MAX_CHAIN_BUCKETS = 255;

struct Bucket {
    uint32_t post[BUCKET_POSTS]; // postings, filled in order
    uint32_t next;               // offset of the next bucket of the chain
};
static_assert(sizeof(Bucket) == BUCKET_SIZE);

// Walks the posting chain of w in the index image m of size bytes (offsets count from m) and hands
// every posting up to the word's last one to visit, in chain order, unless visit is null. False
// when the chain is unsound (no bucket or more than MAX_CHAIN_BUCKETS, a bucket misplaced or
// outside the image, the last posting not in the last bucket) or when visit answers false.
using PostingVisit = bool (*)(uint32_t posting, void *ctx);
bool walk_chain(const uint8_t *m, uint32_t size, const Word &w, PostingVisit visit, void *ctx);

// ---- Queries ----

// The full path of a file into the path buffer, or "" when it does not fit.
char *get_file_path(unsigned file_num);
// Reads block `block` of the file and runs the extractor over it in locate mode.
int locate_in_block(unsigned file_num, unsigned block, char **data, int *n);
// Stems word (len letters) in place, NUL after the stem, updates len and returns the stem's key;
// recently seen words are stemmed from memory. Used by recording and by the query's sinks.
uint32_t stem_and_key(char *word, int &len);

#endif
