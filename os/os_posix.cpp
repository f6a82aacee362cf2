// Linux implementation of the platform layer: files, mappings, memory, directories, threads, time.
// The asynchronous reads live in os_io_posix.cpp.
#include "os/os.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- System calls, through the replaceable table ----

struct OsThread {
    pthread_t id;
    void (*fn)(void *);
    void *arg;
};

namespace {

int sys_open(int dir_fd, const char *path, int sys_flags, int mode) {
    return openat(dir_fd, path, sys_flags, mode);
}

long sys_pread(int fd, void *buf, size_t len, uint64_t ofs) {
    return static_cast<long>(pread(fd, buf, len, static_cast<off_t>(ofs)));
}

void *sys_map(int fd, uint64_t size, bool writable) {
    void *p = fd < 0 ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                     : mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

int sys_truncate(int fd, uint64_t size) { return ftruncate(fd, static_cast<off_t>(size)); }

int sys_allocate(int fd, uint64_t ofs, uint64_t len) {
    int e = posix_fallocate(fd, static_cast<off_t>(ofs), static_cast<off_t>(len));
    if (e == EOPNOTSUPP || e == EINVAL) {
        // A file system that cannot reserve: zeros written are as sure, if slower. The range lies
        // past everything stored, so the zeros overwrite nothing.
        static const char zeros[65536] = {};
        for (uint64_t done = 0; done < len;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof zeros, len - done));
            ssize_t w = pwrite(fd, zeros, n, static_cast<off_t>(ofs + done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return -1;
            done += static_cast<uint64_t>(w);
        }
        return 0;
    }
    errno = e;
    return e == 0 ? 0 : -1;
}

void *thread_main(void *p) {
    auto *t = static_cast<OsThread *>(p);
    t->fn(t->arg);
    return nullptr;
}

int sys_thread_create(OsThread *t) {
    int e = pthread_create(&t->id, nullptr, thread_main, t);
    if (e != 0) errno = e;
    return e == 0 ? 0 : -1;
}

int sys_rename(const char *from, const char *to, bool no_replace) {
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, no_replace ? RENAME_NOREPLACE : 0);
}

long sys_pwrite(int fd, const void *buf, size_t len, uint64_t ofs) {
    return pwrite(fd, buf, len, static_cast<off_t>(ofs));
}

} // namespace

const OsSysTable os_sys_default{sys_open,          sys_pread,    sys_map,    sys_truncate,
                                sys_thread_create, sys_allocate, sys_rename, sys_pwrite};
OsSysTable os_sys = os_sys_default;
const int OS_CWD = AT_FDCWD;

namespace {

int open_flags(int flags) {
    int f = O_RDONLY | O_CLOEXEC;
    if (flags & OS_DIRECT) f |= O_DIRECT;
    return f;
}

void advise(int fd, int flags) {
    if (flags & OS_SEQUENTIAL) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (flags & OS_RANDOM) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
}

// The direct-I/O alignment of the descriptor opened last on this thread: the open's statx
// already tells it, so reading a file costs no extra call.
thread_local int align_fd = -1;
thread_local uint32_t align_bytes = 4096;

uint32_t dio_align_of(const struct statx &stx) {
#ifdef STATX_DIOALIGN
    if ((stx.stx_mask & STATX_DIOALIGN) && stx.stx_dio_offset_align >= 512 && stx.stx_dio_offset_align <= 65536)
        return std::max(stx.stx_dio_offset_align, stx.stx_dio_mem_align);
#else
    (void)stx;
#endif
    return 4096;
}

#ifdef STATX_DIOALIGN
constexpr unsigned STATX_WANTED = STATX_TYPE | STATX_DIOALIGN;
#else
constexpr unsigned STATX_WANTED = STATX_TYPE;
#endif

// Opens with O_DIRECT when asked; file systems that refuse it (EINVAL: tmpfs, some FUSE) get a
// buffered descriptor instead, which the read path treats alike.
int open_at(int dir_fd, const char *path, int flags) {
    // O_NONBLOCK: a FIFO that slipped past enumeration must never block the indexing thread.
    bool direct = flags & OS_DIRECT;
    int fd = os_sys.open(dir_fd, path, open_flags(flags) | O_NONBLOCK, 0);
    if (fd < 0 && errno == EINVAL && direct) {
        direct = false;
        fd = os_sys.open(dir_fd, path, open_flags(flags & ~OS_DIRECT) | O_NONBLOCK, 0);
    }
    if (fd < 0) return -1;
    struct statx stx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_WANTED, &stx) != 0 || !S_ISREG(stx.stx_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    fcntl(fd, F_SETFL, direct ? O_DIRECT : 0); // back to blocking; the status flags are ours
    if (!direct) advise(fd, flags); // the hints only matter to the page cache
    align_fd = fd;
    align_bytes = dio_align_of(stx);
    return fd;
}

} // namespace

