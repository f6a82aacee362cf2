// The index engine's public face: the layout of the index file "idx.dat" (its mapping and the two
// memory pools are in idx/pool.h), the index lifecycle (create, watch, cancel, load) with its
// indexing thread, word recording through the word callback (index.cpp), and query evaluation
// with the result listing (query.cpp).
//
// Threading contract. There is one index per process and one indexing thread per run. While
// status_idx() answers 1 the UI thread may only call status_idx() and cancel_idx() and read the
// progress values marked "UI may read" (here and in idx/read.h); everything else (pools, word
// table, file table, tokenizer state) belongs to the indexing thread until status_idx() has seen
// it end. In a run of two threads the word table, idx_pool and the three word counters belong to
// its recording thread instead, which the indexing thread feeds and joins before it ends. Values
// read across threads are relaxed atomics: no locks, no torn values.
#ifndef OLMAREST_IDX_INDEX_H
#define OLMAREST_IDX_INDEX_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "idx/exthashtbl.h"
#include "idx/pool.h"
#include "idx/read.h"
#include "idx/run.h"

// ---- Index file ----

constexpr int IDX_PATH_SIZE = 260; // bytes kept for the indexed path

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

// ---- Lifecycle ----

// Starts a run over path (shorter than 260 bytes; kept alive by the caller while status_idx() is 1).
// Returns -1 when refused (reason in idx_reason()), else the bytes in use after set-up.
int create_idx(const char *path);
int status_idx();  // 1 active, 2 last run succeeded, 3 failed, cancelled or none
int cancel_idx();  // 0 when a stop was requested, -1 when no run is active
// What a cancelled run left as idx.dat: the index that was there before it, untouched, or, when
// there was none, the index of the files read before the cancel. Set when the indexing thread
// ends (none for a run that was not cancelled); read once status_idx() is no longer 1.
enum class CancelKept { none, previous, partial };
extern CancelKept cancel_kept;
// Loads idx.dat from the current directory and rebuilds the file table: 0, or -1 with a reason.
int read_idx();

// The cancel request, the run's failure and its reason (idx_reason) are in idx/run.h.
extern bool idx_loaded; // read_idx succeeded and nothing has replaced the index since

extern std::atomic<uint64_t> unique_words;   // UI may read: entries created in this run
extern std::atomic<uint64_t> total_words;    // UI may read: words of 4+ letters seen in indexing mode
extern std::atomic<uint64_t> text_processed; // UI may read: bytes of their stems

extern WordTable word_table;

// ---- Word recording ----

constexpr int MODE_INDEX = 0, MODE_QUERY = 1, MODE_LOCATE = 2;
extern int word_mode;      // what add_word does with a word
extern bool loading_stops; // new entries get the stop flag while stopwords.txt is read

// The word callback of every tokenizer (the default word_sink of idx/extract). word: 32-byte
// buffer, upper case, len letters (0 to 31); stemmed in place and NUL-terminated. Returns 0, or -1
// to stop the tokenizer (query, locate).
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
// Buckets a chain may hold: a word found in more files (29 * 7 = 203) is of no use for a search
// and becomes a stop word instead of taking a 30th bucket.
constexpr uint32_t MAX_CHAIN_BUCKETS = 29;

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

// Evaluates up to three words of text (NUL-terminated) and ranks the matching files.
int query_idx(const char *text);
// Delivers the next file: its path, its frequency (negative when a count reached 63) and, when
// text is not null, its first-occurrence excerpts. 0, or -1 at the end of the list. The listing
// is gone through twice, paths first, then excerpts: a call with text not null that follows one
// with text null starts again at the first file. The strings stay valid until the next call.
int next_result(char **path, int *freq, char **text);
// The content kind (KIND_*) of the file of the last next_result, as its first block showed it;
// KIND_UNKNOWN when its data has not been looked at (no excerpt was asked for).
int result_kind();
// The full path of a file into the path buffer, or "" when it does not fit.
char *get_file_path(unsigned file_num);
// Reads block `block` of the file and runs the extractor over it in locate mode.
int locate_in_block(unsigned file_num, unsigned block, char **data, int *n);
// add_word in query mode: gathers the postings of one query word (stem and key given); -1 once
// three words are taken.
int query_word(const char *word, int len, uint32_t key);
// add_word in query mode, for a word of 1 to 3 letters: notes it as too short to be searched.
void query_short_word(const char *word, int len);

// ---- Why each query word found what it found ----

enum class QueryWordState {
    found,       // postings in `files` files
    stop_word,   // on the stop list: never indexed
    too_common,  // was in more than 203 files and dropped: is_stop set with nbuckets not 0
    not_indexed, // no such word in the index
    too_short,   // fewer than 4 letters: never looked up
    beyond_third // after the third word: never looked up
};

struct QueryWordInfo {
    std::string typed;    // the word's bytes as they stand in the query text
    std::string stem;     // what was looked up: folded, stemmed (folded only when too short)
    QueryWordState state;
    int files;            // files listed for it (found)
    bool digit_next;      // a digit stands right before or after it in the query text
    bool foreign_next;    // so does a character that is no letter here (é, ñ, ...)
};

// Every word of the last query_idx, in the order typed; empty before the first query.
const std::vector<QueryWordInfo> &query_words();
// One line for a word, e.g. "memory: in more than 203 files, too common to be indexed". The typed
// word is copied as it is; the rest is ASCII.
std::string query_word_reason(const QueryWordInfo &w);
// add_word in locate mode: -1 (stop the tokenizer) when word is the word being located.
int locate_word(const char *word);
// add_word in locate mode, before stemming: false when the word (len letters) cannot stem to the
// stem being located. A stem is never longer than its word and keeps every letter but its last
// from the word's beginning, so most words are ruled out without being stemmed.
bool locate_candidate(const char *word, int len);

#endif
