// The index lifecycle: starting a run (create_idx) with its indexing thread, watching and
// cancelling it, and the end of a run that makes its file the index.
#include "idx/index.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "idx/catalogue.h"
#include "idx/check.h"
#include "idx/idxdir.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "idx/run.h"
#include "idx/text/detect.h"
#include "idx/text/extract.h"
#include "os/os.h"

static const char UNIT[] = "idx/index";


// The lifecycle's own state. Owned by the UI thread, except that the indexing thread writes ok and
// the header while it runs; status_idx reads ok only after the thread has been joined.
struct Lifecycle {
    OsThread *thread;                    // the indexing thread while it has not been joined
    bool ok;                             // the last run succeeded
    bool cancelled;                      // the last run ended on a cancel request
    IdxHeader *header;                   // header of the index being built
};
static Lifecycle life;
CancelKept cancel_kept = CancelKept::none;



// Whether read_idx will be able to load what this run built: a load empties heap_pool, copies the
// word directory into it and then enumerates the tree again, whose names take what they took in
// this run (all that heap_pool holds now). Both together must fit.
static bool load_will_fit() {
    uint64_t need = uint64_t{heap_pool.end} + 4ull * static_cast<uint32_t>(word_table.D);
    return need <= HEAP_POOL_LIMIT;
}

static void load_stop_list() {
    int fd = os_open(idx_dir_file("stopwords.txt").c_str(), OS_RANDOM);
    if (fd < 0) return;
    constexpr uint32_t STOP_BYTES = 32768;
    auto *buf = static_cast<char *>(mem_alloc(STOP_BYTES, false));
    if (buf) {
        long n = os_read_at(fd, buf, STOP_BYTES, 0);
        loading_stops = true;
        extract_plain(buf, n > 0 ? static_cast<int>(n) : 0);
        loading_stops = false;
        // A word cut by the end of the bytes read is no stop word, and must not run on into the
        // first file's text either.
        extract_reset();
        mem_free(buf, STOP_BYTES);
    }
    os_close(fd);
}


static void index_thread(void *arg) {
    const char *path = static_cast<const char *>(arg);
    word_mode = MODE_INDEX;
    life.ok = false;
    life.cancelled = false;
    if (int r = enum_files(path); r != ENUM_OK) {
        set_reason(enum_reason(r, false).c_str());
        finish_run_file(false); // the previous idx.dat stays as it was
        return;
    }
    // An abort pressed while the tree was still being enumerated ends the run too.
    OsThread *recorder = start_recording();
    int r = cancel_requested.load(std::memory_order_relaxed) ? -1 : read_files();
    finish_recording(recorder);
    close_cd_volume(); // a disc's volume stays open only for the run's reads
    if (run_failed) {
        finish_run_file(false);
        return;
    }
    if (!load_will_fit()) {
        // Reported now rather than by every later load; the previous idx.dat stays.
        set_reason("the index would not load: its file names and word directory need more than "
                   "the 8 MiB of memory for them");
        finish_run_file(false);
        return;
    }
    // A user who cancels expects the index they had. Only when there was none does the index of
    // the files read so far become idx.dat: some index is better than none.
    if (r != 0) {
        uint64_t dev, ino;
        bool had_index = os_path_id(idx_dir_file(IDX_FILE).c_str(), &dev, &ino);
        if (had_index) {
            finish_run_file(false);
            life.cancelled = true;
            cancel_kept = CancelKept::previous;
            set_reason(REASON_CANCELLED_KEPT);
            return;
        }
    }
    life.header->D = static_cast<uint32_t>(word_table.D);
    life.header->depth = static_cast<uint32_t>(word_table.depth);
    life.header->dir = ptr_to_addr(word_table.dir);
    life.header->fingerprint = table_fingerprint();
    // The catalogue goes in place after idx.dat: a crash between the two leaves an old catalogue
    // that no longer matches, which a load refuses ("refresh needed") and walks the tree instead.
    std::string why;
    CatalogueTie tie{idx_pool.end, life.header->base, life.header->fingerprint};
    bool catalogued = write_run_catalogue(tie, describe_volume(path), &why) == 0;
    if (finish_run_file(true) != 0) {
        drop_run_catalogue();
        char text[192];
        snprintf(text, sizeof text, "idx.dat cannot be replaced (the previous index is kept): %s",
                 os_error_text(os_last_error()));
        set_reason(text);
        return;
    }
    if (catalogued) catalogued = put_run_catalogue(&why) == 0;
    if (!catalogued) {
        os_remove(idx_dir_file(CAT_FILE).c_str());
        set_load_note(("the catalogue idx.files could not be written (" + why +
                       "); the index loads by walking the tree").c_str());
    }
    life.ok = r == 0;
    life.cancelled = !life.ok;
    if (life.cancelled) {
        cancel_kept = CancelKept::partial;
        set_reason(REASON_CANCELLED_PARTIAL);
    }
}

