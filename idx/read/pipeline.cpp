#include "idx/read/pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "idx/check.h"
#include "idx/read/cdfs.h"
#include "idx/read/decode.h"
#include "idx/read/files.h"
#include "idx/run.h"
#include "idx/text/detect.h"
#include "idx/text/extract.h"
#include "os/os.h"

static const char UNIT[] = "idx/read";

std::atomic<uint64_t> total_bytes_read{0};
std::atomic<float> cur_throughput{0};
int cur_fn = 0;
int cur_block = 0;
const char *cur_dir = nullptr;
bool pass_log = false;

// ---- Read pipeline ----

constexpr uint64_t NO_MORE = ~uint64_t{0}; // next_ofs of a request that issues no more reads

// The reading state of one open source: a file in walk mode, the volume span in CD mode.
// Offsets are 64-bit so that rounding the end of a file just under 4 GiB cannot wrap.
struct ReadRequest {
    int fd;            // file or volume descriptor
    int file_num;      // walk mode
    uint64_t next_ofs; // offset of the next read to issue, bytes; NO_MORE when none
    uint64_t base_ofs; // offset that counts as zero progress: 0, or the span start in CD mode
    uint64_t end_ofs;  // reading stops here: file_size rounded up to the direct-I/O alignment
    int refs;          // slots holding one of its reads; the descriptor is closed when the last goes
    bool ended;        // the file's data has ended; later blocks are passed over
    bool in_use;       // open, or still referenced by a slot
};

struct ReadSlot {
    char *data;       // READ_SIZE bytes, page-aligned for direct I/O
    uint64_t ofs;     // file offset of the read, bytes
    uint64_t seq;     // issue sequence number
    long bytes;       // bytes transferred, set by read_done
    int error;        // the read's error code when it failed, else 0; set by read_done
    ReadRequest *req; // null: the slot is free
};

// The read driver's bookkeeping. Owned by the indexing thread (read_files and the completion
// routines it runs inside os_wait_io); tests look at it through read_state() between runs.
struct ReadPipeline {
    ReadSlot slots[NUM_SLOTS]{};
    bool slots_made = false;                // slot buffers allocated (once per process)
    std::vector<ReadSlot *> finished_reads; // completed, in completion order, until delivered
    // At most one request per busy slot plus the current one are alive at a time.
    ReadRequest requests[NUM_SLOTS + 1]{};
    ReadRequest *cur_req = nullptr;         // the request reads are issued from in walk mode
    ReadRequest cd_span{-1, 0, NO_MORE, 0, 0, 0, false, false}; // CD mode: filled by the volume reader
    uint64_t issue_seq = 0;                 // sequence number the next read gets
    uint64_t deliver_seq = 0;               // sequence number delivered next
    int reads_pending = 0;                  // issued and not yet completed
    bool done = false;                      // nothing more to issue
    uint64_t pass_bytes = 0;                // bytes delivered in the current pass
    int dir_fd = -1;                        // descriptor of the directory files are opened in
    const char *dir_fd_name = nullptr;      // the dir_name it was opened for
    int next_file = -1;                     // walk mode: the last file number taken up
};
static ReadPipeline rp;

