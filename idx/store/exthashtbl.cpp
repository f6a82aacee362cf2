#include "idx/store/exthashtbl.h"

#include <cstring>

#include "idx/check.h"
#include "idx/store/pool.h"

static const char UNIT[] = "idx/exthashtbl";

// The top n bits of key (bit 0 is the most significant); 0 for n = 0.
static inline uint32_t top_bits(uint32_t key, int n) { return n == 0 ? 0 : key >> (32 - n); }

static inline uint32_t bit_at(uint32_t key, uint32_t l) { return (key >> (31 - l)) & 1; }

STnode *tbl_node(uint32_t addr) { return static_cast<STnode *>(addr_to_ptr(addr)); }

static STnode *new_node() {
    auto *n = static_cast<STnode *>(mem_alloc(sizeof(STnode), true));
    if (n) {
        n->count = 0; // the slots are left as they are: only 0..count-1 are ever read
        n->depth = 0;
    }
    return n;
}

int tbl_init(WordTable &t) {
    t.depth = 0;
    t.D = 1;
    t.dir = static_cast<uint32_t *>(mem_alloc(4, true));
    STnode *n = t.dir ? new_node() : nullptr;
    if (!n) return -1;
    t.dir[0] = ptr_to_addr(n);
    return 0;
}

static STnode *node_for(const WordTable &t, uint32_t key) {
    uint32_t idx = top_bits(key, t.depth);
    uint32_t D = static_cast<uint32_t>(t.D);
    IDX_ASSERT(idx < D);
    return tbl_node(t.dir[idx]);
}

const STnode *tbl_node_of(const WordTable &t, uint32_t key) { return node_for(t, key); }

Word *tbl_find(const WordTable &t, uint32_t key) {
    STnode *n = node_for(t, key);
    // A big table's nodes are rarely in cache: ask for all eight lines of the node at once, so
    // the halving below waits for memory once rather than at each step.
    for (int line = 0; line < 8; line++) __builtin_prefetch(reinterpret_cast<const char *>(n) + 64 * line);
    // The slots are sorted and keys unique, so halving finds what a scan would, in 6 steps
    // instead of about 20. A count above 41 is never searched past the node's slots.
    uint32_t lo = 0, span = n->count < NODE_SLOTS ? n->count : NODE_SLOTS;
    if (span == 0) return nullptr;
    while (span > 1) {
        uint32_t half = span / 2;
        lo = n->words[lo + half].key <= key ? lo + half : lo;
        span -= half;
    }
    return n->words[lo].key == key ? &n->words[lo] : nullptr;
}

// Points the directory entries of prefix p (d bits) at node m, doubling the directory until it
// has at least d bits. Each doubling turns old entry i into new entries 2i and 2i + 1.
static int install(WordTable &t, STnode *m, int d, uint32_t p) {
    while (d > t.depth) {
        uint64_t bytes = 8ull * static_cast<uint32_t>(t.D);
        if (bytes > IDX_POOL_LIMIT) return -1;
        auto *nd = static_cast<uint32_t *>(mem_alloc(static_cast<uint32_t>(bytes), true));
        if (!nd) return -1;
        for (uint32_t i = 0; i < 2u * static_cast<uint32_t>(t.D); i++) nd[i] = t.dir[i / 2];
        t.dir = nd; // the old directory stays in the file, unreferenced
        t.D *= 2;
        t.depth++;
    }
    uint32_t c = 1u << (t.depth - d);
    uint32_t addr = ptr_to_addr(m);
    for (uint32_t i = 0; i < c; i++) t.dir[p * c + i] = addr;
    return 0;
}

// Splits the full node n, one key bit at a time: the entries whose bit L (n's local depth) is 1
// move to a new node that takes over the upper half of n's prefix. When every entry lands on one
// side, the full side is split again on the next bit; the other side keeps its (empty) node, so
// every directory entry still leads to the node holding its keys.
static bool split(WordTable &t, STnode *n) {
    for (;;) {
        STnode *m = new_node();
        if (!m) return false;
        uint32_t l = n->depth;
        IDX_ASSERT(l < 32 && "distinct keys differ within 32 bits");
        uint32_t prefix = top_bits(n->words[0].key, static_cast<int>(l));
        uint32_t k0 = 0, k1 = 0;
        for (int i = 0; i < NODE_SLOTS; i++) {
            const Word w = n->words[i];
            if (bit_at(w.key, l) == 0)
                n->words[k0++] = w;
            else
                m->words[k1++] = w;
        }
        n->count = k0;
        m->count = k1;
        n->depth = m->depth = l + 1;
        if (install(t, m, static_cast<int>(l + 1), (prefix << 1) | 1) != 0) return false;
        if (n->count == NODE_SLOTS) continue;
        if (m->count == NODE_SLOTS) {
            n = m;
            continue;
        }
        return true;
    }
}

Word *tbl_insert(WordTable &t, const Word &w) {
    STnode *n = node_for(t, w.key);
    uint32_t j = 0;
    while (j < n->count && n->words[j].key <= w.key) j++;
    memmove(&n->words[j + 1], &n->words[j], (n->count - j) * sizeof(Word));
    n->words[j] = w;
    n->count++;
    if (n->count < NODE_SLOTS) return &n->words[j];
    // The entry's slot changes with the split; look it up where it landed.
    return split(t, n) ? tbl_find(t, w.key) : nullptr;
}

int tbl_relocate(WordTable &t, int32_t diff) {
    uint32_t n = static_cast<uint32_t>(t.D);
    auto *copy = static_cast<uint32_t *>(mem_alloc(4 * n, false));
    if (!copy) return -1;
    for (uint32_t i = 0; i < n; i++) copy[i] = t.dir[i] + static_cast<uint32_t>(diff);
    t.dir = copy;
    return 0;
}
