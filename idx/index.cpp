#include "idx/index.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "idx/check.h"
#include "idx/detect.h"
#include "idx/extract.h"
#include "idx/read.h"
#include "idx/stemmer.h"
#include "os/os.h"

static const char UNIT[] = "idx/index";

// In sanitizer builds the unused part of each pool, and buckets on the free list, stay poisoned:
// the pools are carved by hand, so ASan could not see an overrun inside them otherwise.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

// ---- Index file and memory pools ----

Pool heap_pool{};
Pool idx_pool{};

static int idx_fd = -1;         // the open idx.dat while idx_pool has memory
static uint64_t idx_map_size;   // bytes mapped
static bool idx_map_writable;   // built (cut at close) rather than loaded

static inline uint32_t low32(const void *p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

uint32_t idx_origin() { return low32(idx_pool.base); }

void *addr_to_ptr(uint32_t addr) { return idx_pool.base + (addr - idx_origin()); }

uint32_t ptr_to_addr(const void *p) { return idx_origin() + ptr_to_ofs(p); }

void *mem_alloc(uint32_t size, bool in_idx) {
    Pool &p = in_idx ? idx_pool : heap_pool;
    if (!p.base) {
        if (in_idx) IDX_ASSERT(!"mem_alloc for idx, without file mapped");
        p.base = static_cast<uint8_t *>(os_reserve(HEAP_POOL_LIMIT));
        if (!p.base) return nullptr;
        p.limit = HEAP_POOL_LIMIT;
        POOL_POISON(p.base, p.limit);
    }
    if (in_idx && size == BUCKET_SIZE) {
        if (p.free_count > 0) {
            void *b = addr_to_ptr(p.free_list);
            POOL_UNPOISON(b, BUCKET_SIZE);
            memcpy(&p.free_list, b, 4);
            p.free_count--;
            p.used += BUCKET_SIZE;
            return b;
        }
        p.end = (p.end + BUCKET_SIZE - 1) & ~(BUCKET_SIZE - 1);
    }
    if (static_cast<uint64_t>(p.end) + size > p.limit) return nullptr;
    void *b = p.base + p.end;
    POOL_UNPOISON(b, size);
    p.end += size;
    p.used += size;
    return b;
}

void mem_free(void *ptr, uint32_t size) {
    auto *b = static_cast<uint8_t *>(ptr);
    bool in_heap = heap_pool.base && static_cast<uintptr_t>(b - heap_pool.base) < heap_pool.end;
    Pool &p = in_heap ? heap_pool : idx_pool;
    uintptr_t ofs = static_cast<uintptr_t>(b - p.base);
    IDX_ASSERT(p.base && ofs < p.end && "invalid pointer to mem_free (not in either pool)");
    p.used -= size;
    if (ofs + size == p.end) {
        p.end -= size;
        POOL_POISON(b, size);
    } else if (!in_heap && size == BUCKET_SIZE) {
        memcpy(b, &p.free_list, 4);
        p.free_list = ptr_to_addr(b);
        p.free_count++;
        POOL_POISON(b, size);
    } else {
        IDX_ASSERT(!"mem_free: not at end of pool, nor bucket in index mapping");
    }
}

static void empty_pool(Pool &p) {
    p.end = 0;
    p.used = 0;
    p.free_list = 0;
    p.free_count = 0;
    if (p.base) POOL_POISON(p.base, p.limit);
}

void reset_pools() {
    empty_pool(heap_pool);
    empty_pool(idx_pool);
}

void *ofs_to_ptr(uint32_t ofs) {
    IDX_ASSERT(ofs < idx_pool.end && "invalid offset in index mapping");
    return idx_pool.base + ofs;
}

uint32_t ptr_to_ofs(const void *p) {
    uintptr_t ofs = static_cast<uintptr_t>(static_cast<const uint8_t *>(p) - idx_pool.base);
    IDX_ASSERT(ofs < idx_pool.end && "invalid pointer in index mapping");
    return static_cast<uint32_t>(ofs);
}

int map_idx_write() {
    idx_pool.limit = IDX_POOL_LIMIT;
    int fd = os_create_locked("idx.dat");
    if (fd < 0) return -1;
    void *base = os_truncate(fd, IDX_POOL_LIMIT) == 0 ? os_map(fd, IDX_POOL_LIMIT, true) : nullptr;
    if (!base) {
        int err = os_last_error();
        os_truncate(fd, 0);
        os_close(fd);
        os_set_last_error(err);
        return -1;
    }
    idx_fd = fd;
    idx_map_size = IDX_POOL_LIMIT;
    idx_map_writable = true;
    idx_pool.base = static_cast<uint8_t *>(base);
    POOL_POISON(base, IDX_POOL_LIMIT); // nothing is allocated in it yet
    return 0;
}

void *map_idx_read() {
    int fd = os_open_locked("idx.dat");
    if (fd < 0) return nullptr;
    int64_t size = os_file_size(fd);
    // An empty file cannot be mapped; offsets are 32-bit, so a larger file is no index of ours.
    bool mappable = size > 0 && size <= 0xFFFFFFFFll;
    void *base = mappable ? os_map(fd, static_cast<uint64_t>(size), false) : nullptr;
    if (!base) {
        // Nothing failed for an empty file: without our own code the caller would read a stale
        // error (often ENOENT from an earlier open) and report the file as missing.
        int err = mappable ? os_last_error() : EINVAL;
        os_close(fd);
        os_set_last_error(err);
        return nullptr;
    }
    idx_fd = fd;
    idx_map_size = static_cast<uint64_t>(size);
    idx_map_writable = false;
    idx_pool.base = static_cast<uint8_t *>(base);
    idx_pool.end = idx_pool.used = idx_pool.limit = static_cast<uint32_t>(size);
    idx_pool.free_list = idx_pool.free_count = 0;
    return base;
}

bool idx_file_id(uint64_t *dev, uint64_t *ino) { return idx_pool.base && os_file_id(idx_fd, dev, ino); }

void close_idx_file() {
    if (!idx_pool.base) return;
    POOL_UNPOISON(idx_pool.base, idx_map_size); // the address range may be mapped again by others
    os_unmap(idx_pool.base, idx_map_size);
    if (idx_map_writable) os_truncate(idx_fd, idx_pool.end);
    os_close(idx_fd);
    idx_fd = -1;
    idx_pool.base = nullptr;
}

// ---- Lifecycle ----

std::atomic<uint64_t> unique_words{0};
std::atomic<uint64_t> total_words{0};
std::atomic<uint64_t> text_processed{0};
std::atomic<bool> cancel_requested{false};
WordTable word_table{};
int word_mode = MODE_INDEX;
bool loading_stops = false;
bool run_failed = false;

static OsThread *index_thread_h = nullptr;
static bool idx_ok = false;
static bool idx_loaded = false; // read_idx succeeded and nothing has replaced the index since
static IdxHeader *header = nullptr;
static char reason[192];
static char loaded_path[IDX_PATH_SIZE + 1]; // the header's path, NUL-terminated whatever the file says

// Single-writer counters: a relaxed load and store, no read-modify-write on the hot path.
static inline void bump(std::atomic<uint64_t> &c, uint64_t by) {
    c.store(c.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

const char *idx_reason() { return reason; }

static const char NAMES_FULL[] = "too many file names for memory (8 MiB)";

static void set_reason(const char *text) { snprintf(reason, sizeof reason, "%s", text); }

void fail_run(const char *why) {
    if (!run_failed) set_reason(why);
    run_failed = true;
}

static void load_stop_list() {
    int fd = os_open("stopwords.txt", OS_RANDOM);
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

static void index_thread(void *arg) {
    const char *path = static_cast<const char *>(arg);
    word_mode = MODE_INDEX;
    if (int r = enum_files(path); r != 0) {
        set_reason(r == WALK_NO_MEMORY ? NAMES_FULL : "no file found below the path");
        idx_ok = false;
        close_idx_file(); // its header was never finished, so no load accepts it
        return;
    }
    // An abort pressed while the tree was still being enumerated ends the run too.
    int r = cancel_requested.load(std::memory_order_relaxed) ? -1 : read_files();
    if (run_failed) {
        idx_ok = false;
        close_idx_file();
        return;
    }
    idx_ok = r == 0;
    if (!idx_ok) set_reason("indexing was cancelled");
    header->D = static_cast<uint32_t>(word_table.D);
    header->depth = static_cast<uint32_t>(word_table.depth);
    header->dir = ptr_to_addr(word_table.dir);
    header->fingerprint = table_fingerprint();
    close_idx_file();
}

int status_idx() {
    if (index_thread_h) {
        if (!os_thread_ended(index_thread_h)) return 1;
        index_thread_h = nullptr;
    }
    return idx_ok ? 2 : 3;
}

static void unload() {
    close_idx_file();
    idx_loaded = false;
    word_table = WordTable{};
    file_table.clear();
    num_files.store(0, std::memory_order_relaxed);
}

int create_idx(const char *path) {
    if (status_idx() == 1) {
        IDX_ASSERT(!"create_idx while indexing active");
        return -1;
    }
    reason[0] = 0;
    if (strlen(path) >= static_cast<size_t>(IDX_PATH_SIZE)) {
        set_reason("path too long: the index keeps at most 259 bytes of it");
        return -1;
    }
    idx_ok = false;
    reset_pools();
    unique_words.store(0, std::memory_order_relaxed);
    total_words.store(0, std::memory_order_relaxed);
    text_processed.store(0, std::memory_order_relaxed);
    unload();
    if (map_idx_write() != 0) {
        int err = os_last_error();
        if (err == EWOULDBLOCK)
            set_reason("idx.dat is in use by another program");
        else
            snprintf(reason, sizeof reason, "idx.dat cannot be created: %s", strerror(err));
        return -1;
    }
    header = static_cast<IdxHeader *>(mem_alloc(sizeof(IdxHeader), true));
    header->base = idx_origin();
    memcpy(header->path, path, strlen(path)); // the rest of the field is the mapping's zeros
    tbl_init(word_table);
    word_mode = MODE_INDEX;
    run_failed = false;
    extract_reset();
    load_stop_list();
    cancel_requested.store(false, std::memory_order_relaxed);
    // Taken before the thread starts: from then on the pools are the thread's, and reading
    // idx_pool here would race with its first allocations.
    int in_use = static_cast<int>(idx_pool.used);
    index_thread_h = os_thread_start(index_thread, const_cast<char *>(path));
    if (!index_thread_h) set_reason("the indexing thread cannot be started");
    return in_use;
}

int cancel_idx() {
    if (status_idx() != 1) return -1;
    cancel_requested.store(true, std::memory_order_relaxed);
    return 0;
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
            if (nb > 29 || nb > buckets_left) return false;
            buckets_left -= nb;
            uint32_t ofs = first_bkt(w) * BUCKET_SIZE;
            for (uint32_t b = 0;; b++) {
                if (ofs % BUCKET_SIZE || ofs < sizeof(IdxHeader) || uint64_t{ofs} + BUCKET_SIZE > size)
                    return false;
                if (b + 1 == nb) break;
                ofs = reinterpret_cast<const Bucket *>(m + ofs)->next;
            }
            if (last_ofs(w) < ofs || last_ofs(w) >= ofs + BUCKET_SIZE - 4 || last_ofs(w) % 4) return false;
        }
    }
    return true;
}

// Whether the mapped file is a whole index whose every directory entry, node and posting chain
// lies inside it.
static bool idx_file_sound(const uint8_t *m, uint32_t size) {
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
    return chains_sound(m, size, h);
}

int read_idx() {
    if (status_idx() == 1) {
        IDX_ASSERT(!"read_idx while indexing active");
        return -1;
    }
    reason[0] = 0;
    unload();
    // Everything in heap_pool belonged to the index being replaced; repeated loads must not fill it.
    empty_pool(heap_pool);
    auto *m = static_cast<uint8_t *>(map_idx_read());
    if (!m) {
        int err = os_last_error();
        if (err == ENOENT)
            set_reason("no index file (idx.dat) in this folder");
        else if (err == EWOULDBLOCK)
            set_reason("idx.dat is in use by another program");
        else
            set_reason("idx.dat is empty or cannot be read");
        return -1;
    }
    const auto *h = reinterpret_cast<const IdxHeader *>(m);
    if (idx_pool.end >= sizeof(IdxHeader) && h->D == 0) {
        set_reason("idx.dat is incomplete: the run that made it never ended");
        unload();
        return -1;
    }
    if (!idx_file_sound(m, idx_pool.end)) {
        set_reason("idx.dat is damaged");
        unload();
        return -1;
    }
    memcpy(loaded_path, h->path, IDX_PATH_SIZE);
    loaded_path[IDX_PATH_SIZE] = 0;
    cur_dir = loaded_path;
    word_table.D = static_cast<int32_t>(h->D);
    word_table.depth = static_cast<int32_t>(h->depth);
    word_table.dir = reinterpret_cast<uint32_t *>(m + (h->dir - h->base));
    if (tbl_relocate(word_table, static_cast<int32_t>(idx_origin() - h->base)) != 0) {
        set_reason("idx.dat is too large to load");
        unload();
        return -1;
    }
    int r = enum_files(loaded_path);
    if (r != 0) {
        set_reason(r == WALK_NO_MEMORY ? NAMES_FULL : "the indexed folder holds no files any more");
        unload();
        return r;
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

uint32_t word_key(const char *stem, int len) {
    uint32_t x = static_cast<uint32_t>(len);
    for (int i = 0; i < len; i++) x = (x ^ static_cast<uint8_t>(stem[i])) * 16777619u;
    return x;
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

void add_posting(Word *w) {
    uint32_t fn = static_cast<uint32_t>(cur_fn) & 0xFFFF;
    uint32_t n = nbuckets(*w);
    uint32_t *o = nullptr;
    if (n != 0) {
        uint32_t lo = last_ofs(*w);
        o = posting_at(lo);
        if (post_fn(*o) == fn) {
            if (post_count(*o) < 63) (*o)++;
            return;
        }
        IDX_ASSERT(fn >= post_fn(*o) && "cur_fn >= o->fn");
        if ((lo % BUCKET_SIZE) / 4 < 6) {
            lo += 4;
            w->post = lo | (w->post & 1);
            o = posting_at(lo);
        } else if (n * 7 >= 200) {
            drop_word(w);
            return;
        } else {
            o = nullptr;
        }
    }
    if (!o) {
        void *b = mem_alloc(BUCKET_SIZE, true);
        if (!b) {
            fail_run("index file full (64 MiB)");
            return;
        }
        uint32_t b_ofs = ptr_to_ofs(b);
        IDX_ASSERT(b_ofs % sizeof(Bucket) == 0);
        if (n == 0)
            w->bkts = (b_ofs / BUCKET_SIZE) << 8;
        else
            static_cast<Bucket *>(ofs_to_ptr(last_ofs(*w) & ~(BUCKET_SIZE - 1)))->next = b_ofs;
        w->post = b_ofs | (w->post & 1);
        w->bkts = (w->bkts & ~0xFFu) | (n + 1);
        o = static_cast<uint32_t *>(b);
    }
    // Bits 6-7 keep whatever the slot held; the query uses them in its own copy.
    *o = (*o & 0xC0u) | ((static_cast<uint32_t>(cur_block) & 0xFF) << 8) | (fn << 16) | 1;
}

static int query_word(const char *word, int len, uint32_t key);
static int locate_word(const char *word);

// Stems and keys of recently seen words. Text repeats its words, and stemming is the dearest step
// of recording one, so a word seen lately is stemmed from memory: same stem, same key.
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
    uint32_t h = static_cast<uint32_t>(len);
    for (int i = 0; i < len; i++) h = (h ^ static_cast<uint8_t>(word[i])) * 16777619u;
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

int add_word(char *word, int len) {
    if (len < 4) return 0;
    uint32_t key = stem_and_key(word, len);
    if (word_mode == MODE_LOCATE) return locate_word(word);
    if (word_mode == MODE_QUERY) return query_word(word, len, key);
    if (run_failed) return 0;
    Word *w = tbl_find(word_table, key);
    if (!w) {
        bump(unique_words, 1);
        w = tbl_insert(word_table, Word{key, loading_stops ? 1u : 0u, 0});
        if (!w) {
            fail_run("index file full (64 MiB)");
            return 0;
        }
    }
    bump(text_processed, static_cast<uint64_t>(len));
    bump(total_words, 1);
    if (!is_stop(*w)) add_posting(w);
    return 0;
}

// ---- Queries ----

constexpr int MAX_QUERY_WORDS = 3;
constexpr int TEXT_SIZE = 256;

static char query_slots[MAX_QUERY_WORDS][MAX_WORD + 1];
static int query_words = 0;
static uint8_t file_scores[65536]; // bits 6-7 matched words, bits 0-5 capped total
static std::vector<uint32_t> results;
static std::vector<uint32_t> chain; // one word's postings while its chain is checked
static size_t result_pos = 0;
static bool prev_text = false;
static char path_buf[OS_PATH_MAX];
static char text_buf[TEXT_SIZE];
static char *block_buf = nullptr;
static const char *locate_target = nullptr;
static bool locate_found = false;

// Gathers the postings of a word from its chain. A chain that leaves the file, runs over 29
// buckets, never reaches its last posting or is out of file order comes from a damaged index:
// the word then contributes nothing. Postings of files the table no longer has are passed over.
static bool read_chain(const Word &w) {
    chain.clear();
    uint32_t n = nbuckets(w), last = last_ofs(w), ofs = first_bkt(w) * BUCKET_SIZE;
    if (n == 0 || n > 29) return false;
    for (uint32_t b = 0; b < n; b++) {
        if (ofs % BUCKET_SIZE || ofs < sizeof(IdxHeader) || uint64_t{ofs} + BUCKET_SIZE > idx_pool.end) return false;
        const auto *bucket = static_cast<const Bucket *>(ofs_to_ptr(ofs));
        for (uint32_t k = 0; k < 7; k++) {
            uint32_t p = bucket->post[k];
            if (!chain.empty() && post_fn(p) <= post_fn(chain.back())) return false;
            chain.push_back(p);
            if (ofs + 4 * k == last) return true;
        }
        ofs = bucket->next;
    }
    return false;
}

static int query_word(const char *word, int len, uint32_t key) {
    Word *w = tbl_find(word_table, key);
    if (query_words == MAX_QUERY_WORDS) return -1;
    uint32_t slot = static_cast<uint32_t>(query_words);
    memcpy(query_slots[slot], word, static_cast<size_t>(len) + 1);
    if (w && !is_stop(*w) && read_chain(*w)) {
        for (uint32_t p : chain) {
            uint32_t fn = post_fn(p);
            if (fn >= static_cast<uint32_t>(num_files.load(std::memory_order_relaxed))) continue;
            uint8_t s = file_scores[fn];
            uint32_t total = std::min<uint32_t>(63, (s & 63u) + post_count(p));
            file_scores[fn] = static_cast<uint8_t>((((s >> 6) + 1u) << 6) | total);
            results.push_back((p & ~0xC0u) | (slot << 6));
        }
    }
    query_words++;
    return 0;
}

int query_idx(const char *text) {
    query_words = 0;
    results.clear();
    memset(file_scores, 0, sizeof file_scores);
    result_pos = 0;
    word_mode = MODE_QUERY;
    if (!idx_loaded) return 0;
    extract_reset();
    int r = extract_plain(text, static_cast<int>(strlen(text)) + 1);
    extract_reset();
    std::sort(results.begin(), results.end(), [](uint32_t a, uint32_t b) {
        uint8_t sa = file_scores[post_fn(a)], sb = file_scores[post_fn(b)];
        if (sa != sb) return sa > sb;
        if (post_fn(a) != post_fn(b)) return post_fn(a) < post_fn(b);
        return post_slot(a) < post_slot(b);
    });
    return r;
}

// The full path of a file ("dir/name") into buf of OS_PATH_MAX bytes; false when it does not fit.
static bool join_path(char *buf, unsigned file_num) {
    const FileEntry &e = file_table[file_num];
    int n = snprintf(buf, OS_PATH_MAX, "%s%c%s", e.dir_name, OS_PATH_SEP, e.file_name);
    return n >= 0 && n < OS_PATH_MAX;
}

char *get_file_path(unsigned file_num) {
    IDX_ASSERT(file_num < static_cast<unsigned>(num_files.load(std::memory_order_relaxed)) &&
               "file_num < num_files");
    if (!join_path(path_buf, file_num)) path_buf[0] = 0;
    return path_buf;
}

// Reads block `block` of a file into the block buffer; the bytes read, or -1.
static int read_block(unsigned file_num, unsigned block) {
    if (!block_buf) block_buf = static_cast<char *>(os_reserve(READ_SIZE));
    if (!block_buf) return -1;
    char path[OS_PATH_MAX];
    if (!join_path(path, file_num)) return -1;
    int fd = os_open(path, OS_RANDOM);
    if (fd < 0) return -1;
    memset(block_buf, 0, READ_SIZE);
    long n = os_read_at(fd, block_buf, READ_SIZE, uint64_t{block} * READ_SIZE);
    os_close(fd);
    return n > 0 ? static_cast<int>(n) : -1;
}

int locate_in_block(unsigned file_num, unsigned block, char **data, int *n) {
    int got = read_block(file_num, block);
    if (got < 0) return -1;
    *data = block_buf;
    *n = got;
    return extract_words(block_buf, got, file_table[file_num].kind);
}

static int locate_word(const char *word) {
    if (strcmp(word, locate_target) != 0) return 0;
    locate_found = true;
    return -1;
}

static int text_len = 0;

// Appends bytes [from, to) of data and " ... " to the text, CR, LF and NUL turned into spaces.
static void append_excerpt(const char *data, int from, int to) {
    if (to < from || text_len + (to - from) + 6 > TEXT_SIZE) return;
    for (int i = from; i < to; i++) {
        char c = data[i];
        text_buf[text_len++] = (c == '\r' || c == '\n' || c == 0) ? ' ' : c;
    }
    memcpy(text_buf + text_len, " ... ", 6);
    text_len += 5;
}

// An audio file's word comes from its ID3v1 tag, where positions mean nothing: the excerpt is the
// tag field (title, artist, album or comment) that holds the word.
static void append_tag_field(const char *data, int n) {
    static const int FIELDS[] = {3, 33, 63, 97};
    const char *tag = data + n - 128;
    for (int f : FIELDS) {
        extract_reset();
        locate_found = false;
        extract_plain(tag + f, 29);
        extract_end_file();
        if (!locate_found) continue;
        int end = f + 30;
        while (end > f && (tag[end - 1] == 0 || tag[end - 1] == ' ')) end--;
        append_excerpt(tag, f, end);
        return;
    }
}

// Finds the first occurrence of the posting's word in the file and appends its excerpt.
static void locate_posting(unsigned fn, uint32_t p) {
    FileEntry &e = file_table[fn];
    if (e.kind == KIND_UNKNOWN) {
        // A loaded table has never seen the files' data: detect the kind once, from block 0.
        int n = read_block(fn, 0);
        if (n < 0) return;
        e.kind = detect_type(block_buf, n);
    }
    if (e.kind <= 0) return;
    locate_target = query_slots[post_slot(p)];
    int len = static_cast<int>(strlen(locate_target));
    locate_found = false;
    extract_reset();
    // A first occurrence that straddles two blocks was recorded with the later one: start one
    // block early so that its beginning is read too.
    unsigned block = post_block(p);
    if (block > 0) block--;
    for (;; block++) {
        char *data;
        int n;
        int end = locate_in_block(fn, block, &data, &n);
        if (end < 0) break;
        bool last = n < static_cast<int>(READ_SIZE);
        if (!locate_found && last) {
            // A word that runs up to the file's last byte ends with the file, as when it was indexed.
            extract_end_file();
            end = n + 1;
        }
        if (!locate_found) {
            if (last) break;
            continue;
        }
        if (e.kind == KIND_AUDIO && end == 0 && n >= 128)
            append_tag_field(data, n);
        else
            append_excerpt(data, std::max(0, end - len - 11), std::min(end + 9, n));
        break;
    }
    extract_reset();
}

int next_result(char **path, int *freq, char **text) {
    bool want_text = text != nullptr;
    if (want_text && !prev_text) result_pos = 0;
    prev_text = want_text;
    if (result_pos >= results.size()) return -1;
    uint32_t fn = post_fn(results[result_pos]);
    *path = get_file_path(fn);
    if (want_text) {
        text_len = 0;
        memset(text_buf, 0, sizeof text_buf);
        *text = text_buf;
    }
    word_mode = MODE_LOCATE;
    int total = 0;
    bool capped = false;
    for (; result_pos < results.size() && post_fn(results[result_pos]) == fn; result_pos++) {
        uint32_t p = results[result_pos];
        if (want_text) locate_posting(fn, p);
        total += static_cast<int>(post_count(p));
        capped |= post_count(p) == 63;
    }
    *freq = capped ? -total : total;
    return 0;
}
