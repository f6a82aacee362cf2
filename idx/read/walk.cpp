// The directory walk that fills the file table, breadth first with helper threads listing
// directories ahead of the walker, and the table's fingerprint.
#include "idx/read/files.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "idx/check.h"
#include "idx/read/cdfs.h"
#include "idx/read/pipeline.h"
#include "idx/run.h"
#include "idx/store/hash.h"
#include "idx/store/pool.h"
#include "os/os.h"


std::vector<FileEntry> file_table;
std::vector<DirTime> dir_times;
std::atomic<int> num_files{0};
std::atomic<uint64_t> total_bytes{0};
bool cd_mode = false;
bool files_capped = false;
int slice_first = 0, slice_count = MAX_FILES;

// ---- File enumeration ----

std::string enum_reason(int result, bool loading) {
    // A heap_pool whose memory could not be reserved at all fails a disc's listing too.
    if (result == ENUM_NO_MEMORY || (result == ENUM_CD_UNUSABLE && heap_reserve_error()))
        return heap_reason(REASON_NAMES_FULL);
    if (result == ENUM_CD_UNUSABLE) return cd_fail_reason;
    return loading ? "the indexed folder holds no files any more" : "no file found below the path";
}

int enum_files(const char *path) {
    total_bytes.store(0, std::memory_order_relaxed);
    file_table.clear();
    dir_times.clear();
    num_files.store(0, std::memory_order_relaxed);
    files_capped = false;
    clear_unread();
    close_cd_volume();
    // On a disc or an image the files are listed from the volume's own directories, so that the
    // volume can then be read in one pass in disk order.
    OsVolume vol;
    bool on_volume = os_volume_of(path, &vol);
    if (on_volume) {
        cd_mode = true;
        int r = read_cd_volume(vol);
        // An image has no file system below it to walk instead: the reader's answer stands.
        if (r == 0 || vol.image) return r == 0 ? ENUM_OK : r == 1 ? ENUM_NO_FILES : ENUM_CD_UNUSABLE;
    }
    cd_mode = false;
    file_table.clear();
    // A disc's own directories could not be used: on an optical drive, listings side by side
    // would only make it seek, so one helper lists beside the walker.
    return walk_dir(path, on_volume ? 1 : WALK_HELPERS);
}

// The walk's directories in breadth-first order, listed by the walker and its helpers. Only the
// walker (the thread calling walk_dir) joins listings into the file table, strictly in queue order,
// and it alone appends to the queue: the subdirectories of each directory as it joins it. A helper
// lists any queued directory not yet taken, so it works ahead of the join, never across it, and
// without waiting for a level to end.
struct WalkQueue {
    struct Listing {
        std::vector<OsDirEntry> entries;
        int result = -1;   // os_dir_list's answer
        int error = 0;     // its error code when it failed
        int64_t mtime_sec = 0; // the directory's own time
        uint32_t mtime_nsec = 0;
        bool taken = false; // a thread is listing it, or has
        bool done = false;  // its listing is complete
    };
    std::mutex m;
    std::condition_variable cv;                  // a directory was queued or listed, or the walk ends
    std::vector<const char *> dirs;              // the queue, in breadth-first order (guarded by m)
    std::deque<Listing> lists;                   // lists[i] for dirs[i]; addresses stay put
    size_t next_untaken = 0;                     // every directory before it is taken (guarded by m)
    bool ending = false;                         // the walker is done: the helper returns
};

// Takes the first directory no thread has taken, or returns false. Called with q.m held.
static bool take_next(WalkQueue &q, size_t *i) {
    while (q.next_untaken < q.dirs.size() && q.lists[q.next_untaken].taken) q.next_untaken++;
    if (q.next_untaken == q.dirs.size()) return false;
    *i = q.next_untaken++;
    q.lists[*i].taken = true;
    return true;
}

// Lists directory i (taken by the caller) outside the lock and marks it done.
static void list_taken(WalkQueue &q, std::unique_lock<std::mutex> &lock, size_t i) {
    const char *dir = q.dirs[i];
    WalkQueue::Listing &l = q.lists[i];
    lock.unlock();
    l.result = os_dir_list(dir, l.entries, &l.mtime_sec, &l.mtime_nsec);
    l.error = l.result != 0 ? os_last_error() : 0;
    lock.lock();
    l.done = true;
    q.cv.notify_all();
}

static void walk_helper(void *arg) {
    auto &q = *static_cast<WalkQueue *>(arg);
    std::unique_lock<std::mutex> lock(q.m);
    for (;;) {
        size_t i;
        if (q.ending)
            return;
        else if (take_next(q, &i))
            list_taken(q, lock, i);
        else
            q.cv.wait(lock);
    }
}

// Waits until directory d is listed; the walker lists whatever is untaken, d first, meanwhile.
static void await_listing(WalkQueue &q, size_t d) {
    std::unique_lock<std::mutex> lock(q.m);
    while (!q.lists[d].done) {
        size_t i;
        if (!q.lists[d].taken) {
            q.lists[d].taken = true;
            list_taken(q, lock, d);
        } else if (take_next(q, &i)) {
            list_taken(q, lock, i);
        } else {
            q.cv.wait(lock);
        }
    }
}

static void queue_dir(WalkQueue &q, const char *dir) {
    std::lock_guard<std::mutex> lock(q.m);
    q.dirs.push_back(dir);
    q.lists.emplace_back();
    q.cv.notify_all();
}

