#include "idx/store/pool.h"

#include <algorithm>
#include <cstring>

#include <string>
#include <utility>
#include <vector>

#include "idx/check.h"
#include "idx/idxdir.h"
#include "os/os.h"

// The pools and the index file belong to the index unit; assertion reports name it.
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

Pool heap_pool{};
Pool idx_pool{};

// The open idx.dat behind idx_pool. Owned like the pools: the indexing thread during a run, the
// UI thread otherwise.
struct IdxFile {
    int fd;            // the open index file (idx.dat, or a run's file) while idx_pool has memory; -1 otherwise
    uint64_t map_size; // bytes mapped
    bool writable;     // a run's file (cut and put in place at its end) rather than a loaded one
    int run_fd;        // the run's file, made by lock_run_file until map_idx_write maps it; -1 otherwise
    uint64_t reserved; // bytes of the file given room on the disk: stores below never fault
    int room_error;    // why the last reservation failed; 0 when none did
    int dir_lock;      // the index directory's run lock, from lock_run_file to the run's end; -1 otherwise
    std::string run_path; // path of the run's file
};
static IdxFile idx_file{-1, 0, false, -1, 0, 0, -1, {}};

// The file of a run grows by this much at a time, ahead of the pool's end: a store into a mapped
// page that the file system has no room for would kill the process (SIGBUS), so the room is taken
// first, where its lack is an error we can report. Steps keep a small index small on a small disk.
constexpr uint64_t RESERVE_STEP = 1u << 20;

static bool reserve_idx(uint64_t need) {
    uint64_t to = std::min<uint64_t>(idx_pool.limit, (need + RESERVE_STEP - 1) / RESERVE_STEP * RESERVE_STEP);
    if (os_allocate(idx_file.fd, idx_file.reserved, to - idx_file.reserved) != 0) {
        idx_file.room_error = os_last_error();
        return false;
    }
    idx_file.reserved = to;
    return true;
}

uint32_t idx_write_limit = IDX_POOL_LIMIT;

int idx_room_error() { return idx_file.room_error; }

// Why heap_pool has no memory: the reservation's error (out of memory or address space).
static int heap_error = 0;

int heap_reserve_error() { return heap_pool.base ? 0 : heap_error; }