int os_open(const char *path, int flags) { return open_at(AT_FDCWD, path, flags); }

int os_open_in(int dir_fd, const char *name, int flags) { return open_at(dir_fd, name, flags); }

int os_dir_open(const char *path) {
    return os_sys.open(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
}

void os_close(int fd) {
    if (fd == align_fd) align_fd = -1;
    if (fd >= 0) close(fd);
}

long os_read_at(int fd, void *buf, uint32_t len, uint64_t ofs) {
    uint32_t got = 0;
    while (got < len) {
        long n = os_sys.pread(fd, static_cast<char *>(buf) + got, len - got, ofs + got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL && (fcntl(fd, F_GETFL) & O_DIRECT)) {
            // Misaligned for direct I/O (a short tail, a device with larger sectors): go buffered.
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_DIRECT);
            continue;
        }
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<uint32_t>(n);
    }
    return static_cast<long>(got);
}

int64_t os_file_size(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return st.st_size;
}

int os_truncate(int fd, uint64_t size) { return os_sys.truncate(fd, size) == 0 ? 0 : -1; }

int os_allocate(int fd, uint64_t ofs, uint64_t len) { return os_sys.allocate(fd, ofs, len) == 0 ? 0 : -1; }

uint32_t os_dio_align(int fd) {
    if (fd == align_fd) return align_bytes;
    struct statx stx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_WANTED, &stx) != 0) return 4096;
    return dio_align_of(stx);
}

int os_open_index(const char *path) {
    // Without O_NONBLOCK, opening a FIFO to read waits for a writer, for ever.
    int fd = os_sys.open(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = S_ISREG(st.st_mode) ? errno : OS_ERR_NOT_FILE;
        close(fd);
        errno = e;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    return fd;
}

namespace {

std::string dir_path(const char *dir, const char *name) {
    std::string p = dir && *dir ? dir : "";
    if (!p.empty() && p.back() != '/') p += '/';
    return p + name;
}

// The process's umask, read without changing it (umask() would, for every thread at once).
mode_t current_umask() {
    FILE *f = fopen("/proc/self/status", "re");
    unsigned mask = 022;
    if (f) {
        char line[128];
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "Umask: %o", &mask) == 1) break;
        fclose(f);
    }
    return static_cast<mode_t>(mask & 0777);
}

// Whether path itself is the file open as fd.
bool is_our_file(int fd, const char *path) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && lstat(path, &named) == 0 && S_ISREG(named.st_mode) &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

