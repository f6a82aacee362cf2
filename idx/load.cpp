// Loading an index: idx.dat mapped and checked (header, word directory and nodes), the word table
// relocated and the file table read from the catalogue beside it, or, without one, enumerated
// again from the tree. A walked load also checks every posting chain, beside the walk; a
// catalogued one leaves that to the queries, which check each chain as they walk it.
#include "idx/index.h"

#include <cstdio>
#include <cstring>

#include "idx/catalogue.h"
#include "idx/check.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "idx/run.h"
#include "os/os.h"

static const char UNIT[] = "idx/index";

bool idx_loaded = false;
// The loaded header's path, NUL-terminated whatever the file says.
static char loaded_path[IDX_PATH_SIZE + 1];

const char *indexed_path() { return idx_loaded ? loaded_path : ""; }

void unload_index() {
    close_idx_file();
    idx_loaded = false;
    word_table = WordTable{};
    file_table.clear();
    num_files.store(0, std::memory_order_relaxed);
    read_cd_blocks_ahead({}); // kept by file number, which the next index gives other files
    release_catalogue();
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

// Whether the mapped file's header and word directory lie inside it, every directory entry naming
// a node inside it; the nodes' contents are nodes_sound's to check, their posting chains
// chains_sound's. A catalogued load leaves both to the queries, which check each node and chain
// they use: touching every node would cost more than the rest of the load.
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
    }
    return true;
}

// Whether every node's count and depth are ones a run writes.
static bool nodes_sound(const uint8_t *m, const IdxHeader *h) {
    const auto *dir = reinterpret_cast<const uint32_t *>(m + (h->dir - h->base));
    for (uint32_t i = 0; i < h->D; i++) {
        const auto *n = reinterpret_cast<const STnode *>(m + (dir[i] - h->base));
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
        os_thread_join(c.thread);
    c.thread = nullptr;
    return c.sound;
}

int read_idx() {
    if (status_idx() == IDX_ACTIVE) {
        IDX_ASSERT(!"read_idx while indexing active");
        return -1;
    }
    clear_reason();
    unload_index();
    // Everything in heap_pool belonged to the index being replaced; repeated loads must not fill it.
    empty_heap_pool();
    auto *m = static_cast<uint8_t *>(map_idx_read());
    if (!m) {
        int err = os_last_error();
        if (err == OS_ERR_NOT_FOUND)
            set_reason("no index file (idx.dat) in this folder");
        else if (err == OS_ERR_IN_USE)
            set_reason(REASON_IN_USE);
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
        unload_index();
        return -1;
    }
    if (!idx_head_sound(m, idx_pool.end)) {
        set_reason("idx.dat is damaged");
        unload_index();
        return -1;
    }
    memcpy(loaded_path, h->path, IDX_PATH_SIZE);
    loaded_path[IDX_PATH_SIZE] = 0;
    cur_dir = loaded_path;
    word_table.D = static_cast<int32_t>(h->D);
    word_table.depth = static_cast<int32_t>(h->depth);
    word_table.dir = reinterpret_cast<uint32_t *>(m + (h->dir - h->base));
    if (tbl_relocate(word_table, static_cast<int32_t>(idx_origin() - h->base)) != 0) {
        bool sound = chains_sound(m, idx_pool.end, h);
        set_reason(sound ? heap_reason("idx.dat is too large to load").c_str() : "idx.dat is damaged");
        unload_index();
        return -1;
    }
    std::string why;
    int c = load_catalogue(CatalogueTie{idx_pool.end, h->base, h->fingerprint}, &why);
    if (c < 0) {
        set_reason(why.c_str());
        unload_index();
        return -1;
    }
    if (c > 0) {
        idx_loaded = true;
        return 0;
    }
    if (!nodes_sound(m, h)) {
        set_reason("idx.dat is damaged");
        unload_index();
        return -1;
    }
    ChainCheck chains{m, idx_pool.end};
    start_chain_check(chains);
    slice_first = 0; // a walk finds the tree's first files; a part past them has its catalogue
    slice_count = MAX_FILES;
    int r = enum_files(loaded_path);
    close_cd_volume(); // excerpts open the volume when they need it
    // A damaged file is said to be so whatever the walk found.
    if (!chains_checked_sound(chains)) {
        set_reason("idx.dat is damaged");
        unload_index();
        return -1;
    }
    if (r != ENUM_OK) {
        set_reason(enum_reason(r, true).c_str());
        unload_index();
        return -1;
    }
    if (h->fingerprint != 0 && h->fingerprint != table_fingerprint()) {
        set_reason("the indexed folder has changed since the index was made");
        unload_index();
        return -1;
    }
    walked_volume(loaded_path);
    idx_loaded = true;
    return 0;
}