static inline uint32_t low32(const void *p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

uint32_t idx_origin() { return low32(idx_pool.base); }

void *addr_to_ptr(uint32_t addr) { return idx_pool.base + (addr - idx_origin()); }

uint32_t ptr_to_addr(const void *p) { return idx_origin() + ptr_to_ofs(p); }

void *mem_alloc(uint32_t size, bool in_idx) {
    Pool &p = in_idx ? idx_pool : heap_pool;
    if (!p.base) {
        if (in_idx) IDX_ASSERT(!"mem_alloc for idx, without file mapped");
        p.base = static_cast<uint8_t *>(os_reserve(HEAP_POOL_LIMIT));
        heap_error = p.base ? 0 : os_last_error();
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
    if (in_idx && uint64_t{p.end} + size > idx_file.reserved && !reserve_idx(uint64_t{p.end} + size)) return nullptr;
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

void empty_heap_pool() { empty_pool(heap_pool); }

void *ofs_to_ptr(uint32_t ofs) {
    IDX_ASSERT(ofs < idx_pool.end && "invalid offset in index mapping");
    return idx_pool.base + ofs;
}

uint32_t ptr_to_ofs(const void *p) {
    uintptr_t ofs = static_cast<uintptr_t>(static_cast<const uint8_t *>(p) - idx_pool.base);
    IDX_ASSERT(ofs < idx_pool.end && "invalid pointer in index mapping");
    return static_cast<uint32_t>(ofs);
}

static bool is_run_file_name(const std::string &name) {
    return name.size() == sizeof RUN_FILE + 6 && name.compare(0, sizeof RUN_FILE - 1, RUN_FILE) == 0 &&
           name[sizeof RUN_FILE - 1] == '.';
}

bool is_catalogue_run_name(const std::string &name) {
    return name.size() == sizeof CAT_RUN_FILE + 6 && name.compare(0, sizeof CAT_RUN_FILE - 1, CAT_RUN_FILE) == 0 &&
           name[sizeof CAT_RUN_FILE - 1] == '.';
}

// Lets go of the run's file and the directory's lock, removing the file unless it was put in place.
static void release_run(int fd) {
    if (fd >= 0) {
        os_remove_own(fd, idx_file.run_path.c_str()); // fails harmlessly once it is idx.dat
        os_close(fd);
    }
    os_close(idx_file.dir_lock);
    idx_file.dir_lock = -1;
}

int lock_run_file() {
    if (idx_file.run_fd >= 0) return 0;
    if (idx_file.dir_lock < 0) idx_file.dir_lock = os_lock_dir(idx_dir());
    if (idx_file.dir_lock < 0) return -1;
    // With the lock held no run of ours is active here: a run file still lying about was left by
    // one that was killed. Only regular files of this user are removed.
    std::vector<OsDirEntry> entries;
    if (os_dir_list(*idx_dir() ? idx_dir() : ".", entries) == 0)
        for (const OsDirEntry &e : entries)
            if (is_run_file_name(e.name) || is_catalogue_run_name(e.name))
                os_remove_stale(idx_dir_file(e.name.c_str()).c_str());
    idx_file.run_fd = os_create_new(idx_dir(), RUN_FILE, &idx_file.run_path);
    if (idx_file.run_fd < 0) {
        int err = os_last_error();
        release_run(-1);
        os_set_last_error(err);
        return -1;
    }
    return 0;
}

int map_idx_write() {
    idx_pool.limit = std::min(idx_write_limit, IDX_POOL_LIMIT);
    idx_file.room_error = 0;
    if (lock_run_file() != 0) return -1;
    int fd = idx_file.run_fd;
    idx_file.run_fd = -1;
    // The whole 64 MiB is mapped, the file itself grows only as far as room is reserved.
    idx_file.fd = fd;
    idx_file.reserved = 0;
    void *base = os_map(fd, IDX_POOL_LIMIT, true);
    if (!base || !reserve_idx(RESERVE_STEP)) {
        int err = os_last_error();
        if (base) os_unmap(base, IDX_POOL_LIMIT);
        release_run(fd);
        idx_file.fd = -1;
        os_set_last_error(err);
        return -1;
    }
    idx_file.map_size = IDX_POOL_LIMIT;
    idx_file.writable = true;
    idx_pool.base = static_cast<uint8_t *>(base);
    POOL_POISON(base, IDX_POOL_LIMIT); // nothing is allocated in it yet
    return 0;
}

int finish_run_file(bool keep) {
    IDX_ASSERT(idx_pool.base && idx_file.writable && "finish_run_file without a run's file");
    POOL_UNPOISON(idx_pool.base, idx_file.map_size);
    os_unmap(idx_pool.base, idx_file.map_size);
    idx_pool.base = nullptr;
    // Put in place while the directory is still locked, so no other run comes between the steps,
    // and only while the name still is our own regular file.
    bool kept = keep && os_truncate(idx_file.fd, idx_pool.end) == 0 && os_sync(idx_file.fd) == 0 &&
                os_put_in_place(idx_file.fd, idx_file.run_path.c_str(), idx_dir_file(IDX_FILE).c_str()) == 0;
    int err = os_last_error();
    release_run(idx_file.fd);
    idx_file.fd = -1;
    os_set_last_error(err);
    return keep && !kept ? -1 : 0;
}

void *map_idx_read() {
    int fd = os_open_index(idx_dir_file(IDX_FILE).c_str());
    if (fd < 0) return nullptr;
    int64_t size = os_file_size(fd);
    // An empty file cannot be mapped; offsets are 32-bit, so a larger file is no index of ours.
    bool mappable = size > 0 && size <= 0xFFFFFFFFll;
    void *base = nullptr;
    // mmap's EAGAIN is passing (memory briefly short): a few tries before the load gives up.
    for (int tries = 0; mappable && !base && tries < 3; tries++) {
        base = os_map(fd, static_cast<uint64_t>(size), false);
        if (!base && os_last_error() != OS_ERR_AGAIN) break;
    }
    if (!base) {
        // Nothing failed for an empty file: without our own code the caller would read a stale
        // error (often ENOENT from an earlier open) and report the file as missing.
        int err = mappable ? os_last_error() : OS_ERR_INVALID;
        os_close(fd);
        os_set_last_error(err);
        return nullptr;
    }
    idx_file.fd = fd;
    idx_file.map_size = static_cast<uint64_t>(size);
    idx_file.writable = false;
    idx_file.reserved = static_cast<uint64_t>(size);
    idx_pool.base = static_cast<uint8_t *>(base);
    idx_pool.end = idx_pool.used = idx_pool.limit = static_cast<uint32_t>(size);
    idx_pool.free_list = idx_pool.free_count = 0;
    return base;
}

bool idx_file_id(uint64_t *dev, uint64_t *ino) { return idx_pool.base && os_file_id(idx_file.fd, dev, ino); }

void idx_file_ids(std::vector<std::pair<uint64_t, uint64_t>> &ids) {
    ids.clear();
    uint64_t dev, ino;
    if (idx_file_id(&dev, &ino)) ids.emplace_back(dev, ino);
    if (os_path_id(idx_dir_file(IDX_FILE).c_str(), &dev, &ino)) ids.emplace_back(dev, ino);
    // Run files, of a run under way elsewhere or left by one that was killed, and the catalogue.
    std::vector<OsDirEntry> entries;
    if (os_dir_list(*idx_dir() ? idx_dir() : ".", entries) == 0)
        for (const OsDirEntry &e : entries)
            if ((is_run_file_name(e.name) || e.name == RUN_FILE || e.name == CAT_FILE ||
                 is_catalogue_run_name(e.name)) &&
                os_is_regular_nofollow(idx_dir_file(e.name.c_str()).c_str(), &dev, &ino))
                ids.emplace_back(dev, ino);
}

void close_idx_file() {
    if (!idx_pool.base) return;
    POOL_UNPOISON(idx_pool.base, idx_file.map_size); // the address range may be mapped again by others
    os_unmap(idx_pool.base, idx_file.map_size);
    if (idx_file.writable) os_truncate(idx_file.fd, idx_pool.end);
    os_close(idx_file.fd);
    idx_file.fd = -1;
    idx_pool.base = nullptr;
}

char *heap_copy(const char *s, size_t n) {
    auto *p = static_cast<char *>(mem_alloc(static_cast<uint32_t>(n + 1), false));
    if (p) {
        memcpy(p, s, n);
        p[n] = 0;
    }
    return p;
}

std::string heap_reason(const char *full) {
    if (int err = heap_reserve_error())
        return std::string("out of memory: the 8 MiB for file names cannot be reserved: ") + os_error_text(err);
    return full;
}
