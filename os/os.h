// Platform layer: every operating-system service the engine uses, behind short os_ functions.
// idx/ includes this header and no system header; os_posix.cpp implements it for Linux.
// Unless a contract says otherwise a function may be called from any thread, and reports
// failure as -1 (or null) with the reason left in os_last_error().
#ifndef OLMAREST_OS_OS_H
#define OLMAREST_OS_OS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr char OS_PATH_SEP = '/';
constexpr int OS_PATH_MAX = 4096; // longest path a buffer of ours must hold, NUL included

// os_open flags.
constexpr int OS_DIRECT = 1;     // bypass the page cache (FILE_FLAG_NO_BUFFERING); silently buffered if refused
constexpr int OS_SEQUENTIAL = 2; // sequential-scan hint
constexpr int OS_RANDOM = 4;     // random-access hint

// Files (CreateFileA for reading, CloseHandle). Return a descriptor >= 0, or -1.
int os_open(const char *path, int flags);
int os_open_in(int dir_fd, const char *name, int flags); // name relative to an os_dir_open descriptor
int os_dir_open(const char *path);                       // a directory descriptor for os_open_in
void os_close(int fd);

// ReadFile at an offset: reads until len bytes or end of file (retrying EINTR and short reads).
// Returns the bytes read, or -1.
long os_read_at(int fd, void *buf, uint32_t len, uint64_t ofs);
int64_t os_file_size(int fd);                // GetFileSize, whole 64 bits; -1 on failure
int os_truncate(int fd, uint64_t size);      // SetEndOfFile
uint32_t os_dio_align(int fd);               // direct-I/O alignment of the file; 4096 when unknown
// Gives [ofs, ofs + len) of fd room on the disk, growing the file over it, so that stores through
// a mapping there cannot fault for want of space (posix_fallocate; zeros written where the file
// system cannot reserve). 0, or -1: no room (ENOSPC), or the file would pass the process's file
// size limit (EFBIG, when SIGXFSZ is ignored).
int os_allocate(int fd, uint64_t ofs, uint64_t len);

// Opens an existing "idx.dat" read only, without any lock: writers only ever put a new file in its
// place, so readers need no exclusion from each other or from a run. Refuses anything but a
// regular file at once (OS_ERR_NOT_FILE), without waiting on a FIFO.
int os_open_index(const char *path);

// Files the programs write into a directory that others may share (-d /tmp, a group directory).
// Creates a new regular file in dir ("" for the current directory) named prefix, a dot and six
// random characters: read-write, mode 0600, with O_EXCL and O_NOFOLLOW, so that no link or file
// planted there is ever opened; a name taken is passed over for another. Its path goes to *path.
// A descriptor, or -1.
int os_create_new(const char *dir, const char *prefix, std::string *path);
// Renames from, a file made by os_create_new and open as fd, to `to` (replacing it atomically, a
// link there included, never its target), but only while from still is that very regular file;
// the file then gets mode 0644 less the umask. With no_replace an existing `to` is left alone
// (fails, OS_ERR_EXISTS). 0, or -1 (OS_ERR_NOT_FILE when from is no longer ours).
int os_put_in_place(int fd, const char *from, const char *to, bool no_replace = false);
// Removes path when it still is the file open as fd; 0 or -1.
int os_remove_own(int fd, const char *path);
// Removes path when it is a regular file of this user with one link (left by a process of ours
// that was killed); anything else is left alone. 0 or -1.
int os_remove_stale(const char *path);
// Locks directory dir ("" for the current one) exclusively against every other holder of this
// lock, in any process, without creating anything in it. A descriptor to os_close to let go, or -1
// (OS_ERR_IN_USE when another holds it).
int os_lock_dir(const char *dir);
// Whether path itself (not what a link there leads to) is a regular file; the device and inode then.
bool os_is_regular_nofollow(const char *path, uint64_t *dev, uint64_t *ino);

// Whether path names something other than a regular file (following links); false when it names
// a regular file or nothing.
bool os_is_special(const char *path);