int status_idx() {
    if (life.thread) {
        if (!os_thread_ended(life.thread)) return IDX_ACTIVE;
        life.thread = nullptr;
    }
    return life.ok ? IDX_DONE : IDX_NONE;
}

bool idx_cancelled() { return status_idx() == IDX_NONE && life.cancelled; }

bool table_capped() { return files_capped; }

// The slice asked for the next run; each run takes it and leaves the whole tree for the one after.
static int next_first = 0, next_count = MAX_FILES;

void set_run_slice(int first, int count) {
    next_first = first > 0 ? first : 0;
    next_count = count > 0 && count < MAX_FILES ? count : MAX_FILES;
}

int files_that_fit() { return status_idx() == IDX_NONE ? full_fn.load(std::memory_order_relaxed) : -1; }

int files_indexed() { return total_bytes_read.load(std::memory_order_relaxed) > 0 ? cur_fn + 1 : 0; }

Progress progress() {
    constexpr auto relaxed = std::memory_order_relaxed;
    return Progress{num_files.load(relaxed),          total_bytes.load(relaxed),
                    total_bytes_read.load(relaxed),   cur_throughput.load(relaxed),
                    unique_words.load(relaxed),       total_words.load(relaxed),
                    text_processed.load(relaxed)};
}


// Why the run's file could not be had.
static void refuse_run(int err) {
    if (err == OS_ERR_IN_USE) {
        set_reason(REASON_IN_USE);
        return;
    }
    if (err == OS_ERR_NO_MEMORY) {
        set_reason((std::string("out of memory: the 64 MiB mapping of the index file cannot be made: ") +
                    os_error_text(err)).c_str());
        return;
    }
    char text[192];
    snprintf(text, sizeof text, "idx.dat cannot be created: %s", os_error_text(err));
    set_reason(text);
}

int create_idx(const char *path) {
    if (status_idx() == IDX_ACTIVE) {
        IDX_ASSERT(!"create_idx while indexing active");
        return -1;
    }
    clear_reason();
    if (strlen(path) >= static_cast<size_t>(IDX_PATH_SIZE)) {
        set_reason("path too long: the index keeps at most 259 bytes of it");
        return -1;
    }
    // A FIFO or device named idx.dat is no index of ours: neither waited on nor replaced.
    if (os_is_special(idx_dir_file(IDX_FILE).c_str())) {
        set_reason("idx.dat is not a regular file");
        return -1;
    }
    // The run's file is locked before anything is given up: a refused run leaves the loaded
    // index loaded and the previous outcome standing.
    if (lock_run_file() != 0) {
        refuse_run(os_last_error());
        return -1;
    }
    life.ok = false;
    life.cancelled = false;
    cancel_kept = CancelKept::none;
    slice_first = next_first;
    slice_count = next_count;
    set_run_slice(0, MAX_FILES);
    clear_unread();
    set_load_note("");
    reset_pools();
    reset_recording();
    unload_index();
    if (map_idx_write() != 0) {
        if (idx_room_error()) {
            char text[192];
            snprintf(text, sizeof text, "no room for the index file: %s", os_error_text(idx_room_error()));
            set_reason(text);
        } else {
            refuse_run(os_last_error());
        }
        return -1;
    }
    life.header = static_cast<IdxHeader *>(mem_alloc(sizeof(IdxHeader), true));
    life.header->base = idx_origin();
    memcpy(life.header->path, path, strlen(path)); // the rest of the field is the mapping's zeros
    tbl_init(word_table);
    load_stop_list();
    cancel_requested.store(false, std::memory_order_relaxed);
    // Taken before the thread starts: from then on the pools are the thread's, and reading
    // idx_pool here would race with its first allocations.
    int in_use = static_cast<int>(idx_pool.used);
    life.thread = os_thread_start(index_thread, const_cast<char *>(path));
    if (!life.thread) {
        set_reason("the indexing thread cannot be started");
        finish_run_file(false); // the previous idx.dat stays; the lock goes with the descriptor
        return -1;
    }
    return in_use;
}

int cancel_idx() {
    if (status_idx() != IDX_ACTIVE) return -1;
    cancel_requested.store(true, std::memory_order_relaxed);
    return 0;
}

void set_formats(unsigned formats) { detect_formats = formats & FORMATS_ALL; }

bool parse_formats(const char *list, unsigned *formats) {
    std::string all(list);
    unsigned set = 0;
    size_t at = 0;
    for (;;) {
        size_t comma = all.find(',', at);
        std::string name = all.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (name == "gzip")
            set |= FORMAT_GZIP;
        else if (name == "utf16")
            set |= FORMAT_UTF16;
        else if (name == "office")
            set |= FORMAT_OFFICE;
        else if (name == "pdf")
            set |= FORMAT_PDF;
        else if (name == "all")
            set |= FORMATS_ALL;
        else if (name != "none")
            return false;
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    *formats = set;
    return true;
}