int os_create_new(const char *dir, const char *prefix, std::string *path) {
    static const char ALNUM[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> counter{0};
    // The name need not be unguessable: O_EXCL refuses whatever is planted at it.
    uint64_t x = static_cast<uint64_t>(os_ticks()) ^ (static_cast<uint64_t>(getpid()) << 32);
    for (int tries = 0; tries < 100; tries++) {
        x = x * 6364136223846793005ull + 1442695040888963407ull + counter.fetch_add(1);
        char suffix[8] = ".";
        for (int i = 0; i < 6; i++) suffix[1 + i] = ALNUM[(x >> (8 * i + 16)) % 62];
        suffix[7] = 0;
        std::string p = dir_path(dir, prefix) + suffix;
        int fd = os_sys.open(AT_FDCWD, p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *path = p;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1; // every name tried was taken: EEXIST
}

int os_put_in_place(int fd, const char *from, const char *to, bool no_replace) {
    if (!is_our_file(fd, from)) {
        errno = OS_ERR_NOT_FILE;
        return -1;
    }
    if (os_sys.rename(from, to, no_replace) != 0) return -1;
    fchmod(fd, 0644 & ~current_umask());
    return 0;
}

int os_remove_own(int fd, const char *path) {
    if (!is_our_file(fd, path)) {
        errno = OS_ERR_NOT_FILE;
        return -1;
    }
    return unlink(path) == 0 ? 0 : -1;
}

int os_remove_stale(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        errno = OS_ERR_NOT_FILE;
        return -1;
    }
    return unlink(path) == 0 ? 0 : -1;
}

int os_lock_dir(const char *dir) {
    int fd = os_sys.open(AT_FDCWD, dir && *dir ? dir : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? OS_ERR_IN_USE : errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool os_is_regular_nofollow(const char *path, uint64_t *dev, uint64_t *ino) {
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *dev = static_cast<uint64_t>(st.st_dev);
    *ino = static_cast<uint64_t>(st.st_ino);
    return true;
}

void *os_map(int fd, uint64_t size, bool writable) {
    if (size == 0) return nullptr;
    return os_sys.map(fd, size, writable);
}

void os_unmap(void *p, uint64_t size) {
    if (p) munmap(p, size);
}

void *os_reserve(size_t size) { return os_sys.map(-1, size, true); }

void os_release(void *p, size_t size) {
    if (p) munmap(p, size);
}

int os_dir_list(const char *path, std::vector<OsDirEntry> &out, int64_t *dir_time, uint32_t *dir_time_nsec) {
    out.clear();
    int dfd = os_sys.open(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dfd < 0) return -1;
    if (dir_time) {
        struct stat st;
        bool ok = fstat(dfd, &st) == 0;
        *dir_time = ok ? static_cast<int64_t>(st.st_mtim.tv_sec) : 0;
        if (dir_time_nsec) *dir_time_nsec = ok ? static_cast<uint32_t>(st.st_mtim.tv_nsec) : 0;
    }
    // The entries straight from the kernel: a stream (fdopendir) would cost an fstat and an fcntl
    // per directory, and a tree of many small directories is listed on every load.
    alignas(8) char buf[32768];
    for (;;) {
        ssize_t n = getdents64(dfd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // a failing directory keeps what was listed before, as readdir did
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const struct dirent64 *>(buf + at);
            at += e->d_reclen;
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            OsDirEntry entry{name, OsEntryType::other, 0, 0, 0, 0, 0};
            struct stat st;
            // A directory is known from its type alone; a file needs one stat for its size.
            bool need_stat = e->d_type == DT_REG || e->d_type == DT_LNK || e->d_type == DT_UNKNOWN;
            if (e->d_type == DT_DIR) {
                entry.type = OsEntryType::dir;
            } else if (need_stat && fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISDIR(st.st_mode)) entry.type = OsEntryType::dir;
                // A link counts as a file only when it leads to one; links to directories are not
                // entered, so link loops cannot trap the walk.
                if (S_ISLNK(st.st_mode) && fstatat(dfd, name, &st, 0) != 0) continue;
                if (S_ISREG(st.st_mode)) {
                    entry.type = OsEntryType::file;
                    entry.size = static_cast<uint64_t>(st.st_size);
                    entry.dev = static_cast<uint64_t>(st.st_dev);
                    entry.ino = static_cast<uint64_t>(st.st_ino);
                    entry.mtime_sec = static_cast<int64_t>(st.st_mtim.tv_sec);
                    entry.mtime_nsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
                }
            }
            out.push_back(std::move(entry));
        }
    }
    close(dfd);
    std::sort(out.begin(), out.end(), [](const OsDirEntry &a, const OsDirEntry &b) { return a.name < b.name; });
    return 0;
}

bool os_file_id(int fd, uint64_t *dev, uint64_t *ino) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return false;
    *dev = static_cast<uint64_t>(st.st_dev);
    *ino = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool os_is_special(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && !S_ISREG(st.st_mode);
}

bool os_stat(const char *path, OsFileStat *out) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *out = OsFileStat{S_ISREG(st.st_mode), S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size),
                      static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)};
    return true;
}

int os_write_at(int fd, const void *buf, size_t len, uint64_t ofs) {
    const auto *p = static_cast<const char *>(buf);
    for (size_t done = 0; done < len;) {
        long w = os_sys.pwrite(fd, p + done, len - done, ofs + done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return -1;
        }
        done += static_cast<size_t>(w);
    }
    return 0;
}

