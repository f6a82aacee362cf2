// Asynchronous reads (ReadFileEx, SleepEx alertable, CancelIo) for Linux: an io_uring back end and
// a synchronous one behind the OsIoBackend table. Both keep the same contract: a read that
// os_read_async accepts completes exactly once, inside os_wait_io on the waiting thread, with the
// bytes read up to end of file, or 0 on error or cancel.
//
// NOTE: the caller keeps a descriptor open until every read on it has completed. A read that
// must be retried buffered is redone on the same descriptor number at completion time, and a
// cancel by descriptor resolves the number when it is submitted.
#include "os/os.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#ifdef OLMAREST_HAVE_URING
#include <liburing.h>
#endif

namespace {

struct Done {
    void *user;
    long bytes;
    OsIoDone done;
    int fd;
    int err; // what os_last_error() gives inside the routine
};

// os_io_error() of the routine running on this thread; 0 outside routines, and in the routines of
// back ends that never set it (a test's own).
thread_local int routine_error = 0;

void run_routine(const Done &d) {
    routine_error = d.err;
    d.done(d.user, d.bytes);
    routine_error = 0;
}

// ---- Synchronous back end ----

// Reads done at issue time whose routines wait for the next os_wait_io, in issue order.
std::deque<Done> sync_queue;

int sync_read(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done) {
    long n = os_read_at(fd, buf, len, ofs);
    sync_queue.push_back(Done{user, n < 0 ? 0 : n, done, fd, n < 0 ? errno : 0});
    return 0;
}

int sync_wait() {
    // Only what was queued before the wait runs in it; a routine's own reads wait for the next one.
    size_t n = sync_queue.size();
    for (size_t i = 0; i < n; i++) {
        Done d = sync_queue.front();
        sync_queue.pop_front();
        run_routine(d);
    }
    return static_cast<int>(n);
}

// The data is already here, but a cancelled read reports 0 bytes as it would under io_uring.
void sync_cancel(int fd) {
    for (Done &d : sync_queue)
        if (d.fd == fd) d.bytes = d.err = 0;
}

const OsIoBackend sync_backend{"sync", sync_read, sync_wait, sync_cancel};

// ---- io_uring back end ----

#ifdef OLMAREST_HAVE_URING

constexpr unsigned RING_ENTRIES = 64; // SQ size; reads in flight are far fewer (8 in the pipeline)

struct UringOp {
    int fd;
    char *buf;
    uint32_t len;  // bytes asked for
    uint64_t ofs;  // file offset, bytes
    void *user;
    OsIoDone done;
    bool in_use;
    UringOp *next_free;
};

io_uring ring;
bool ring_ok = false;
std::once_flag ring_once;
std::deque<UringOp> ops;          // stable addresses: a completion names its op by pointer
UringOp *free_ops = nullptr;
int uring_in_flight = 0;          // reads accepted and not yet completed
bool cancel_fd_refused = false;   // kernels before 5.19 know no cancel by descriptor
bool ring_broken = false;         // waiting on the ring failed: no read is taken any more
std::vector<Done> reaped;         // completions of one wait, run after the ring is advanced

// user_data of a cancel request; its completion runs no routine.
constexpr uint64_t CANCEL_TAG = 0;

void ring_init() {
    // Completions are reaped only inside the wait, so the kernel need not interrupt the thread to
    // post them (fewer inter-processor interrupts); older kernels refuse the flag.
#ifdef IORING_SETUP_COOP_TASKRUN
    ring_ok = io_uring_queue_init(RING_ENTRIES, &ring, IORING_SETUP_COOP_TASKRUN) == 0;
    if (ring_ok) return;
#endif
    ring_ok = io_uring_queue_init(RING_ENTRIES, &ring, 0) == 0;
}

io_uring_sqe *get_sqe() {
    io_uring_sqe *sqe = io_uring_get_sqe(&ring);
    if (!sqe) {
        io_uring_submit(&ring); // the queue is full: hand it over and take a fresh entry
        sqe = io_uring_get_sqe(&ring);
    }
    return sqe;
}

int uring_read(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done) {
    if (ring_broken) return -1;
    io_uring_sqe *sqe = get_sqe();
    if (!sqe) return -1;
    UringOp *op = free_ops;
    if (op)
        free_ops = op->next_free;
    else
        op = &ops.emplace_back();
    *op = UringOp{fd, static_cast<char *>(buf), len, ofs, user, done, true, nullptr};
    io_uring_prep_read(sqe, fd, buf, len, ofs);
    io_uring_sqe_set_data(sqe, op);
    uring_in_flight++;
    // Submitted at once rather than at the next wait: the device then works while the caller
    // extracts the blocks it already has, which is where a single thread loses its time.
    io_uring_submit(&ring);
    return 0;
}

// The bytes a completed read stands for, after the fix-ups the synchronous path gets from
// os_read_at: misaligned direct reads are redone buffered, a short read before end of file is
// finished, and any other error or a cancel gives 0. err receives the read's error code, 0 for
// success, end of file or cancel.
long settle(const UringOp &op, int res, int &err) {
    err = 0;
    if (res == -EINVAL) {
        int fl = fcntl(op.fd, F_GETFL);
        if (fl != -1 && (fl & O_DIRECT)) {
            fcntl(op.fd, F_SETFL, fl & ~O_DIRECT);
            long n = os_read_at(op.fd, op.buf, op.len, op.ofs);
            if (n < 0) err = errno;
            return n < 0 ? 0 : n;
        }
    }
    if (res < 0 && res != -ECANCELED) err = -res;
    if (res <= 0) return 0;
    uint32_t got = static_cast<uint32_t>(res);
    if (got < op.len) {
        // Short reads normally mean end of file; only a larger file is worth another call.
        struct stat st;
        if (fstat(op.fd, &st) == 0 && static_cast<uint64_t>(st.st_size) > op.ofs + got) {
            long more = os_read_at(op.fd, op.buf + got, op.len - got, op.ofs + got);
            if (more > 0) got += static_cast<uint32_t>(more);
        }
    }
    return static_cast<long>(got);
}

// The ring cannot be waited on: every read in flight completes as failed, so the caller's
// bookkeeping still sees each one end, and the ring takes no more reads.
int fail_in_flight() {
    ring_broken = true;
    reaped.clear();
    for (UringOp &op : ops) {
        if (!op.in_use) continue;
        reaped.push_back(Done{op.user, 0, op.done, op.fd, EIO});
        op.in_use = false;
    }
    uring_in_flight = 0;
    for (const Done &d : reaped) run_routine(d);
    return static_cast<int>(reaped.size());
}

int uring_wait() {
    if (uring_in_flight == 0) {
        io_uring_submit(&ring); // a lone cancel may still be queued
        return 0;
    }
    int ran = 0;
    while (ran == 0 && uring_in_flight > 0) {
        int r = io_uring_submit_and_wait(&ring, 1);
        if (r < 0 && r != -EINTR && r != -EAGAIN && r != -EBUSY) return fail_in_flight();
        reaped.clear();
        io_uring_cqe *cqe;
        unsigned head, seen = 0;
        io_uring_for_each_cqe(&ring, head, cqe) {
            seen++;
            auto *op = static_cast<UringOp *>(io_uring_cqe_get_data(cqe));
            if (!op) {
                if (cqe->res == -EINVAL) cancel_fd_refused = true;
                continue;
            }
            int err;
            long bytes = settle(*op, cqe->res, err);
            reaped.push_back(Done{op->user, bytes, op->done, op->fd, err});
            op->in_use = false;
            op->next_free = free_ops;
            free_ops = op;
            uring_in_flight--;
        }
        io_uring_cq_advance(&ring, seen);
        // Routines run after the ring is advanced, so one that issues reads finds room.
        for (const Done &d : reaped) run_routine(d);
        ran += static_cast<int>(reaped.size());
    }
    return ran;
}

void uring_cancel(int fd) {
    if (uring_in_flight == 0) return;
    if (!cancel_fd_refused) {
        io_uring_sqe *sqe = get_sqe();
        if (!sqe) return;
        io_uring_prep_cancel_fd(sqe, fd, IORING_ASYNC_CANCEL_ALL);
        io_uring_sqe_set_data64(sqe, CANCEL_TAG);
    } else {
        for (UringOp &op : ops) {
            if (!op.in_use || op.fd != fd) continue;
            io_uring_sqe *sqe = get_sqe();
            if (!sqe) return;
            io_uring_prep_cancel(sqe, &op, 0);
            io_uring_sqe_set_data64(sqe, CANCEL_TAG);
        }
    }
    // Submitted at once: the descriptor number must still name this file when the kernel looks.
    io_uring_submit(&ring);
}

const OsIoBackend uring_backend{"uring", uring_read, uring_wait, uring_cancel};

#endif

std::atomic<const OsIoBackend *> backend{nullptr};

const OsIoBackend *choose() {
    const char *env = getenv("OLMAREST_IO");
    if (env && strcmp(env, "sync") == 0) return &sync_backend;
#ifdef OLMAREST_HAVE_URING
    // ENOSYS, EPERM (containers, io_uring_disabled), ENOMEM (locked-memory limit): go synchronous.
    std::call_once(ring_once, ring_init);
    if (ring_ok) return &uring_backend;
#endif
    return &sync_backend;
}

const OsIoBackend *current() {
    const OsIoBackend *b = backend.load(std::memory_order_acquire);
    if (!b) {
        b = choose();
        backend.store(b, std::memory_order_release);
    }
    return b;
}

} // namespace

int os_read_async(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done) {
    return current()->read_async(fd, buf, len, ofs, user, done);
}

int os_wait_io() { return current()->wait_io(); }

void os_cancel_io(int fd) { current()->cancel_io(fd); }

int os_io_error() { return routine_error; }

const char *os_io_backend() { return current()->name; }

void os_set_io_backend(const OsIoBackend *b) { backend.store(b ? b : choose(), std::memory_order_release); }
