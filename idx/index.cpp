#include "idx/index.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "idx/check.h"
#include "idx/detect.h"
#include "idx/extract.h"
#include "idx/idxdir.h"
#include "idx/hash.h"
#include "idx/read.h"
#include "idx/run.h"
#include "idx/stemmer.h"
#include "os/os.h"

static const char UNIT[] = "idx/index";

// ---- Lifecycle ----

// Each on a line of its own: the recording thread bumps them for every word, and words the
// indexing thread reads as often must not share their line.
alignas(64) std::atomic<uint64_t> unique_words{0};
alignas(64) std::atomic<uint64_t> total_words{0};
alignas(64) std::atomic<uint64_t> text_processed{0};
WordTable word_table{};
bool idx_loaded = false;
int word_mode = MODE_INDEX;
bool loading_stops = false;
CancelKept cancel_kept = CancelKept::none;

// The lifecycle's own state. Owned by the UI thread, except that the indexing thread writes ok and
// the header while it runs; status_idx reads ok only after the thread has been joined.
struct Lifecycle {
    OsThread *thread;                    // the indexing thread while it has not been joined
    bool ok;                             // the last run succeeded
    IdxHeader *header;                   // header of the index being built
    char loaded_path[IDX_PATH_SIZE + 1]; // the loaded header's path, NUL-terminated whatever the file says
};
static Lifecycle life;

