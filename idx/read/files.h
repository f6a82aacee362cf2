// The file table: one entry per file of the indexed tree, in the order the run reads them, filled
// by the directory walk or the ISO 9660 reader (idx/read/cdfs.h), with reading a file's block by
// name for excerpts and the list of files a run could not read.
#ifndef OLMAREST_IDX_READ_FILES_H
#define OLMAREST_IDX_READ_FILES_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "idx/engine.h"

struct FileEntry {
    const char *file_name; // name without directory part (heap_pool)
    const char *dir_name;  // directory holding it; shared by the entries of one directory
    uint64_t file_size;    // size, bytes (idx.dat keeps no size; its fingerprint hashes the low 32 bits)
    uint64_t disk_ofs;     // byte offset of the data on a raw CD volume; 0 for walked files
    int32_t kind;          // content kind (idx/kinds.h): KIND_UNKNOWN until detected, <= 0 not extracted
    int64_t mtime_sec;     // modification time as the platform gives it: seconds since 1970
    uint32_t mtime_nsec;   // and nanoseconds; 0 where the platform has none
};

extern std::vector<FileEntry> file_table;

// A directory of a walked tree with its modification time when it was listed: a file added or
// removed since moves it. Its path is the dir_name its files share. Empty for a disc's table.
struct DirTime {
    const char *path;
    int64_t mtime_sec;
    uint32_t mtime_nsec;
};
extern std::vector<DirTime> dir_times;
extern std::atomic<int> num_files;           // UI may read
extern std::atomic<uint64_t> total_bytes;    // UI may read: bytes the run must account for
extern bool cd_mode;                         // the table came from the CD reader
extern bool files_capped;                    // the tree held more than MAX_FILES files; the rest is left out
extern int slice_first, slice_count;         // the walk's part of the tree (set_run_slice)

// Threads that list directories beside the walker. A tree not in the cache is listed at the pace of
// the disk's answers, not of the processor: four listings at once took a cold walk of the
// documentation corpus from about 280 to 180 ms, and a warm one no longer.
constexpr int WALK_HELPERS = 3;
// What enumerating a tree gave: a table with at least one file, or why not.
enum EnumResult {
    ENUM_OK = 0,
    ENUM_NO_FILES = 1,     // the tree (or the subtree of a volume) holds no file
    ENUM_NO_MEMORY = 2,    // the names did not fit heap_pool; the table is left empty
    ENUM_CD_UNUSABLE = 3,  // an image whose reader failed; the reason in cd_fail_reason
};
// The reason for a result other than ENUM_OK; loading: the tree was enumerated to load its index.
std::string enum_reason(int result, bool loading);
// Fills the file table from path: an EnumResult.
int enum_files(const char *path);
// Breadth-first walk, each directory's entries in name order: ENUM_OK, ENUM_NO_FILES or
// ENUM_NO_MEMORY. Up to `helpers` threads list directories beside the caller when more than one
// thread is wanted.
int walk_dir(const char *path, int helpers = WALK_HELPERS);
// Hash of the file table (count, every path, size and modification time, in order); never 0.
uint32_t table_fingerprint();

// The full path of a file ("dir/name") into buf of OS_PATH_MAX bytes; false when it does not fit.
bool join_path(char *buf, unsigned file_num);
// Reads block `block` (READ_SIZE bytes at block * READ_SIZE) of a file by name into buf, which
// holds READ_SIZE bytes and is zeroed first. The bytes read, or -1 when none could be read. The
// file stays open for the next call until read_block_close.
int read_block(unsigned file_num, unsigned block, char *buf);
void read_block_close();

// The files the last run could not read (unread_count, unread_files: idx/engine.h).
void clear_unread();
// Counts file_num as not read (error: the platform's code) and keeps its path while fewer than
// UNREAD_NAMED are named. Indexing thread.
void note_unread(int file_num, int error);
// Counts what the walk left out: a folder it could not list, or a path too long for it. Indexing
// thread (or the loading thread).
void note_left_out(const std::string &path, int error, bool folder);

#endif