// Mappings (CreateFileMappingA + MapViewOfFile, UnmapViewOfFile) of [0, size) of fd, MAP_SHARED.
void *os_map(int fd, uint64_t size, bool writable);
void os_unmap(void *p, uint64_t size);

// Committed, zeroed, page-aligned memory (VirtualAlloc MEM_COMMIT / VirtualFree).
void *os_reserve(size_t size);
void os_release(void *p, size_t size);

// Directories (FindFirstFileA / FindNextFileA). Lists the entries of path, without "." and "..",
// sorted bytewise by name so every file system gives the same order. Returns 0, or -1 when the
// directory cannot be listed.
enum class OsEntryType { file, dir, other };
struct OsDirEntry {
    std::string name;
    OsEntryType type; // symbolic links: file when they lead to a regular file, else other
    uint64_t size;    // files only
    uint64_t dev;     // files only: device and inode, which say whether two names are one file
    uint64_t ino;
    int64_t mtime_sec;   // files only: modification time, seconds since 1970
    uint32_t mtime_nsec; // and nanoseconds
};
// dir_time, when not null, receives the directory's own modification time (seconds, nanoseconds).
int os_dir_list(const char *path, std::vector<OsDirEntry> &out, int64_t *dir_time = nullptr,
                uint32_t *dir_time_nsec = nullptr);
bool os_is_dir(const char *path);
// What stat says of a path, following links: whether it is there, a regular file or a directory,
// its size and modification time. False (with os_last_error) when it cannot be had.
struct OsFileStat {
    bool is_file, is_dir;
    uint64_t size;
    int64_t mtime_sec;
    uint32_t mtime_nsec;
};
bool os_stat(const char *path, OsFileStat *st);
// Where a folder lives: the UUID of its file system (from /dev/disk/by-uuid; "" when it has none,
// as tmpfs and overlays) and its path below that file system's mount point. False when the mount
// cannot be found.
bool os_folder_volume(const char *path, std::string *uuid, std::string *below);
// The mount point at which the file system of that UUID is mounted now; "" when it is not.
std::string os_uuid_mount(const std::string &uuid);
// Candidate roots of mounted discs: the mount points of iso9660 and udf file systems and of
// optical drives, and the folders directly below /media and /run/media/<user>.
std::vector<std::string> os_disc_mounts();
// Device and inode of an open file; false when they cannot be had.
bool os_file_id(int fd, uint64_t *dev, uint64_t *ino);

// Volumes (GetDriveTypeA == DRIVE_CDROM, the raw volume "\\.\X:"). A path is on a CD volume
// when a prefix of it is a regular file holding an ISO 9660 volume ("CD001" at byte 32769), or
// when it lies on a mounted iso9660 or udf file system or an optical device.
struct OsVolume {
    std::string device;  // the raw volume to open: the image file, or the mount's source device
    std::string root;    // the volume's root as a path: the image's path as given, or the mount point
    std::string subtree; // the path below the root: components joined by '/', "" for the root
    bool image;          // an image file: there is no file system below it to walk instead
};
// True when path lies on a CD volume, with vol filled; false otherwise (vol then unspecified).
bool os_volume_of(const char *path, OsVolume *vol);
// Opens a raw volume for reading (flags as os_open: OS_DIRECT when possible); sets *size to its
// length in bytes. A descriptor, or -1 (a missing device, no permission, neither a file nor a
// block device).
int os_open_volume(const char *device, int flags, uint64_t *size);
// For tests: the mount-table half of os_volume_of, over mountinfo text (as /proc/self/mountinfo
// holds it) and a path already resolved to its real form.
bool os_mount_volume(const char *resolved, const std::string &mountinfo, OsVolume *vol);

// Threads (_beginthreadex, WaitForSingleObject). os_thread_ended joins and frees the thread once it
// has ended and then returns true; call it until it does. os_thread_join waits for the end, then
// joins and frees the thread.
struct OsThread;
OsThread *os_thread_start(void (*fn)(void *), void *arg);
bool os_thread_ended(OsThread *t);
void os_thread_join(OsThread *t);
void os_sleep_ms(int ms);