// Single-writer counters: a relaxed load and store, no read-modify-write on the hot path.
static inline void bump(std::atomic<uint64_t> &c, uint64_t by) {
    c.store(c.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

static const char NAMES_FULL[] = "too many file names for memory (8 MiB)";

static const char INDEX_FULL[] = "index file full (64 MiB)";

// Why names or a loaded directory did not fit heap_pool: it is full, or its memory could not be
// had at all (a low ulimit -v), which is no fault of the tree or the index.
static std::string heap_reason(const char *full) {
    if (int err = heap_reserve_error())
        return std::string("out of memory: the 8 MiB for file names cannot be reserved: ") + os_error_text(err);
    return full;
}

// Why the index file cannot take another record: it has reached 64 MiB, or the disk had no room
// for it to grow (or the file size limit was reached).
static std::string full_reason() {
    if (int err = idx_room_error()) return std::string("no room for the index file: ") + os_error_text(err);
    return INDEX_FULL;
}

static void fail_full() { fail_run(full_reason().c_str()); }

// Whether read_idx will be able to load what this run built: a load empties heap_pool, copies the
// word directory into it and then enumerates the tree again, whose names take what they took in
// this run (all that heap_pool holds now). Both together must fit.
static bool load_will_fit() {
    uint64_t need = uint64_t{heap_pool.end} + 4ull * static_cast<uint32_t>(word_table.D);
    return need <= HEAP_POOL_LIMIT;
}

static void load_stop_list() {
    int fd = os_open(idx_dir_file("stopwords.txt").c_str(), OS_RANDOM);
    if (fd < 0) return;
    constexpr uint32_t STOP_BYTES = 32768;
    auto *buf = static_cast<char *>(mem_alloc(STOP_BYTES, false));
    if (buf) {
        long n = os_read_at(fd, buf, STOP_BYTES, 0);
        loading_stops = true;
        extract_plain(buf, n > 0 ? static_cast<int>(n) : 0);
        loading_stops = false;
        // A word cut by the end of the bytes read is no stop word, and must not run on into the
        // first file's text either.
        extract_reset();
        mem_free(buf, STOP_BYTES);
    }
    os_close(fd);
}

static OsThread *start_recording();
static void finish_recording(OsThread *t);

static void index_thread(void *arg) {
    const char *path = static_cast<const char *>(arg);
    word_mode = MODE_INDEX;
    life.ok = false;
    if (int r = enum_files(path); r != 0) {
        set_reason(r == WALK_NO_MEMORY || (r == CD_UNUSABLE && heap_reserve_error()) ? heap_reason(NAMES_FULL).c_str()
                   : r == CD_UNUSABLE                                                 ? cd_fail_reason
                                                                                      : "no file found below the path");
        finish_run_file(false); // the previous idx.dat stays as it was
        return;
    }
    // An abort pressed while the tree was still being enumerated ends the run too.
    OsThread *recorder = start_recording();
    int r = cancel_requested.load(std::memory_order_relaxed) ? -1 : read_files();
    finish_recording(recorder);
    close_cd_volume(); // a disc's volume stays open only for the run's reads
    if (run_failed) {
        finish_run_file(false);
        return;
    }
    if (!load_will_fit()) {
        // Reported now rather than by every later load; the previous idx.dat stays.
        set_reason("the index would not load: its file names and word directory need more than "
                   "the 8 MiB of memory for them");
        finish_run_file(false);
        return;
    }
    // A user who cancels expects the index they had. Only when there was none does the index of
    // the files read so far become idx.dat: some index is better than none.
    if (r != 0) {
        uint64_t dev, ino;
        bool had_index = os_path_id(idx_dir_file(IDX_FILE).c_str(), &dev, &ino);
        if (had_index) {
            finish_run_file(false);
            cancel_kept = CancelKept::previous;
            set_reason("indexing was cancelled; the previous index is kept");
            return;
        }
    }
    life.header->D = static_cast<uint32_t>(word_table.D);
    life.header->depth = static_cast<uint32_t>(word_table.depth);
    life.header->dir = ptr_to_addr(word_table.dir);
    life.header->fingerprint = table_fingerprint();
    if (finish_run_file(true) != 0) {
        char text[192];
        snprintf(text, sizeof text, "idx.dat cannot be replaced (the previous index is kept): %s",
                 os_error_text(os_last_error()));
        set_reason(text);
        return;
    }
    life.ok = r == 0;
    if (!life.ok) {
        cancel_kept = CancelKept::partial;
        set_reason("indexing was cancelled; there was no index before, so it holds the files read up to then");
    }
}

int status_idx() {
    if (life.thread) {
        if (!os_thread_ended(life.thread)) return 1;
        life.thread = nullptr;
    }
    return life.ok ? 2 : 3;
}

static void unload() {
    close_idx_file();
    idx_loaded = false;
    word_table = WordTable{};
    file_table.clear();
    num_files.store(0, std::memory_order_relaxed);
}

// Why the run's file could not be had.
static void refuse_run(int err) {
    if (err == OS_ERR_IN_USE) {
        set_reason("idx.dat is in use by another program");
        return;
    }
    if (err == OS_ERR_NO_MEMORY) {
        set_reason((std::string("out of memory: the 64 MiB mapping of the index file cannot be made: ") +
                    os_error_text(err)).c_str());
        return;
    }
    char text[192];
    snprintf(text, sizeof text, "idx.dat cannot be created: %s", os_error_text(err));
    set_reason(text);
}

int create_idx(const char *path) {
    if (status_idx() == 1) {
        IDX_ASSERT(!"create_idx while indexing active");
        return -1;
    }
    clear_reason();
    if (strlen(path) >= static_cast<size_t>(IDX_PATH_SIZE)) {
        set_reason("path too long: the index keeps at most 259 bytes of it");
        return -1;
    }
    // A FIFO or device named idx.dat is no index of ours: neither waited on nor replaced.
    if (os_is_special(idx_dir_file(IDX_FILE).c_str())) {
        set_reason("idx.dat is not a regular file");
        return -1;
    }
    // The run's file is locked before anything is given up: a refused run leaves the loaded
    // index loaded and the previous outcome standing.
    if (lock_run_file() != 0) {
        refuse_run(os_last_error());
        return -1;
    }
    life.ok = false;
    cancel_kept = CancelKept::none;
    clear_unread();
    reset_pools();
    reset_recording();
    unload();
    if (map_idx_write() != 0) {
        if (idx_room_error()) {
            char text[192];
            snprintf(text, sizeof text, "no room for the index file: %s", os_error_text(idx_room_error()));
            set_reason(text);
        } else {
            refuse_run(os_last_error());
        }
        return -1;
    }
    life.header = static_cast<IdxHeader *>(mem_alloc(sizeof(IdxHeader), true));
    life.header->base = idx_origin();
    memcpy(life.header->path, path, strlen(path)); // the rest of the field is the mapping's zeros
    tbl_init(word_table);
    load_stop_list();
    cancel_requested.store(false, std::memory_order_relaxed);
    // Taken before the thread starts: from then on the pools are the thread's, and reading
    // idx_pool here would race with its first allocations.
    int in_use = static_cast<int>(idx_pool.used);
    life.thread = os_thread_start(index_thread, const_cast<char *>(path));
    if (!life.thread) {
        set_reason("the indexing thread cannot be started");
        finish_run_file(false); // the previous idx.dat stays; the lock goes with the descriptor
        return -1;
    }
    return in_use;
}

int cancel_idx() {
    if (status_idx() != 1) return -1;
    cancel_requested.store(true, std::memory_order_relaxed);
    return 0;
}

bool walk_chain(const uint8_t *m, uint32_t size, const Word &w, PostingVisit visit, void *ctx) {
    uint32_t n = nbuckets(w), last = last_ofs(w), ofs = first_bkt(w) * BUCKET_SIZE;
    if (n == 0 || n > MAX_CHAIN_BUCKETS) return false;
    for (uint32_t b = 0;; b++) {
        if (ofs % BUCKET_SIZE || ofs < sizeof(IdxHeader) || uint64_t{ofs} + BUCKET_SIZE > size) return false;
        const auto *bucket = reinterpret_cast<const Bucket *>(m + ofs);
        bool in_last = b + 1 == n;
        // The last posting lies in a posting slot of the last bucket, never in its link.
        if (in_last && (last < ofs || last >= ofs + 4 * BUCKET_POSTS || last % 4)) return false;
        for (uint32_t k = 0; visit && k < BUCKET_POSTS; k++) {
            if (!visit(bucket->post[k], ctx)) return false;
            if (in_last && ofs + 4 * k == last) break;
        }
        if (in_last) return true;
        ofs = bucket->next;
    }
}

// Whether every posting chain of every node lies inside the file. A file cut short usually loses
// only buckets, which the directory and node checks cannot see. The work is bounded by what a sound
// file of this size can hold (nodes of 512 bytes, buckets of 32), so a crafted file that sends the
// directory through one node many times is refused instead of walked for long.
static bool chains_sound(const uint8_t *m, uint32_t size, const IdxHeader *h) {
    const auto *dir = reinterpret_cast<const uint32_t *>(m + (h->dir - h->base));
    uint64_t words_left = (uint64_t{size} / sizeof(STnode) + 1) * NODE_SLOTS;
    uint64_t buckets_left = size / BUCKET_SIZE;
    for (uint32_t i = 0; i < h->D; i++) {
        if (i > 0 && dir[i] == dir[i - 1]) continue; // the node's run of entries: seen already
        const auto *n = reinterpret_cast<const STnode *>(m + (dir[i] - h->base));
        if (n->count > words_left) return false;
        words_left -= n->count;
        for (uint32_t s = 0; s < n->count; s++) {
            const Word &w = n->words[s];
            uint32_t nb = nbuckets(w);
            if (is_stop(w) || nb == 0) continue;
            if (nb > buckets_left || !walk_chain(m, size, w, nullptr, nullptr)) return false;
            buckets_left -= nb;
        }
    }
    return true;
}

// Whether the mapped file's header, word directory and nodes lie inside it; its posting chains
// are chains_sound's to check.
static bool idx_head_sound(const uint8_t *m, uint32_t size) {
    if (size < sizeof(IdxHeader)) return false;
    const auto *h = reinterpret_cast<const IdxHeader *>(m);
    if (h->depth > 31 || h->D != (1u << h->depth)) return false;
    uint32_t dir_ofs = h->dir - h->base;
    if (dir_ofs % 4 || dir_ofs < sizeof(IdxHeader) || dir_ofs + 4ull * h->D > size) return false;
    const auto *dir = reinterpret_cast<const uint32_t *>(m + dir_ofs);
    for (uint32_t i = 0; i < h->D; i++) {
        uint32_t node_ofs = dir[i] - h->base;
        if (node_ofs % 4 || node_ofs < sizeof(IdxHeader) || node_ofs + uint64_t{sizeof(STnode)} > size)
            return false;
        const auto *n = reinterpret_cast<const STnode *>(m + node_ofs);
        if (n->count > NODE_SLOTS - 1 || n->depth > h->depth) return false;
    }
    return true;
}

// The chains of a loaded index, checked on a thread of their own while the tree is walked: the
// check reads only the mapping, and the walk waits on the file system most of its time.
struct ChainCheck {
    const uint8_t *m;
    uint32_t size;
    bool sound = false;
    OsThread *thread = nullptr;
};

static void chain_check_thread(void *arg) {
    auto *c = static_cast<ChainCheck *>(arg);
    c->sound = chains_sound(c->m, c->size, reinterpret_cast<const IdxHeader *>(c->m));
}

static void start_chain_check(ChainCheck &c) {
    if (threads_wanted() > 1) c.thread = os_thread_start(chain_check_thread, &c);
    if (!c.thread) chain_check_thread(&c);
}

static bool chains_checked_sound(ChainCheck &c) {
    if (c.thread)
        while (!os_thread_ended(c.thread)) os_sleep_ms(0);
    c.thread = nullptr;
    return c.sound;
}

int read_idx() {
    if (status_idx() == 1) {
        IDX_ASSERT(!"read_idx while indexing active");
        return -1;
    }
    clear_reason();
    unload();
    // Everything in heap_pool belonged to the index being replaced; repeated loads must not fill it.
    empty_heap_pool();
    auto *m = static_cast<uint8_t *>(map_idx_read());
    if (!m) {
        int err = os_last_error();
        if (err == OS_ERR_NOT_FOUND)
            set_reason("no index file (idx.dat) in this folder");
        else if (err == OS_ERR_IN_USE)
            set_reason("idx.dat is in use by another program");
        else if (err == OS_ERR_NOT_FILE)
            set_reason("idx.dat is not a regular file");
        else if (err == OS_ERR_INVALID)
            set_reason("idx.dat is empty or cannot be read");
        else {
            // The reason of the call that failed, whatever it was: no guess from a shared code.
            char text[192];
            snprintf(text, sizeof text, "idx.dat cannot be read: %s", os_error_text(err));
            set_reason(text);
        }
        return -1;
    }
    const auto *h = reinterpret_cast<const IdxHeader *>(m);
    if (idx_pool.end >= sizeof(IdxHeader) && h->D == 0) {
        set_reason("idx.dat is incomplete: the run that made it never ended");
        unload();
        return -1;
    }
    if (!idx_head_sound(m, idx_pool.end)) {
        set_reason("idx.dat is damaged");
        unload();
        return -1;
    }
    ChainCheck chains{m, idx_pool.end};
    start_chain_check(chains);
    memcpy(life.loaded_path, h->path, IDX_PATH_SIZE);
    life.loaded_path[IDX_PATH_SIZE] = 0;
    cur_dir = life.loaded_path;
    word_table.D = static_cast<int32_t>(h->D);
    word_table.depth = static_cast<int32_t>(h->depth);
    word_table.dir = reinterpret_cast<uint32_t *>(m + (h->dir - h->base));
    if (tbl_relocate(word_table, static_cast<int32_t>(idx_origin() - h->base)) != 0) {
        bool sound = chains_checked_sound(chains);
        set_reason(sound ? heap_reason("idx.dat is too large to load").c_str() : "idx.dat is damaged");
        unload();
        return -1;
    }
    int r = enum_files(life.loaded_path);
    close_cd_volume(); // excerpts open the volume when they need it
    // A damaged file is said to be so whatever the walk found.
    if (!chains_checked_sound(chains)) {
        set_reason("idx.dat is damaged");
        unload();
        return -1;
    }
    if (r != 0) {
        set_reason(r == WALK_NO_MEMORY || (r == CD_UNUSABLE && heap_reserve_error()) ? heap_reason(NAMES_FULL).c_str()
                   : r == CD_UNUSABLE ? cd_fail_reason
                                      : "the indexed folder holds no files any more");
        unload();
        return -1;
    }
    if (h->fingerprint != 0 && h->fingerprint != table_fingerprint()) {
        set_reason("the indexed folder has changed since the index was made");
        unload();
        return -1;
    }
    idx_loaded = true;
    return 0;
}

// ---- Word recording ----

void reset_recording() {
    word_mode = MODE_INDEX;
    loading_stops = false;
    run_failed = false;
    record_full.store(false, std::memory_order_relaxed);
    unique_words.store(0, std::memory_order_relaxed);
    total_words.store(0, std::memory_order_relaxed);
    text_processed.store(0, std::memory_order_relaxed);
    cur_fn = 0;
    cur_block = 0;
    extract_reset();
}

// The tokenizers' sink is defined here, with its default: idx/extract stays below this unit.
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
    if (!add_posting_at(w, static_cast<uint32_t>(cur_fn) & 0xFFFF, static_cast<uint32_t>(cur_block)))
        fail_full();
}

// Files one stemmed word of len letters under its key: finds or makes its entry, counts it and
// records the occurrence. False when the index file is full; nothing more may be recorded then.
static bool record_word(uint32_t key, int len, uint32_t fn, uint32_t block) {
    Word *w = tbl_find(word_table, key);
    if (!w) {
        bump(unique_words, 1);
        w = tbl_insert(word_table, Word{key, loading_stops ? 1u : 0u, 0});
        if (!w) return false;
    }
    bump(text_processed, static_cast<uint64_t>(len));
    bump(total_words, 1);
    return is_stop(*w) || add_posting_at(w, fn, block);
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
static inline uint32_t stem_and_key(char *word, int &len) {
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
static OsThread *start_recording() {
    if (threads_wanted() < 2) return nullptr;
    if (!rq) rq = new RecordQueue;
    rq->filling = 0;
    OsThread *t = os_thread_start(record_thread, nullptr);
    pipelined = t != nullptr;
    return t;
}

// Hands on the last records, waits until every one is filed and the thread has ended, and ends
// the run as failed when the index file filled up.
static void finish_recording(OsThread *t) {
    if (!t) return;
    if (rq->filling > 0) publish_batch(rq->filling);
    publish_batch(END_BATCH);
    for (uint32_t h = rq->head.load(std::memory_order_relaxed), c; (c = rq->tail.load(std::memory_order_acquire)) != h;)
        rq->tail.wait(c, std::memory_order_acquire);
    while (!os_thread_ended(t)) os_sleep_ms(0);
    pipelined = false;
    if (record_full.load(std::memory_order_relaxed)) {
        // The full index came first: the indexing thread stops handing on words once it fails,
        // so every record filed was found before any failure of its own.
        set_reason(full_reason().c_str());
        run_failed = true;
    }
}

int add_word(char *word, int len) {
    if (len < 4) {
        if (word_mode == MODE_QUERY) query_short_word(word, len);
        return 0;
    }
    if (word_mode == MODE_INDEX && pipelined) {
        if (!run_failed) push_word(word, len);
        return 0;
    }
    if (word_mode == MODE_LOCATE && !locate_candidate(word, len)) return 0;
    uint32_t key = stem_and_key(word, len);
    if (word_mode == MODE_LOCATE) return locate_word(word);
    if (word_mode == MODE_QUERY) return query_word(word, len, key);
    if (run_failed) return 0;
    if (!record_word(key, len, static_cast<uint32_t>(cur_fn) & 0xFFFF, static_cast<uint32_t>(cur_block)))
        fail_full();
    return 0;
}
