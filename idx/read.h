// File acquisition: the file table and its enumeration (directory walk; the ISO 9660 reader
// comes later), and the overlapped read pipeline that delivers every file's data in order to
// detection and extraction and publishes progress. Runs on the indexing thread, or inside
// read_idx on the UI thread for enumeration.
#ifndef OLMAREST_IDX_READ_H
#define OLMAREST_IDX_READ_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

constexpr int MAX_FILES = 65536; // file numbers are stored in 16 bits

struct FileEntry {
    const char *file_name; // name without directory part (heap_pool)
    const char *dir_name;  // directory holding it; shared by the entries of one directory
    uint32_t file_size;    // low 32 bits of the size, bytes
    uint32_t disk_ofs;     // byte offset on a raw CD volume; 0 for walked files
    int32_t kind;          // content kind (idx/detect.h): KIND_UNKNOWN until detected, <= 0 not extracted
    int64_t mtime_sec;     // modification time as the platform gives it: seconds since 1970
    uint32_t mtime_nsec;   // and nanoseconds; 0 where the platform has none
};

extern std::vector<FileEntry> file_table;
extern std::atomic<int> num_files;           // UI may read
extern std::atomic<uint64_t> total_bytes;    // UI may read: bytes the run must account for
extern bool cd_mode;                         // the table came from the CD reader
extern bool files_capped;                    // the tree held more than MAX_FILES files; the rest is left out

// Fills the file table from path. 0 when it holds at least one file, nonzero otherwise.
int enum_files(const char *path);
// Breadth-first walk, each directory's entries in name order. 0, or 1 when no file was found, or
// WALK_NO_MEMORY when the names did not fit heap_pool (the table is then left empty).
int walk_dir(const char *path);
constexpr int WALK_NO_MEMORY = 2;
// Hash of the file table (count, every path, size and modification time, in order); never 0.
uint32_t table_fingerprint();

// The full path of a file ("dir/name") into buf of OS_PATH_MAX bytes; false when it does not fit.
bool join_path(char *buf, unsigned file_num);
// Reads block `block` (READ_SIZE bytes at block * READ_SIZE) of a file by name into buf, which
// holds READ_SIZE bytes and is zeroed first. The bytes read, or -1 when none could be read.
int read_block(unsigned file_num, unsigned block, char *buf);

// Files the last run could not read: gone, refused when opened, or a read the device failed (the
// blocks before it were indexed). The run still succeeds; its report names them. Written by the
// indexing thread, cleared when a run starts; the UI reads them once status_idx() is no longer 1.
constexpr int UNREAD_NAMED = 5; // how many are kept by name
struct UnreadFile {
    std::string path; // full path
    int error;        // the platform's code of the call that failed (os_error_text)
};
extern int unread_count;                     // files not read, all of them
extern std::vector<UnreadFile> unread_files; // the first UNREAD_NAMED of them, in table order
void clear_unread();

// ---- Read pipeline ----

constexpr uint32_t READ_SIZE = 32768; // bytes of every read but a file's last
constexpr int NUM_SLOTS = 8;          // reads in flight

extern std::atomic<uint64_t> total_bytes_read; // UI may read: bytes accounted so far
extern std::atomic<float> cur_throughput;      // UI may read: bytes per second
extern int cur_fn;                             // file number of the data being delivered
extern int cur_block;                          // its 32 KiB block number within the file
extern const char *cur_dir;                    // directory of the file last opened, or the loaded path
extern bool pass_log;                          // write the "%d %.2f" line per pass to standard error

// Reads and delivers every file of the table. 0 when all data was delivered, -1 when cancelled
// or the run failed (a read error fails it with "read error on <path>"). Indexing thread only.
int read_files();
double get_seconds(); // seconds since the first call
void sample_rate();   // the pass-rate filter behind cur_throughput
extern int passes_per_sec;

// For tests: sample_rate with the time t (seconds) given, and the filter back to its start state.
void sample_rate_at(double t);
void reset_rate_filter();

// For tests: the driver's bookkeeping between runs. After any run, cancelled ones included, every
// slot is free, nothing is pending or waiting, no file is open and issue_seq == deliver_seq.
struct ReadState {
    int busy_slots;       // slots holding a read
    int finished;         // entries of the reorder buffer
    int pending;          // reads issued and not completed
    int open_files;       // requests still open
    uint64_t issue_seq;   // sequence number the next read gets
    uint64_t deliver_seq; // sequence number delivered next
};
ReadState read_state();

#endif