// total_bytes_read has one writer: a relaxed load and store, no read-modify-write per block.
static void count_done(uint64_t n) {
    total_bytes_read.store(total_bytes_read.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

double get_seconds() {
    // Function-local statics: the UI thread may make the first call while the indexing thread runs.
    static const double period = 1.0 / static_cast<double>(os_tick_rate());
    static const int64_t start = os_ticks();
    return static_cast<double>(os_ticks() - start) * period;
}

// Pass-rate filter state; it lives for the process and carries over from run to run. Owned by
// the indexing thread (tests call sample_rate_at between runs).
struct RateFilter {
    double last_sample; // time of the last sample, seconds; 0 before the first
    float samples[10];  // the last ten pass rates, passes per second
    float sample_sum;   // their sum
    unsigned sample_idx; // where the next one goes
    int outliers;       // samples in a row more than 5 % off the last one
};
static RateFilter rf;
int passes_per_sec = 0;

void sample_rate_at(double t) {
    double dt = t - rf.last_sample;
    // Two samples within one clock tick would give an infinite rate and poison the sum for good.
    float rate = rf.last_sample <= 0 ? 30.0f : static_cast<float>(dt > 1e-9 ? 1.0 / dt : 1e9);
    rf.last_sample = t;
    float p1 = rf.samples[(rf.sample_idx + 9) % 10];
    float p2 = rf.samples[(rf.sample_idx + 8) % 10];
    int trend = p2 > p1 && p1 > rate ? -1 : p2 < p1 && p1 < rate ? 1 : 0;
    if (std::fabs(p1 - rate) > 0.05f * p1) {
        if (rf.outliers++ == 0) return; // one sample off by more than 5 % is dropped; a second is taken
    } else {
        rf.outliers = 0;
    }
    rf.sample_sum -= rf.samples[rf.sample_idx];
    rf.samples[rf.sample_idx] = rate;
    rf.sample_sum += rate;
    rf.sample_idx = (rf.sample_idx + 1) % 10;
    float avg = 0.1f * rf.sample_sum;
    auto r = static_cast<float>(passes_per_sec);
    if ((trend == 1 && (r < avg || avg - r < -4)) || (trend == -1 && (r > avg || avg - r > 4)) ||
        std::fabs(r - avg) > std::min(0.05f * r, 5.0f))
        passes_per_sec = static_cast<int>(avg);
}

void sample_rate() { sample_rate_at(get_seconds()); }

void reset_rate_filter() {
    rf = RateFilter{};
    passes_per_sec = 0;
}

// The read buffers, once per process; false when their memory cannot be had (a low ulimit -v),
// which input can cause and so ends the run with its reason rather than an assertion.
static bool make_slots() {
    auto *mem = static_cast<char *>(os_reserve(size_t{NUM_SLOTS} * READ_SIZE));
    if (!mem) return false;
    for (int i = 0; i < NUM_SLOTS; i++)
        rp.slots[i] = ReadSlot{mem + size_t{READ_SIZE} * i, 0, 0, 0, 0, nullptr};
    rp.finished_reads.reserve(NUM_SLOTS);
    rp.slots_made = true;
    return true;
}

static void close_request(ReadRequest *r) {
    os_close(r->fd);
    r->fd = -1;
    r->in_use = false;
}

// Frees a delivered (or abandoned) slot; a request closes once it issues nothing more and no slot
// holds one of its reads, so a retried or cancelled read never meets a reused descriptor number.
static void free_slot(ReadSlot *s) {
    ReadRequest *r = s->req;
    s->req = nullptr;
    if (--r->refs == 0 && r->next_ofs >= r->end_ofs && r != &rp.cd_span) close_request(r);
}

// Completion routine: runs inside os_wait_io on the indexing thread, once per accepted read.
static void read_done(void *user, long bytes) {
    auto *s = static_cast<ReadSlot *>(user);
    s->bytes = bytes;
    s->error = bytes > 0 ? 0 : os_io_error();
    rp.reads_pending--;
    rp.finished_reads.push_back(s);
}

// The request to read from next in walk mode: the current file until it runs out, then the next
// file of the table that opens.
static ReadRequest *next_request() {
    if (rp.cur_req && rp.cur_req->next_ofs < rp.cur_req->end_ofs) return rp.cur_req;
    rp.cur_req = nullptr;
    while (rp.next_file < num_files.load(std::memory_order_relaxed) - 1) {
        int fn = ++rp.next_file;
        const FileEntry &e = file_table[static_cast<size_t>(fn)];
        cur_dir = e.dir_name;
        if (e.file_size == 0) continue;
        if (rp.dir_fd_name != e.dir_name) {
            // Entries of one directory share their dir_name string: one open per directory.
            os_close(rp.dir_fd);
            rp.dir_fd = os_dir_open(e.dir_name);
            rp.dir_fd_name = e.dir_name;
        }
        int fd = os_open_in(rp.dir_fd, e.file_name, OS_DIRECT | OS_SEQUENTIAL);
        if (fd < 0) {
            // Gone, locked or unreadable: skipped, its size counts as done, and the report names it.
            note_unread(fn, os_last_error());
            count_done(e.file_size);
            continue;
        }
        ReadRequest *r = nullptr;
        for (ReadRequest &q : rp.requests)
            if (!q.in_use) {
                r = &q;
                break;
            }
        IDX_ASSERT(r && "no free read request");
        // Direct reads must end on the file system's alignment; the tail past the end reads short.
        uint64_t align = std::min<uint64_t>(os_dio_align(fd), READ_SIZE);
        if (align & (align - 1)) align = 4096; // block offsets must stay multiples of it
        uint64_t end = (uint64_t{e.file_size} + align - 1) / align * align;
        *r = ReadRequest{fd, fn, 0, 0, end, 0, false, true};
        rp.cur_req = r;
        return r;
    }
    return nullptr;
}

// Issues reads until every slot is busy (1) or nothing is left to read (-1).
static int issue_reads() {
    if (!rp.slots_made) return -1; // read_files has made them
    for (;;) {
        ReadRequest *r = cd_mode ? (rp.cd_span.next_ofs < rp.cd_span.end_ofs ? &rp.cd_span : nullptr)
                                 : next_request();
        if (!r) return -1;
        ReadSlot *s = nullptr;
        for (ReadSlot &f : rp.slots)
            if (!f.req) {
                s = &f;
                break;
            }
        if (!s) return 1;
        s->req = r;
        s->ofs = r->next_ofs;
        s->seq = rp.issue_seq++;
        s->bytes = 0;
        s->error = 0;
        r->refs++;
        auto len = static_cast<uint32_t>(std::min<uint64_t>(r->end_ofs - r->next_ofs, READ_SIZE));
        r->next_ofs += len;
        if (os_read_async(r->fd, s->data, len, s->ofs, s, read_done) == 0) {
            rp.reads_pending++;
            continue;
        }
        IDX_CHECK(!"ReadFileEx error");
        // The refused read still takes its place in the order as an empty read: delivery then
        // ends the file there and counts its rest, so no sequence number and no byte goes missing;
        // the report names the file.
        s->error = os_last_error() != 0 ? os_last_error() : OS_ERR_IO;
        r->next_ofs = NO_MORE;
        rp.finished_reads.push_back(s);
    }
}

// Ends the file of request r after the block that was just delivered: its unread bytes count as
// done, its other reads are cancelled (they are still delivered, and passed over), and no word
// runs on into the next file.
static void end_file(ReadRequest *r, uint64_t rest) {
    if (rest > 0) {
        count_done(rest);
        if (r->refs > 1) os_cancel_io(r->fd);
    }
    r->next_ofs = NO_MORE;
    r->ended = true;
    content_end_file();
}

static void deliver_block(ReadSlot *s) {
    ReadRequest *r = s->req;
    FileEntry &e = file_table[static_cast<size_t>(r->file_num)];
    cur_block = static_cast<int>(s->ofs / READ_SIZE);
    cur_fn = r->file_num;
    if (r->ended) return; // given up or cut short: these bytes were counted when it ended
    // The device failed: the file ends below with the blocks before this one indexed, as if it
    // had ended here, and the run's report names it. One bad file does not cost the whole index.
    if (s->error != 0) note_unread(r->file_num, s->error);
    // What the table promised for this block; a file that grew since is read only that far.
    auto want = static_cast<uint32_t>(std::min<uint64_t>(e.file_size - s->ofs, READ_SIZE));
    uint32_t n = std::min(static_cast<uint32_t>(std::max(s->bytes, 0L)), want);
    if (e.kind == KIND_UNKNOWN && n > 0) e.kind = detect_type(s->data, static_cast<int>(n));
    count_done(n);
    uint64_t rest = e.file_size - (s->ofs + n);
    if (e.kind > 0) {
        // A decoded file whose text turns out to be no text needs no more of its data.
        bool more = n == 0 || content_words(s->data, static_cast<int>(n), e.kind);
        if (n < want || rest == 0 || !more) end_file(r, rest); // the last block, or the file ended early
    } else {
        end_file(r, rest); // not worth extracting: given up after its first block
    }
}

static void deliver_cd_block(ReadSlot *s) {
    ReadRequest *r = s->req;
    // Progress is a position on the disk, so stretches jumped over count as done. A read counts
    // for its whole length even when it came back short (an image cut short), and the last read
    // of a span that ends early (a refused read) counts the rest, so the run always ends whole.
    uint64_t len = std::min<uint64_t>(r->end_ofs - s->ofs, READ_SIZE);
    uint64_t reached = r->next_ofs >= r->end_ofs && r->refs == 1 ? r->end_ofs : s->ofs + len;
    total_bytes_read.store(reached - r->base_ofs, std::memory_order_relaxed);
    if (s->error != 0) {
        // A damaged disc: an index without the words of the files here must not pass for whole.
        char why[OS_PATH_MAX + 32];
        snprintf(why, sizeof why, "read error on %s", cd_volume.device ? cd_volume.device : "the volume");
        fail_run(why);
    }
    auto n = static_cast<uint32_t>(std::min<long>(std::max(s->bytes, 0L), static_cast<long>(len)));
    split_cd_block(s->data, n, s->ofs, &r->next_ofs, r->end_ofs);
}

// Delivers every finished read whose turn has come, strictly in issue order.
static void deliver_reads() {
    for (size_t i = 0; i < rp.finished_reads.size();) {
        ReadSlot *s = rp.finished_reads[i];
        if (s->seq != rp.deliver_seq) {
            i++;
            continue;
        }
        rp.deliver_seq++;
        if (cd_mode)
            deliver_cd_block(s);
        else
            deliver_block(s);
        // Issued before the slot is freed, so the slot is refilled only by a later issue.
        if (issue_reads() < 0) rp.done = true;
        rp.pass_bytes += static_cast<uint64_t>(std::max(s->bytes, 0L));
        free_slot(s);
        rp.finished_reads.erase(rp.finished_reads.begin() + static_cast<std::ptrdiff_t>(i));
        i = 0;
    }
}

// After a cancel: cancels and drains every read in flight and closes every file, so the next run
// starts with all slots free, the reorder buffer empty and issue_seq == deliver_seq.
static void abandon_reads() {
    for (ReadRequest &r : rp.requests) {
        if (!r.in_use) continue;
        r.next_ofs = NO_MORE;
        if (r.refs > 0) os_cancel_io(r.fd);
    }
    rp.cd_span.next_ofs = NO_MORE;
    if (rp.cd_span.refs > 0) os_cancel_io(rp.cd_span.fd);
    while (rp.reads_pending > 0)
        if (os_wait_io() == 0) IDX_ASSERT(!"reads in flight that never complete");
    for (ReadSlot *s : rp.finished_reads) free_slot(s);
    rp.finished_reads.clear();
    rp.deliver_seq = rp.issue_seq;
    for (ReadRequest &r : rp.requests)
        if (r.in_use) close_request(&r);
    rp.cur_req = nullptr;
    content_reset();
}

static void close_dir() {
    os_close(rp.dir_fd);
    rp.dir_fd = -1;
    rp.dir_fd_name = nullptr;
}

int read_files() {
    // cancel_requested is left alone: create_idx clears it, and a cancel made while the tree was
    // enumerated must still end the run.
    total_bytes_read.store(0, std::memory_order_relaxed);
    cur_fn = 0;
    cur_block = 0;
    rp.done = false;
    rp.cur_req = nullptr;
    rp.next_file = -1; // the table may have been enumerated again since the last run
    if (!rp.slots_made && !make_slots()) {
        std::string why = std::string("out of memory: the read buffers cannot be reserved: ") + os_error_text(os_last_error());
        fail_run(why.c_str());
        close_cd_volume();
        return -1;
    }
    if (cd_mode) {
        const CdVolume &v = cd_volume;
        rp.cd_span = ReadRequest{v.fd, 0, v.span_start, v.span_start, v.span_end, 0, false, false};
        cd_split_reset();
    }
    for (;;) {
        rp.pass_bytes = 0;
        if (issue_reads() < 0) rp.done = true;
        deliver_reads();
        sample_rate();
        float tp = static_cast<float>(passes_per_sec) * static_cast<float>(rp.pass_bytes);
        cur_throughput.store(tp, std::memory_order_relaxed);
        if (pass_log) {
            uint64_t total = total_bytes.load(std::memory_order_relaxed);
            uint64_t got = total_bytes_read.load(std::memory_order_relaxed);
            fprintf(stderr, "%d %.2f\n", total ? static_cast<int>(got * 100 / total) : 0,
                    static_cast<double>(tp) * 0.001);
        }
        if (rp.reads_pending == 0) break;
        // A full index file ends the run as a cancel does.
        if (cancel_requested.load(std::memory_order_relaxed) || run_failed ||
            record_full.load(std::memory_order_relaxed)) {
            abandon_reads();
            close_dir();
            close_cd_volume();
            return -1;
        }
        if (os_wait_io() == 0) IDX_ASSERT(!"reads in flight that never complete");
    }
    // Named as in the assertion reports.
    const std::vector<ReadSlot *> &finished_reads = rp.finished_reads;
    bool done = rp.done;
    IDX_ASSERT(finished_reads.empty() && "reorder buffer not empty");
    IDX_ASSERT(done && "not done");
    IDX_ASSERT(total_bytes_read == total_bytes && "not all data read");
    close_dir();
    if (cd_mode) {
        close_cd_volume();
        // A file whose data the volume did not hold to its end (an image cut short) still ends
        // here, so that its last word is kept and none runs on into a query. It and every file
        // after it lacks data: the report names them.
        int count = num_files.load(std::memory_order_relaxed);
        if (cur_fn < count) content_end_file();
        for (int fn = cur_fn; fn < count; fn++)
            if (file_table[static_cast<size_t>(fn)].file_size > 0) note_unread(fn, OS_ERR_PAST_END);
    }
    return run_failed || record_full.load(std::memory_order_relaxed) ? -1 : 0;
}

ReadState read_state() {
    ReadState st{};
    for (const ReadSlot &s : rp.slots) st.busy_slots += s.req != nullptr;
    for (const ReadRequest &r : rp.requests) st.open_files += r.in_use;
    st.finished = static_cast<int>(rp.finished_reads.size());
    st.pending = rp.reads_pending;
    st.issue_seq = rp.issue_seq;
    st.deliver_seq = rp.deliver_seq;
    return st;
}
