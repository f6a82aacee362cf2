#include "idx/read.h"

#include <cstring>
#include <deque>

#include "idx/check.h"
#include "idx/detect.h"
#include "idx/extract.h"
#include "idx/index.h"
#include "os/os.h"

static const char UNIT[] = "idx/read";

std::vector<FileEntry> file_table;
std::atomic<int> num_files{0};
std::atomic<uint64_t> total_bytes{0};
bool cd_mode = false;
bool files_capped = false;

std::atomic<uint64_t> total_bytes_read{0};
std::atomic<float> cur_throughput{0};
int cur_fn = 0;
int cur_block = 0;
const char *cur_dir = nullptr;
bool pass_log = true;
static int next_file = -1;

// ---- File enumeration ----

// A copy of s in heap_pool, or null when the pool is full.
static char *heap_string(const char *s, size_t len) {
    char *p = static_cast<char *>(mem_alloc(static_cast<uint32_t>(len + 1), false));
    if (p) {
        memcpy(p, s, len);
        p[len] = 0;
    }
    return p;
}

int enum_files(const char *path) {
    total_bytes.store(0, std::memory_order_relaxed);
    file_table.clear();
    num_files.store(0, std::memory_order_relaxed);
    files_capped = false;
    // The raw ISO 9660 reader is not built yet: every path is walked.
    cd_mode = false;
    return walk_dir(path);
}

int walk_dir(const char *path) {
    next_file = -1;
    std::deque<const char *> queue{path};
    std::vector<OsDirEntry> entries;
    uint64_t bytes = 0;
    bool full = false;
    while (!queue.empty() && !full) {
        const char *dir = queue.front();
        queue.pop_front();
        if (os_dir_list(dir, entries) != 0) continue; // unlistable: its subtree is left out
        size_t dir_len = strlen(dir);
        for (const OsDirEntry &e : entries) {
            if (e.type == OsEntryType::dir) {
                // A path that does not fit our buffers is skipped, never cut.
                size_t len = dir_len + 1 + e.name.size();
                if (len >= static_cast<size_t>(OS_PATH_MAX)) continue;
                char *sub = static_cast<char *>(mem_alloc(static_cast<uint32_t>(len + 1), false));
                if (!sub) {
                    full = true;
                    break;
                }
                memcpy(sub, dir, dir_len);
                sub[dir_len] = OS_PATH_SEP;
                memcpy(sub + dir_len + 1, e.name.c_str(), e.name.size() + 1);
                queue.push_back(sub);
            } else if (e.type == OsEntryType::file) {
                if (dir_len + 1 + e.name.size() >= static_cast<size_t>(OS_PATH_MAX)) continue;
                if (file_table.size() == static_cast<size_t>(MAX_FILES)) {
                    // File numbers are 16 bits wide: the rest of the tree is left out, and said so.
                    files_capped = true;
                    full = true;
                    break;
                }
                char *name = heap_string(e.name.c_str(), e.name.size());
                if (!name) {
                    full = true;
                    break;
                }
                uint32_t size = static_cast<uint32_t>(e.size & 0xFFFFFFFFu);
                file_table.push_back(FileEntry{name, dir, size, 0, 1});
                bytes += size;
            }
        }
    }
    if (full && !files_capped) {
        // heap_pool ran out of room for names: an incomplete table must not be indexed.
        file_table.clear();
        fail_run("too many file names for memory (8 MiB)");
        total_bytes.store(0, std::memory_order_relaxed);
        num_files.store(0, std::memory_order_relaxed);
        return 1;
    }
    total_bytes.store(bytes, std::memory_order_relaxed);
    num_files.store(static_cast<int>(file_table.size()), std::memory_order_relaxed);
    return file_table.empty() ? 1 : 0;
}

uint32_t table_fingerprint() {
    uint32_t h = 2166136261u;
    auto mix = [&h](const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i < n; i++) h = (h ^ b[i]) * 16777619u;
    };
    uint32_t n = static_cast<uint32_t>(file_table.size());
    mix(&n, sizeof n);
    for (const FileEntry &e : file_table) {
        mix(e.dir_name, strlen(e.dir_name));
        mix("/", 1);
        mix(e.file_name, strlen(e.file_name) + 1);
        mix(&e.file_size, sizeof e.file_size);
    }
    return h ? h : 1;
}

// ---- Read pipeline ----

double get_seconds() {
    static double period = 0;
    static int64_t start = 0;
    if (period == 0) {
        period = 1.0 / static_cast<double>(os_tick_rate());
        start = os_ticks();
    }
    return static_cast<double>(os_ticks() - start) * period;
}

int passes_per_sec = 0;

void sample_rate() {}

// Placeholder driver: reads each file synchronously, in order, until the overlapped pipeline lands.
int read_files() {
    cancel_requested.store(false, std::memory_order_relaxed);
    total_bytes_read.store(0, std::memory_order_relaxed);
    cur_fn = 0;
    cur_block = 0;
    static char buf[READ_SIZE];
    for (size_t i = 0; i < file_table.size(); i++) {
        if (cancel_requested.load(std::memory_order_relaxed) || run_failed) return -1;
        FileEntry &e = file_table[i];
        cur_fn = static_cast<int>(i);
        if (e.file_size > 0) {
            char p[OS_PATH_MAX];
            snprintf(p, sizeof p, "%s/%s", e.dir_name, e.file_name);
            int fd = os_open(p, 0);
            if (fd >= 0) {
                for (uint32_t ofs = 0; ofs < e.file_size; ofs += READ_SIZE) {
                    long n = os_read_at(fd, buf, READ_SIZE, ofs);
                    if (n <= 0) break;
                    cur_block = static_cast<int>(ofs / READ_SIZE);
                    if (e.kind == 1) e.kind = detect_type(buf, static_cast<int>(n));
                    if (e.kind <= 0) break;
                    extract_words(buf, static_cast<int>(n), e.kind);
                }
                extract_end_file();
                os_close(fd);
            }
        }
        total_bytes_read.fetch_add(e.file_size, std::memory_order_relaxed);
    }
    IDX_ASSERT(total_bytes_read == total_bytes && "not all data read");
    return 0;
}
