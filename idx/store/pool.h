// The two memory pools and the index file they live in: heap_pool (names and copies, process
// memory) and idx_pool (the mapping of "idx.dat"), bump-allocated, with the recycling of posting
// buckets and the helpers that turn offsets and stored 32-bit addresses into pointers. The leaf the
// word table and the file table stand on.
//
// Owner: the indexing thread during a run; the UI thread otherwise (create_idx, read_idx, queries).
#ifndef OLMAREST_IDX_STORE_POOL_H
#define OLMAREST_IDX_STORE_POOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr uint32_t BUCKET_SIZE = 32;           // bytes of a Bucket, the only size recycled
constexpr uint32_t IDX_POOL_LIMIT = 64u << 20; // bytes mapped while an index is built
constexpr uint32_t HEAP_POOL_LIMIT = 8u << 20; // bytes of the heap pool

struct Pool {
    uint8_t *base;       // start of the pool's memory, null while it has none
    uint32_t end;        // bump offset: bytes up to the end of the last block handed out
    uint32_t used;       // live bytes
    uint32_t limit;      // capacity in bytes
    uint32_t free_list;  // address of the most recently released bucket of idx_pool
    uint32_t free_count; // buckets on the free list (an address may be 0, so the count ends it)
};
extern Pool heap_pool; // file table strings, stop-list buffer, loaded directory copy
extern uint32_t idx_write_limit; // how large a run's index file may grow: IDX_POOL_LIMIT; tests lower it
extern Pool idx_pool;  // the mapping of idx.dat

// A block of size bytes from idx_pool (in_idx) or heap_pool, or null when it does not fit.
// 32-byte blocks of idx_pool are 32-aligned and recycled through the free list.
void *mem_alloc(uint32_t size, bool in_idx);
// Gives back a block: the last one of its pool (the pool shrinks) or a bucket of idx_pool.
void mem_free(void *p, uint32_t size);
void reset_pools();     // both pools empty; base and limit stay
// A NUL-terminated copy of the n bytes at s in heap_pool, or null when the pool is full.
char *heap_copy(const char *s, size_t n);
void empty_heap_pool(); // heap_pool alone empty
// A NUL-terminated copy of the n bytes at s in heap_pool, or null when the pool is full.
char *heap_copy(const char *s, size_t n);

void *ofs_to_ptr(uint32_t ofs);     // Requires: ofs < idx_pool.end
uint32_t ptr_to_ofs(const void *p); // Requires: p inside the used part of idx_pool
uint32_t idx_origin();              // the 32-bit origin of addresses in the current mapping
void *addr_to_ptr(uint32_t addr);   // a stored address of the current mapping as a pointer
uint32_t ptr_to_addr(const void *p);

// A run builds the index in a file of its own beside idx.dat (the same directory, so the same file
// system), made fresh under a new name RUN_FILE.XXXXXX, and puts it in place of idx.dat only when
// it ends as the lifecycle decides: a failed or killed run leaves the previous idx.dat as it was. A
// lock on the index directory is what makes a second run, in any process, "in use"; loads take no
// lock, and a process that has idx.dat loaded keeps its mapping of the old file.
constexpr char IDX_FILE[] = "idx.dat";
constexpr char RUN_FILE[] = "idx.dat.tmp";
// The catalogue beside idx.dat (idx/catalogue.h), and the name a run writes it under first
// ("idx.files.tmp.XXXXXX"). Walks leave both out, like idx.dat.
constexpr char CAT_FILE[] = "idx.files";
constexpr char CAT_RUN_FILE[] = "idx.files.tmp";
bool is_catalogue_run_name(const std::string &name);

// Locks the index directory (idx/idxdir) against other runs, removes run files that killed runs
// of ours left, and makes the run's new file, without touching anything else, so a refusal costs
// nothing. 0, or -1 (os_last_error: OS_ERR_IN_USE when another run holds the directory). A no-op
// while it is held already.
int lock_run_file();
// Maps 64 MiB of the run's file read-write (making it first if lock_run_file was not called); 0 or -1.
int map_idx_write();
// Why the run's file could not be given room (os error code: no space, file size limit), when
// map_idx_write or an allocation in idx_pool failed for it; 0 otherwise.
int idx_room_error();
// Why heap_pool has no memory (its 8 MiB could not be reserved: out of memory or address space);
// 0 when it has its memory or was never asked for any.
int heap_reserve_error();
// Why names or a loaded directory did not fit heap_pool: full (the reason given), or its memory
// could not be had at all (a low ulimit -v), which is no fault of the tree or the index.
std::string heap_reason(const char *full);
// Ends the run's file: with keep, cuts it to idx_pool.end, writes it to the disk and renames it to
// idx.dat in one step; otherwise (or when that fails) removes it. Lets go of the directory's lock.
// 0, or -1 when keep failed.
int finish_run_file(bool keep);
void *map_idx_read();  // maps the existing idx.dat read-only; its start, or null
void close_idx_file(); // unmaps, cuts the file to idx_pool.end when written, closes
// Device and inode of the open index file; false when none is open.
bool idx_file_id(uint64_t *dev, uint64_t *ino);
// Device and inode of every file of the index directory a walk must leave out: the open index
// file, idx.dat, and every run file (RUN_FILE or RUN_FILE.XXXXXX).
void idx_file_ids(std::vector<std::pair<uint64_t, uint64_t>> &ids);

#endif
