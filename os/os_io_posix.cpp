// Asynchronous reads. Placeholder: the synchronous back end only.
#include "os/os.h"

#include <deque>

namespace {
struct Done {
    void *user;
    long bytes;
    OsIoDone done;
};
std::deque<Done> completed;

int sync_read(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done) {
    long n = os_read_at(fd, buf, len, ofs);
    completed.push_back(Done{user, n < 0 ? 0 : n, done});
    return 0;
}

int sync_wait() {
    int ran = 0;
    while (!completed.empty()) {
        Done d = completed.front();
        completed.pop_front();
        d.done(d.user, d.bytes);
        ran++;
    }
    return ran;
}

void sync_cancel(int) {}

const OsIoBackend sync_backend{"sync", sync_read, sync_wait, sync_cancel};
const OsIoBackend *backend = &sync_backend;
} // namespace

int os_read_async(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done) {
    return backend->read_async(fd, buf, len, ofs, user, done);
}
int os_wait_io() { return backend->wait_io(); }
void os_cancel_io(int fd) { backend->cancel_io(fd); }
const char *os_io_backend() { return backend->name; }
void os_set_io_backend(const OsIoBackend *b) { backend = b ? b : &sync_backend; }