bool os_is_dir(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

OsThread *os_thread_start(void (*fn)(void *), void *arg) {
    auto *t = new OsThread{{}, fn, arg};
    if (os_sys.thread_create(t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

bool os_thread_ended(OsThread *t) {
    if (pthread_tryjoin_np(t->id, nullptr) != 0) return false;
    delete t;
    return true;
}

void os_thread_join(OsThread *t) {
    pthread_join(t->id, nullptr);
    delete t;
}

void os_sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int64_t os_ticks() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t os_tick_rate() { return 1000000000; }

int os_last_error() { return errno; }

// Codes of our own lie above every errno value, so no system call's failure can pass for them.
const int OS_ERR_IN_USE = 0x10001;
const int OS_ERR_NOT_FILE = 0x10002;
const int OS_ERR_PAST_END = 0x10003;
const int OS_ERR_TOO_BIG = 0x10004;
const int OS_ERR_DAMAGED = 0x10005;
const int OS_ERR_HELD_TOO_BIG = 0x10006;
const int OS_ERR_MEMBER_TOO_BIG = 0x10007;
const int OS_ERR_ENTITIES = 0x10008;
const int OS_ERR_ENCRYPTED = 0x10009;
const int OS_ERR_NO_TEXT = 0x1000A;
const int OS_ERR_READER_STOPPED = 0x1000B;
const int OS_ERR_NO_READER = 0x1000C;
const int OS_ERR_DOC_DAMAGED = 0x1000D;

const char *os_error_text(int code) {
    if (code == OS_ERR_IN_USE) return "in use by another program";
    if (code == OS_ERR_NOT_FILE) return "not a regular file";
    if (code == OS_ERR_PAST_END) return "its data lies past the end of the volume";
    if (code == OS_ERR_TOO_BIG) return "it inflates to more than 256 MiB; the words of its first 256 MiB are indexed";
    if (code == OS_ERR_DAMAGED) return "its compressed data is damaged or cut short; the words before that are indexed";
    if (code == OS_ERR_HELD_TOO_BIG) return "a document larger than 64 MiB, the most held in memory to read one; left out";
    if (code == OS_ERR_MEMBER_TOO_BIG)
        return "a part of it inflates to more than 64 MiB; the words of its first 64 MiB are indexed";
    if (code == OS_ERR_ENTITIES) return "its XML declares entities, which are never expanded; the words before them are indexed";
    if (code == OS_ERR_ENCRYPTED) return "it is encrypted; its words cannot be read";
    if (code == OS_ERR_NO_TEXT) return "it holds no text (scanned pages or pictures only)";
    if (code == OS_ERR_READER_STOPPED)
        return "its reader crashed or passed its time or memory limit; the words before that are indexed";
    if (code == OS_ERR_DOC_DAMAGED) return "the document is damaged or cut short; the words before that are indexed";
    if (code == OS_ERR_NO_READER) return "olmarest-pdftext, which reads PDF files, is not beside the program";
    return strerror(code);
}

const int OS_ERR_NOT_FOUND = ENOENT;
const int OS_ERR_INVALID = EINVAL;
const int OS_ERR_IO = EIO;
const int OS_ERR_AGAIN = EAGAIN;
const int OS_ERR_EXISTS = EEXIST;
const int OS_ERR_TOO_LONG = ENAMETOOLONG;
const int OS_ERR_NO_MEMORY = ENOMEM;

void os_set_last_error(int code) { errno = code; }


bool os_program_dir(char *buf, size_t n) {
    char exe[PATH_MAX];
    ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (len <= 0) return false;
    exe[len] = 0;
    char *slash = strrchr(exe, '/');
    if (!slash) return false;
    *slash = 0;
    if (strlen(exe) + 1 > n) return false;
    strcpy(buf, exe);
    return true;
}

int os_make_dirs(const char *path) {
    std::string p = path;
    // Each prefix ending before a separator, then the whole path; existing ones are fine.
    for (size_t i = 1; i <= p.size(); i++) {
        if (i < p.size() && p[i] != '/') continue;
        std::string part = p.substr(0, i);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    }
    return os_is_dir(path) ? 0 : (errno = ENOTDIR, -1);
}

int os_copy_file(const char *from, const char *to) {
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    // Written under a fresh name beside to and put in place only when whole, without replacing
    // anything: a link planted at to is never followed, and half a copy is never seen.
    std::string target = to, dir = ".", name = target;
    if (size_t slash = target.rfind('/'); slash != std::string::npos) {
        dir = slash == 0 ? "/" : target.substr(0, slash);
        name = target.substr(slash + 1);
    }
    std::string tmp;
    int out = os_create_new(dir.c_str(), name.c_str(), &tmp);
    if (out < 0) {
        int e = errno;
        close(in);
        errno = e;
        return -1;
    }
    char buf[65536];
    ssize_t n;
    bool ok = true;
    while (ok && (n = read(in, buf, sizeof buf)) != 0) {
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
            if (w > 0)
                done += w;
            else if (errno != EINTR)
                ok = false;
        }
    }
    if (ok) ok = os_put_in_place(out, tmp.c_str(), to, true) == 0;
    int e = errno;
    close(in);
    if (!ok) os_remove_own(out, tmp.c_str());
    close(out);
    if (!ok) {
        errno = e;
        return -1;
    }
    return 0;
}

int os_rename(const char *from, const char *to) { return rename(from, to) == 0 ? 0 : -1; }

int os_remove(const char *path) { return unlink(path) == 0 ? 0 : -1; }

int os_sync(int fd) { return fdatasync(fd) == 0 ? 0 : -1; }

bool os_path_id(const char *path, uint64_t *dev, uint64_t *ino) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *dev = st.st_dev;
    *ino = st.st_ino;
    return true;
}