int walk_dir(const char *path, int helpers) {
    WalkQueue q;
    q.dirs.push_back(path);
    q.lists.emplace_back();
    OsThread *helper_threads[WALK_HELPERS] = {};
    int started = 0;
    if (threads_wanted() > 1)
        while (started < std::min(helpers, WALK_HELPERS) &&
               (helper_threads[started] = os_thread_start(walk_helper, &q)) != nullptr)
            started++;
    uint64_t bytes = 0;
    bool full = false;
    int passed = 0; // files before the slice, counted and passed over
    // The index file itself may lie in the tree (indexing the current directory): it is left out,
    // both while it is written and when it is loaded, or the tree would never match its index.
    // A run leaves out its own file and the idx.dat it replaces; a load the same files.
    std::vector<std::pair<uint64_t, uint64_t>> skip_ids;
    idx_file_ids(skip_ids);
    // Directories are joined in the order of a first-in first-out queue: each directory's
    // subdirectories, in name order, go to the back of it.
    for (size_t d = 0; !full; d++) {
        {
            std::lock_guard<std::mutex> lock(q.m);
            if (d == q.dirs.size()) break;
        }
        await_listing(q, d);
        WalkQueue::Listing &l = q.lists[d];
        const char *dir = q.dirs[d];
        if (l.result != 0) {
            // Unlistable: its subtree is left out, and the report says so.
            note_left_out(dir, l.error, true);
            continue;
        }
        dir_times.push_back(DirTime{dir, l.mtime_sec, l.mtime_nsec});
        size_t dir_len = strlen(dir);
        for (const OsDirEntry &e : l.entries) {
            if (e.type == OsEntryType::dir) {
                // A path that does not fit our buffers is skipped, never cut, and named.
                size_t len = dir_len + 1 + e.name.size();
                if (len >= static_cast<size_t>(OS_PATH_MAX)) {
                    note_left_out(std::string(dir) + OS_PATH_SEP + e.name, OS_ERR_TOO_LONG, true);
                    continue;
                }
                char *sub = static_cast<char *>(mem_alloc(static_cast<uint32_t>(len + 1), false));
                if (!sub) {
                    full = true;
                    break;
                }
                memcpy(sub, dir, dir_len);
                sub[dir_len] = OS_PATH_SEP;
                memcpy(sub + dir_len + 1, e.name.c_str(), e.name.size() + 1);
                queue_dir(q, sub);
            } else if (e.type == OsEntryType::file) {
                bool index_file = false;
                for (const auto &id : skip_ids) index_file |= e.dev == id.first && e.ino == id.second;
                if (index_file) continue;
                if (dir_len + 1 + e.name.size() >= static_cast<size_t>(OS_PATH_MAX)) {
                    note_left_out(std::string(dir) + OS_PATH_SEP + e.name, OS_ERR_TOO_LONG, false);
                    continue;
                }
                if (passed < slice_first) {
                    passed++;
                    continue;
                }
                if (file_table.size() == static_cast<size_t>(slice_count)) {
                    // File numbers are 16 bits wide: the rest of the tree is left out, and said so.
                    files_capped = true;
                    full = true;
                    break;
                }
                char *name = heap_copy(e.name.c_str(), e.name.size());
                if (!name) {
                    full = true;
                    break;
                }
                uint64_t size = e.size; // whole: a file of 4 GiB or more is read to its end
                file_table.push_back(FileEntry{name, dir, size, 0, KIND_UNKNOWN, e.mtime_sec, e.mtime_nsec});
                bytes += size;
            }
        }
        l.entries = std::vector<OsDirEntry>(); // joined: its memory goes back
    }
    if (started > 0) {
        {
            std::lock_guard<std::mutex> lock(q.m);
            q.ending = true;
            q.cv.notify_all();
        }
        // Each returns once it has finished the listing in hand.
        for (int k = 0; k < started; k++) os_thread_join(helper_threads[k]);
    }
    if (full && !files_capped) {
        // heap_pool ran out of room for names: an incomplete table must not be indexed.
        file_table.clear();
        dir_times.clear();
        total_bytes.store(0, std::memory_order_relaxed);
        num_files.store(0, std::memory_order_relaxed);
        return ENUM_NO_MEMORY;
    }
    total_bytes.store(bytes, std::memory_order_relaxed);
    num_files.store(static_cast<int>(file_table.size()), std::memory_order_relaxed);
    return file_table.empty() ? ENUM_NO_FILES : ENUM_OK;
}

uint32_t table_fingerprint() {
    uint32_t n = static_cast<uint32_t>(file_table.size());
    uint32_t h = fnv_mix(FNV_BASIS, &n, sizeof n);
    for (const FileEntry &e : file_table) {
        h = fnv_mix(h, e.dir_name, strlen(e.dir_name));
        h = fnv_mix(h, "/", 1);
        h = fnv_mix(h, e.file_name, strlen(e.file_name) + 1);
        auto size32 = static_cast<uint32_t>(e.file_size); // as stored fingerprints were made
        h = fnv_mix(h, &size32, sizeof size32);
        // An edit that keeps the size still moves the time, so a stale index is refused.
        h = fnv_mix(h, &e.mtime_sec, sizeof e.mtime_sec);
        h = fnv_mix(h, &e.mtime_nsec, sizeof e.mtime_nsec);
    }
    return h ? h : 1;
}
