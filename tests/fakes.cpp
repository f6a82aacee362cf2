#include "tests/fakes.h"

#include <atomic>
#include <filesystem>

#include "idx/read/pipeline.h"
#include "idx/run.h"

namespace fs = std::filesystem;

std::vector<Seen> seen;
std::function<void(const Seen &)> on_word;

std::ostream &operator<<(std::ostream &o, const Seen &s) { return o << s.word << "@" << s.fn << ":" << s.block; }

int log_word(char *word, int len) {
    seen.push_back(Seen{std::string(word, static_cast<size_t>(len)), cur_fn, cur_block, total_bytes_read.load()});
    if (on_word) on_word(seen.back());
    return 0;
}

void reset_seen() {
    seen.clear();
    on_word = nullptr;
}

FakeIo fake_io;

namespace {

struct Pending {
    int fd;
    void *user;
    OsIoDone done;
    long bytes;
};
std::vector<Pending> pending;

std::string fd_name(int fd) {
    std::error_code ec;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).filename().string();
}

int fake_read(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done) {
    if (fake_io.read_calls == 0)
        for (const std::string &f : fake_io.vanish) fs::remove(f);
    if (fake_io.read_calls++ == fake_io.refuse_at) return -1;
    fake_io.reads.push_back(FakeRead{fd_name(fd), len, ofs});
    long n = os_read_at(fd, buf, len, ofs);
    pending.push_back(Pending{fd, user, done, n < 0 ? 0 : n});
    return 0;
}

int fake_wait() {
    if (++fake_io.waits == fake_io.cancel_at_wait) cancel_requested.store(true);
    if (pending.empty()) return 0;
    if (fake_io.all_per_wait) {
        std::vector<Pending> now;
        now.swap(pending);
        for (const Pending &p : now) p.done(p.user, p.bytes);
        return static_cast<int>(now.size());
    }
    auto it = fake_io.newest_first ? pending.end() - 1 : pending.begin();
    Pending p = *it;
    pending.erase(it);
    p.done(p.user, p.bytes);
    return 1;
}

void fake_cancel(int fd) {
    fake_io.cancels.push_back(fd_name(fd));
    for (Pending &p : pending)
        if (p.fd == fd) p.bytes = 0;
}

} // namespace

const OsIoBackend fake_backend{"fake", fake_read, fake_wait, fake_cancel};

void use_fake_io() {
    fake_io = FakeIo{};
    pending.clear();
    os_set_io_backend(&fake_backend);
}
