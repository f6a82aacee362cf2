// Word recording: each word found while indexing is stemmed, keyed, filed in the word table and
// recorded as a posting in its bucket chain, on the indexing thread or, in a run of two threads,
// on a recording thread fed through a bounded queue.
#include "idx/index.h"

#include <cstring>
#include <string>

#include "idx/check.h"
#include "idx/read/pipeline.h"
#include "idx/run.h"
#include "idx/store/hash.h"
#include "idx/text/extract.h"
#include "idx/text/stemmer.h"
#include "os/os.h"

static const char UNIT[] = "idx/index";


// Each on a line of its own: the recording thread bumps them for every word, and words the
// indexing thread reads as often must not share their line.
alignas(64) std::atomic<uint64_t> unique_words{0};
alignas(64) std::atomic<uint64_t> total_words{0};
alignas(64) std::atomic<uint64_t> text_processed{0};
WordTable word_table{};
int word_mode = MODE_INDEX;
bool loading_stops = false;


// Single-writer counters: a relaxed load and store, no read-modify-write on the hot path.
static inline void bump(std::atomic<uint64_t> &c, uint64_t by) {
    c.store(c.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

static const char INDEX_FULL[] = "index file full (64 MiB)";

// Why the index file cannot take another record: it has reached 64 MiB, or the disk had no room
// for it to grow (or the file size limit was reached).
std::string full_reason() {
    if (int err = idx_room_error()) return std::string("no room for the index file: ") + os_error_text(err);
    return INDEX_FULL;
}

static void fail_full() { fail_run(full_reason().c_str()); }

// The file whose words first did not fit the index file; -1 while all did.
std::atomic<int> full_fn{-1};
static void note_full(uint32_t fn) {
    int none = -1;
    full_fn.compare_exchange_strong(none, static_cast<int>(fn), std::memory_order_relaxed);
}

// ---- Word recording ----

void reset_recording() {
    word_mode = MODE_INDEX;
    loading_stops = false;
    run_failed = false;
    record_full.store(false, std::memory_order_relaxed);
    full_fn.store(-1, std::memory_order_relaxed);
    unique_words.store(0, std::memory_order_relaxed);
    total_words.store(0, std::memory_order_relaxed);
    text_processed.store(0, std::memory_order_relaxed);
    cur_fn = 0;
    cur_block = 0;
    extract_reset();
}

// The tokenizers' sink is defined here, with its default: idx/text/extract stays below this unit.
WordSink word_sink = add_word;

// Seeded with the length rather than FNV_BASIS: stored keys depend on it.
uint32_t word_key(const char *stem, int len) {
    return fnv_mix(static_cast<uint32_t>(len), stem, static_cast<size_t>(len));
}

static inline uint32_t *posting_at(uint32_t ofs) { return static_cast<uint32_t *>(ofs_to_ptr(ofs)); }

// Releases the word's chain and turns it into a stop word: it is in too many files to be useful.

static void drop_word(Word *w) {
    uint32_t ofs = first_bkt(*w) * BUCKET_SIZE;
    for (uint32_t i = nbuckets(*w); i > 0; i--) {
        IDX_ASSERT(ofs != 0);
        auto *b = static_cast<Bucket *>(ofs_to_ptr(ofs));
        uint32_t next = b->next;
        mem_free(b, BUCKET_SIZE);
        ofs = next;
    }
    w->post |= 1;
}

// Records an occurrence in file fn (low 16 bits) whose piece began at block; false when no bucket
// could be had (the index file is full).
static bool add_posting_at(Word *w, uint32_t fn, uint32_t block) {
    uint32_t n = nbuckets(*w);
    uint32_t *o = nullptr;
    if (n != 0) {
        uint32_t lo = last_ofs(*w);
        o = posting_at(lo);
        if (post_fn(*o) == fn) {
            if (post_count(*o) < 63) (*o)++;
            return true;
        }
        IDX_ASSERT(fn >= post_fn(*o) && "cur_fn >= o->fn");
        if ((lo % BUCKET_SIZE) / 4 < BUCKET_POSTS - 1) {
            lo += 4;
            set_last_ofs(*w, lo);
            o = posting_at(lo);
        } else if (n >= MAX_CHAIN_BUCKETS) {
            drop_word(w);
            return true;
        } else {
            o = nullptr;
        }
    }
    if (!o) {
        void *b = mem_alloc(BUCKET_SIZE, true);
        if (!b) return false;
        uint32_t b_ofs = ptr_to_ofs(b);
        IDX_ASSERT(b_ofs % sizeof(Bucket) == 0);
        if (n == 0)
            w->bkts = (b_ofs / BUCKET_SIZE) << 8;
        else
            static_cast<Bucket *>(ofs_to_ptr(last_ofs(*w) & ~(BUCKET_SIZE - 1)))->next = b_ofs;
        set_last_ofs(*w, b_ofs);
        w->bkts = (w->bkts & ~0xFFu) | (n + 1);
        o = static_cast<uint32_t *>(b);
    }
    // Bits 6-7 keep whatever the slot held; the query uses them in its own copy.
    *o = (*o & 0xC0u) | ((block & 0xFF) << 8) | (fn << 16) | 1;
    return true;
}

void add_posting(Word *w) {
    if (!add_posting_at(w, static_cast<uint32_t>(cur_fn) & 0xFFFF, static_cast<uint32_t>(cur_block))) {
        note_full(static_cast<uint32_t>(cur_fn) & 0xFFFF);
        fail_full();
    }
}

// Files one stemmed word of len letters under its key: finds or makes its entry, counts it and
// records the occurrence. False when the index file is full; nothing more may be recorded then.
static bool record_word(uint32_t key, int len, uint32_t fn, uint32_t block) {
    Word *w = tbl_find(word_table, key);
    if (!w) {
        bump(unique_words, 1);
        w = tbl_insert(word_table, Word{key, loading_stops ? 1u : 0u, 0});
        if (!w) {
            note_full(fn);
            return false;
        }
    }
    bump(text_processed, static_cast<uint64_t>(len));
    bump(total_words, 1);
    if (is_stop(*w) || add_posting_at(w, fn, block)) return true;
    note_full(fn);
    return false;
}

// Stems and keys of recently seen words. Text repeats its words, and stemming is the dearest step
// of recording one, so a word seen lately is stemmed from memory: same stem, same key. Owned, like
// the stemmer's work area, by the thread that stems; it never needs clearing,
// since an entry depends on nothing but its word.
struct StemMemo {
    uint8_t len;           // letters of the word as extracted; 0 = empty entry
    uint8_t stem_len;      // letters of its stem
    char word[MAX_WORD];   // the word as extracted
    char stem[MAX_WORD];   // its stem
    uint32_t key;          // word_key of the stem
};
constexpr uint32_t MEMO_SIZE = 4096; // entries, a power of two
static StemMemo stem_memo[MEMO_SIZE];

// Stems word in place (NUL after the stem), updates len and returns the stem's key.
uint32_t stem_and_key(char *word, int &len) {
    uint32_t h = word_key(word, len);
    StemMemo &m = stem_memo[(h ^ (h >> 15)) & (MEMO_SIZE - 1)];
    if (m.len == len && memcmp(m.word, word, static_cast<size_t>(len)) == 0) {
        memcpy(word, m.stem, m.stem_len);
        len = m.stem_len;
        word[len] = 0;
        return m.key;
    }
    m.len = static_cast<uint8_t>(len);
    memcpy(m.word, word, static_cast<size_t>(len));
    stem_word(word, len);
    m.stem_len = static_cast<uint8_t>(len);
    memcpy(m.stem, word, static_cast<size_t>(len));
    m.key = word_key(word, len);
    return m.key;
}

// ---- Recording on a second thread ----

// During a run of two threads the indexing thread reads, detects and extracts; a recording thread
// stems and keys the words, owns the word table, idx_pool and the three counters, and files the
// words in the order they were found. So idx.dat comes out byte for byte as one thread makes it.
// Stemming is on the recording side because it evens out the two threads' work.

// A record in a batch: this header, then the word's len letters as extracted.
struct WordHeader {
    uint16_t fn;   // low 16 bits of cur_fn
    uint8_t block; // low 8 bits of cur_block
    uint8_t len;   // letters of the word
};

constexpr uint32_t BATCH_BYTES = 32768; // bytes of records per batch
constexpr uint32_t RECORD_MAX = sizeof(WordHeader) + MAX_WORD;
constexpr uint32_t RING_BATCHES = 8;    // batches in the queue: bounds how far reading runs ahead

// A bounded single-producer single-consumer queue of batches. The indexing thread fills
// batch[head % RING_BATCHES] and publishes it by advancing head; the recording thread files it
// and hands it back by advancing tail. A batch of size END_BATCH ends the run's records.
struct RecordQueue {
    unsigned char batch[RING_BATCHES][BATCH_BYTES];
    uint32_t size[RING_BATCHES];               // bytes of records in each published batch
    alignas(64) std::atomic<uint32_t> head{0}; // batches published (indexing thread writes)
    alignas(64) std::atomic<uint32_t> tail{0}; // batches filed (recording thread writes)
    alignas(64) uint32_t filling = 0;          // indexing thread: bytes in the batch at head
};
constexpr uint32_t END_BATCH = ~0u;
static RecordQueue *rq; // allocated at the first run of two threads, kept for the process

static bool pipelined = false; // indexing thread: words go to the queue in this run

static void publish_batch(uint32_t size) {
    uint32_t h = rq->head.load(std::memory_order_relaxed);
    rq->size[h % RING_BATCHES] = size;
    rq->head.store(h + 1, std::memory_order_release);
    rq->head.notify_one();
    rq->filling = 0;
    // The next batch's place must have been filed before it is filled.
    for (uint32_t t = rq->tail.load(std::memory_order_acquire); h + 1 - t >= RING_BATCHES;
         t = rq->tail.load(std::memory_order_acquire))
        rq->tail.wait(t, std::memory_order_acquire);
}

static inline void push_word(const char *word, int len) {
    uint32_t h = rq->head.load(std::memory_order_relaxed);
    unsigned char *at = rq->batch[h % RING_BATCHES] + rq->filling;
    WordHeader hd{static_cast<uint16_t>(cur_fn), static_cast<uint8_t>(cur_block), static_cast<uint8_t>(len)};
    memcpy(at, &hd, sizeof hd);
    memcpy(at + sizeof hd, word, static_cast<size_t>(len));
    rq->filling += sizeof hd + static_cast<uint32_t>(len);
    if (rq->filling > BATCH_BYTES - RECORD_MAX) publish_batch(rq->filling);
}

// Stems, keys and files the records of one batch; false when the index file filled up.
static bool file_batch(const unsigned char *p, const unsigned char *end) {
    char word[MAX_WORD + 1];
    while (p < end) {
        WordHeader hd;
        memcpy(&hd, p, sizeof hd);
        int len = hd.len;
        memcpy(word, p + sizeof hd, static_cast<size_t>(len));
        word[len] = 0;
        p += sizeof hd + static_cast<size_t>(len);
        uint32_t key = stem_and_key(word, len);
        if (!record_word(key, len, hd.fn, hd.block)) return false;
    }
    return true;
}

static void record_thread(void *) {
    bool full = false;
    for (uint32_t t = rq->tail.load(std::memory_order_relaxed);; t++) {
        uint32_t h;
        while ((h = rq->head.load(std::memory_order_acquire)) == t) rq->head.wait(h, std::memory_order_acquire);
        uint32_t n = rq->size[t % RING_BATCHES];
        if (n == END_BATCH) {
            rq->tail.store(t + 1, std::memory_order_release);
            rq->tail.notify_one();
            return;
        }
        // After a failure the records are still taken, so the indexing thread never waits for room.
        const unsigned char *b = rq->batch[t % RING_BATCHES];
        if (!full && !file_batch(b, b + n)) {
            full = true;
            record_full.store(true, std::memory_order_relaxed);
        }
        rq->tail.store(t + 1, std::memory_order_release);
        rq->tail.notify_one();
    }
}

// Starts the recording thread for a run; null (words are then recorded in place) when the run
// keeps to one thread or the thread cannot be started.
OsThread *start_recording() {
    if (threads_wanted() < 2) return nullptr;
    if (!rq) rq = new RecordQueue;
    rq->filling = 0;
    OsThread *t = os_thread_start(record_thread, nullptr);
    pipelined = t != nullptr;
    return t;
}

// Hands on the last records, waits until every one is filed and the thread has ended, and ends
// the run as failed when the index file filled up.
void finish_recording(OsThread *t) {
    if (!t) return;
    if (rq->filling > 0) publish_batch(rq->filling);
    publish_batch(END_BATCH);
    for (uint32_t h = rq->head.load(std::memory_order_relaxed), c; (c = rq->tail.load(std::memory_order_acquire)) != h;)
        rq->tail.wait(c, std::memory_order_acquire);
    os_thread_join(t);
    pipelined = false;
    if (record_full.load(std::memory_order_relaxed)) {
        // The full index came first: the indexing thread stops handing on words once it fails,
        // so every record filed was found before any failure of its own.
        set_reason(full_reason().c_str());
        run_failed = true;
    }
}

int add_word(char *word, int len) {
    if (len < 4) return 0;
    if (pipelined) {
        if (!run_failed) push_word(word, len);
        return 0;
    }
    uint32_t key = stem_and_key(word, len);
    if (run_failed) return 0;
    if (!record_word(key, len, static_cast<uint32_t>(cur_fn) & 0xFFFF, static_cast<uint32_t>(cur_block)))
        fail_full();
    return 0;
}