// Time (QueryPerformanceCounter / Frequency).
int64_t os_ticks();
int64_t os_tick_rate();

// Errors (GetLastError / SetLastError, FormatMessageA). Codes are the system's own; the engine
// tells apart only the named ones below. Per thread.
int os_last_error();
void os_set_last_error(int code);
const char *os_error_text(int code); // the system's text for a code
extern const int OS_ERR_NOT_FOUND;   // no such file or directory
extern const int OS_ERR_IN_USE;      // locked by another process (a code of ours, shared with no system call)
extern const int OS_ERR_NOT_FILE;    // not a regular file: a FIFO, a device, a directory (ours too)
extern const int OS_ERR_INVALID;     // an argument the call cannot take (a file that cannot be mapped)
extern const int OS_ERR_IO;          // the device failed to read
extern const int OS_ERR_AGAIN;       // a passing shortage: the call may succeed when tried again
extern const int OS_ERR_PAST_END;    // data that lies past the end of its volume (ours)
extern const int OS_ERR_TOO_BIG;     // compressed data that inflates past the limit per file (ours)
extern const int OS_ERR_DAMAGED;     // compressed data damaged or cut short (ours)
extern const int OS_ERR_HELD_TOO_BIG; // a document too big to be held whole in memory to be read (ours)
extern const int OS_ERR_MEMBER_TOO_BIG; // a member of a document's archive inflates past its limit (ours)
extern const int OS_ERR_ENTITIES;    // XML that declares entities, which are never expanded (ours)
extern const int OS_ERR_ENCRYPTED;   // a document locked by a password (ours)
extern const int OS_ERR_NO_TEXT;     // a document without text, such as scanned pages (ours)
extern const int OS_ERR_READER_STOPPED; // the helper reading a document crashed or passed its limits (ours)
extern const int OS_ERR_DOC_DAMAGED; // a document damaged or cut short, or not what its first bytes say (ours)
extern const int OS_ERR_NO_READER;   // the helper that reads a kind of document is not installed (ours)
extern const int OS_ERR_EXISTS;      // the name is taken
extern const int OS_ERR_TOO_LONG;    // a path longer than OS_PATH_MAX
extern const int OS_ERR_NO_MEMORY;   // no memory or address space left (ulimit -v)

// Directory of the program file, with no trailing separator; false when it cannot be found
// or does not fit n bytes.
bool os_program_dir(char *buf, size_t n);

// ---- Helper processes ----

// How a helper process ended (os_run_helper).
enum OsHelperEnd {
    OS_HELPER_EXITED = 0,    // it exited; *code holds its exit status
    OS_HELPER_CRASHED = 1,   // a signal ended it (a crash, or a limit it set on itself)
    OS_HELPER_TIMED_OUT = 2, // it ran past its time and was killed
    OS_HELPER_STOPPED = 3,   // the taker wanted no more output; it was killed
    OS_HELPER_NOT_RUN = 4,   // it could not be started (no program file, no memory)
};
// Takes a piece of a helper's standard output; false to stop it. Also called with n == 0 every
// tenth of a second while no output comes, so that a helper can be stopped while it works.
using OsHelperOut = bool (*)(void *ctx, const char *data, size_t n);
// Runs the program file argv[0] with the n bytes at data as its standard input (a file in memory,
// so nothing waits on the helper reading it), standard error discarded, and hands its standard
// output to out as it comes. After wall_ms milliseconds it is killed. Answers an OsHelperEnd.
int os_run_helper(const char *const *argv, const char *data, size_t n, int wall_ms, OsHelperOut out, void *ctx,
                  int *code);
// Limits the calling process: seconds of processor time and bytes of address space (0: left as is).
void os_limit_self(int cpu_seconds, uint64_t address_bytes);
// Whether path names a file this process may run.
bool os_can_run(const char *path);


