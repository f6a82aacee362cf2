// File acquisition: the file table and its enumeration (directory walk, or the ISO 9660 reader on a
// CD volume or image), and the overlapped read pipeline that delivers every file's data in order to
// detection and extraction and publishes progress. Runs on the indexing thread, or inside
// read_idx on the UI thread for enumeration.
#ifndef OLMAREST_IDX_READ_H
#define OLMAREST_IDX_READ_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

constexpr int MAX_FILES = 65536; // file numbers are stored in 16 bits

struct OsVolume;

struct FileEntry {
    const char *file_name; // name without directory part (heap_pool)
    const char *dir_name;  // directory holding it; shared by the entries of one directory
    uint64_t file_size;    // size, bytes (idx.dat keeps no size; its fingerprint hashes the low 32 bits)
    uint64_t disk_ofs;     // byte offset of the data on a raw CD volume; 0 for walked files
    int32_t kind;          // content kind (idx/detect.h): KIND_UNKNOWN until detected, <= 0 not extracted
    int64_t mtime_sec;     // modification time as the platform gives it: seconds since 1970
    uint32_t mtime_nsec;   // and nanoseconds; 0 where the platform has none
};

extern std::vector<FileEntry> file_table;
extern std::atomic<int> num_files;           // UI may read
extern std::atomic<uint64_t> total_bytes;    // UI may read: bytes the run must account for
extern bool cd_mode;                         // the table came from the CD reader
extern bool files_capped;                    // the tree held more than MAX_FILES files; the rest is left out

// Whether path names something to index: an existing directory, an ISO 9660 image file, or a
// path inside one (which need not exist in it: the run then finds no file). The windows and the
// command line ask this before they start a run ("Please enter a valid pathname !").
bool valid_index_path(const char *path);
// Threads that list directories beside the walker. A tree not in the cache is listed at the pace of
// the disk's answers, not of the processor: four listings at once took a cold walk of the
// documentation corpus from about 280 to 180 ms, and a warm one no longer.
constexpr int WALK_HELPERS = 3;
// Fills the file table from path. 0 when it holds at least one file, nonzero otherwise.
int enum_files(const char *path);
// Breadth-first walk, each directory's entries in name order. 0, or 1 when no file was found, or
// WALK_NO_MEMORY when the names did not fit heap_pool (the table is then left empty). Up to
// `helpers` threads list directories beside the caller when more than one thread is wanted.
int walk_dir(const char *path, int helpers = WALK_HELPERS);
constexpr int WALK_NO_MEMORY = 2;
constexpr int CD_UNUSABLE = 3; // enum_files: an image whose reader failed; the reason in cd_fail_reason
// Hash of the file table (count, every path, size and modification time, in order); never 0.
uint32_t table_fingerprint();

// The full path of a file ("dir/name") into buf of OS_PATH_MAX bytes; false when it does not fit.
bool join_path(char *buf, unsigned file_num);
// Reads block `block` (READ_SIZE bytes at block * READ_SIZE) of a file by name into buf, which
// holds READ_SIZE bytes and is zeroed first. The bytes read, or -1 when none could be read. The
// file stays open for the next call until read_block_close.
int read_block(unsigned file_num, unsigned block, char *buf);
void read_block_close();

// What the last run left out of its index: files it could not read (gone, refused when opened,
// or a read the device failed, the blocks before it indexed), folders the walk could not list,
// and paths too long for it. The run still succeeds; its report names them. Written by the
// indexing thread, cleared when an enumeration starts; the UI reads them once status_idx() is no
// longer 1.
constexpr int UNREAD_NAMED = 5; // how many are kept by name
struct UnreadFile {
    std::string path; // full path
    int error;        // the platform's code of the call that failed (os_error_text)
    bool folder;      // a folder whose files are all left out
};
extern int unread_count;                     // files and folders left out, all of them
extern std::vector<UnreadFile> unread_files; // the first UNREAD_NAMED of them, in the order met
void clear_unread();
// The report's note on them: a heading, one line per named one (its path shown as display_name
// shows names, and the reason), then how many more; empty when nothing was left out.
std::vector<std::string> unread_note();
// ---- ISO 9660 volume reader ----

constexpr uint32_t FS_BUF_SIZE = 4194304; // bytes loaded from the start of a volume: its directories
constexpr uint32_t CD_SECTOR = 2048;      // logical block of every volume we read

// The raw volume a CD table came from: its descriptor while a run may read it (-1 otherwise), the
// device path excerpts open it by, and the span of it that holds the table's files, bytes.
struct CdVolume {
    int fd;
    const char *device; // heap_pool; null until a volume was read
    uint64_t span_start, span_end;
};
extern CdVolume cd_volume;
void close_cd_volume(); // closes the descriptor, keeps the device path for excerpts

// Fills the file table from the ISO 9660 structures of the CD volume that holds path, sorted by
// position on the volume, and sets cd_volume with the volume left open. 0 when the table holds a
// file, 1 when the subtree holds none, -1 when the volume cannot be opened, read or understood.
// Any nonzero result leaves the table empty and the reason in cd_fail_reason.
int read_cd_fs(const char *path);
int read_cd_volume(const OsVolume &vol);
extern const char *cd_fail_reason;

// The listing step of read_cd_fs over `loaded` bytes from the start of a volume of volume_size
// bytes (0: unknown). Reads nothing outside [area, area + loaded). Files of the subtree (components
// joined by '/') get dir_name paths built on root, which the caller keeps alive. Fills the table
// and *span_start, *span_end; results as read_cd_fs.
int list_cd_files(const uint8_t *area, uint32_t loaded, uint64_t volume_size, const char *root,
                  const char *subtree, uint64_t *span_start, uint64_t *span_end);

// CD mode's delivery of one read of the volume span: n bytes of data read at volume offset pos.
// Hands each entry's part of them, from entry cur_fn on, to detection and extraction with cur_fn,
// cur_block and cur_dir set, and moves cur_fn past every entry whose data ends in them. When the
// next entry starts 1 MiB or more past *next_ofs (the next read to issue), moves *next_ofs up to
// it (rounded down to READ_SIZE), unless next_ofs is at or past end_ofs. Indexing thread only.
void split_cd_block(const char *data, uint32_t n, uint64_t pos, uint64_t *next_ofs, uint64_t end_ofs);
// read_block for a table from the CD reader: READ_SIZE bytes of the file's data at block * READ_SIZE,
// read from the volume, never past the file's end.
int read_cd_block(unsigned file_num, unsigned block, char *buf);

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