// Asynchronous reads (ReadFileEx + completion routine, SleepEx alertable, CancelIo).
// Completion routines run only inside os_wait_io, on the thread that calls it, once for every
// read that os_read_async accepted, cancelled ones included (with 0 bytes).
// Threads: the back ends keep unlocked queues, so os_read_async, os_wait_io and os_cancel_io are
// called by one thread at a time (the indexing thread during a run), the one that issued the reads
// it waits for.
using OsIoDone = void (*)(void *user, long bytes); // bytes transferred, 0 on error or cancel
// Queues one read of len bytes at ofs into buf (aligned for direct I/O). Returns 0 when accepted,
// -1 when refused (no completion will follow).
int os_read_async(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done);
// Submits what is queued and waits until at least one completion routine has run.
// Returns the number of routines run, 0 when nothing was in flight. Should the waiting itself fail,
// every read in flight completes as failed (0 bytes, os_io_error() OS_ERR_IO), so no read is left without its
// routine.
int os_wait_io();
// Cancels the reads of fd in flight; they still complete (with 0 bytes) in a later os_wait_io.
void os_cancel_io(int fd);
// Inside a completion routine: the error code of the read it reports (OS_ERR_IO when the device
// failed), or 0 when the read succeeded, reached the end of the file or was cancelled. 0 elsewhere.
int os_io_error();

// Which asynchronous back end is in use: "uring", "sync" or a test's own. Chosen once, at the
// first os_read_async: io_uring when available, else sync; OLMAREST_IO=sync forces sync.
const char *os_io_backend();

// Back end table, replaceable by tests (for example to complete reads in a scrambled order).
struct OsIoBackend {
    const char *name;
    int (*read_async)(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done);
    int (*wait_io)();
    void (*cancel_io)(int fd);
};
// Installs a back end (null: choose again as at start). Only while no read is in flight.
void os_set_io_backend(const OsIoBackend *backend);

// Directories and files of the index directory (CreateDirectoryA, CopyFileA, MoveFileExA).
int os_make_dirs(const char *path);               // makes path and missing parents (0700); 0 or -1
// to must not exist yet; it appears whole or not at all, made as os_create_new makes files. 0 or -1.
int os_copy_file(const char *from, const char *to);
int os_rename(const char *from, const char *to);    // replaces to atomically (MOVEFILE_REPLACE_EXISTING)
int os_remove(const char *path);                    // DeleteFileA
int os_sync(int fd);                                // FlushFileBuffers: the file's data on the disk
// Writes all len bytes at ofs (WriteFile); 0, or -1 when any could not be written.
int os_write_at(int fd, const void *buf, size_t len, uint64_t ofs);
bool os_path_id(const char *path, uint64_t *dev, uint64_t *ino); // device and inode of a named file

// ---- Fault injection ----

// The system calls behind this layer, one pointer each, so that a test can make one of them fail
// (the third read of a file with OS_ERR_IO, the mapping of idx.dat, ...) and pass the rest on to
// os_sys_default. A replacement fails as the system call does: -1 (null for map) with its code set
// by os_set_last_error. The asynchronous reads of the synchronous back end go through pread.
// Replace and restore (os_sys = os_sys_default) only while no other thread uses the layer.
struct OsSysTable {
    int (*open)(int dir_fd, const char *path, int sys_flags, int mode); // openat; OS_CWD: current dir
    long (*pread)(int fd, void *buf, size_t len, uint64_t ofs);          // bytes read, or -1
    void *(*map)(int fd, uint64_t size, bool writable);                  // fd -1: private memory
    int (*truncate)(int fd, uint64_t size);                              // 0 or -1
    int (*thread_create)(OsThread *t);                                   // starts t; 0 or -1
    int (*allocate)(int fd, uint64_t ofs, uint64_t len);                 // posix_fallocate; 0 or -1
    int (*rename)(const char *from, const char *to, bool no_replace);    // renameat2; 0 or -1
    long (*pwrite)(int fd, const void *buf, size_t len, uint64_t ofs);   // bytes written, or -1
};
extern OsSysTable os_sys;
extern const OsSysTable os_sys_default;
extern const int OS_CWD; // dir_fd of a path relative to the current directory

#endif
