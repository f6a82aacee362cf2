// The asynchronous read back ends: both must keep the same contract (every accepted read
// completes once, inside os_wait_io, on the waiting thread, with the true byte count or 0).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "os/os.h"
#include "tests/test_util.h"

namespace {

struct Completion {
    int calls = 0;
    long bytes = -1;
    bool in_wait = false;
    std::thread::id thread;
};

bool waiting = false;

void on_done(void *user, long bytes) {
    auto *c = static_cast<Completion *>(user);
    c->calls++;
    c->bytes = bytes;
    c->in_wait = waiting;
    c->thread = std::this_thread::get_id();
}

// Waits until nothing is in flight; returns the routines run.
int drain() {
    int total = 0;
    waiting = true;
    for (int r; (r = os_wait_io()) > 0;) total += r;
    waiting = false;
    return total;
}

std::string pattern(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return s;
}

// Runs every case once per back end; uring is skipped where the kernel or sandbox refuses it.
class OsIo : public TempTree, public ::testing::WithParamInterface<std::string> {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        if (!select_io_backend(GetParam())) GTEST_SKIP() << "io_uring is not available here";
        buf = static_cast<char *>(os_reserve(BUF_SIZE));
        ASSERT_NE(buf, nullptr);
    }
    void TearDown() override {
        if (buf) os_release(buf, BUF_SIZE);
        unsetenv("OLMAREST_IO");
        os_set_io_backend(nullptr);
        TempTree::TearDown();
    }
    static constexpr size_t BUF_SIZE = 4 * 32768;
    char *buf = nullptr;
};

TEST_P(OsIo, ReadsCompleteOnceInsideTheWaitWithTrueCounts) {
    std::string data = pattern(100000);
    write("f", data);
    int fd = os_open(path("f").c_str(), OS_DIRECT | OS_SEQUENTIAL);
    ASSERT_GE(fd, 0);
    Completion c[4];
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(os_read_async(fd, buf + i * 32768, 32768, i * 32768ull, &c[i], on_done), 0);
    for (auto &x : c) EXPECT_EQ(x.calls, 0) << "a routine ran outside os_wait_io";
    EXPECT_EQ(drain(), 4);
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c[i].calls, 1);
        EXPECT_TRUE(c[i].in_wait);
        EXPECT_EQ(c[i].thread, std::this_thread::get_id());
        // The last read asks for 32768 bytes and gets the 1696 left before end of file.
        long want = i < 3 ? 32768 : 100000 - 3 * 32768;
        ASSERT_EQ(c[i].bytes, want);
        EXPECT_EQ(memcmp(buf + i * 32768, data.data() + i * 32768, static_cast<size_t>(want)), 0);
    }
    EXPECT_EQ(os_wait_io(), 0) << "nothing is in flight any more";
    os_close(fd);
}

TEST_P(OsIo, MisalignedDirectReadIsRedoneBuffered) {
    std::string data = pattern(10000);
    write("f", data);
    int fd = os_open(path("f").c_str(), OS_DIRECT);
    ASSERT_GE(fd, 0);
    // Odd buffer, offset and length: direct I/O refuses all three; the data must still come.
    Completion c;
    ASSERT_EQ(os_read_async(fd, buf + 1, 1000, 3, &c, on_done), 0);
    drain();
    EXPECT_EQ(c.calls, 1);
    ASSERT_EQ(c.bytes, 1000);
    EXPECT_EQ(memcmp(buf + 1, data.data() + 3, 1000), 0);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_DIRECT) << "the descriptor is buffered from now on";
    os_close(fd);
}

TEST_P(OsIo, FailedReadsCompleteWithZeroBytes) {
    mkdir("d");
    int dfd = os_dir_open(path("d").c_str());
    ASSERT_GE(dfd, 0);
    int wfd = open(path("w").c_str(), O_WRONLY | O_CREAT, 0644); // not open for reading
    ASSERT_GE(wfd, 0);
    Completion c[2];
    ASSERT_EQ(os_read_async(dfd, buf, 4096, 0, &c[0], on_done), 0);
    ASSERT_EQ(os_read_async(wfd, buf, 4096, 0, &c[1], on_done), 0);
    EXPECT_EQ(drain(), 2);
    for (auto &x : c) {
        EXPECT_EQ(x.calls, 1);
        EXPECT_EQ(x.bytes, 0);
    }
    os_close(dfd);
    close(wfd);
}

TEST_P(OsIo, CancelledReadsStillCompleteOnce) {
    write("f", pattern(4 * 32768));
    int fd = os_open(path("f").c_str(), OS_DIRECT);
    ASSERT_GE(fd, 0);
    Completion c[4];
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(os_read_async(fd, buf + i * 32768, 32768, i * 32768ull, &c[i], on_done), 0);
    os_cancel_io(fd);
    EXPECT_EQ(drain(), 4);
    for (auto &x : c) {
        EXPECT_EQ(x.calls, 1);
        // A read may finish before the cancel reaches it; either way it completes, once.
        EXPECT_TRUE(x.bytes == 0 || x.bytes == 32768) << x.bytes;
        if (GetParam() == "sync") {
            EXPECT_EQ(x.bytes, 0);
        }
    }
    os_close(fd);
}

TEST_P(OsIo, CancelEndsAReadThatWouldNeverFinish) {
    if (GetParam() == "sync") GTEST_SKIP() << "the synchronous back end reads at issue and would block";
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Completion c;
    ASSERT_EQ(os_read_async(p[0], buf, 4096, 0, &c, on_done), 0);
    os_cancel_io(p[0]);
    EXPECT_EQ(drain(), 1);
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.bytes, 0);
    close(p[0]);
    close(p[1]);
}

TEST_P(OsIo, SyncBackEndKeepsIssueOrder) {
    if (GetParam() != "sync") GTEST_SKIP() << "io_uring completes in any order";
    write("f", pattern(8 * 4096));
    int fd = os_open(path("f").c_str(), 0);
    ASSERT_GE(fd, 0);
    static std::vector<int> seen;
    seen.clear();
    int idx[8];
    for (int i = 0; i < 8; i++) {
        idx[i] = i;
        ASSERT_EQ(os_read_async(fd, buf + i * 4096, 4096, i * 4096ull, &idx[i],
                                [](void *u, long) { seen.push_back(*static_cast<int *>(u)); }),
                  0);
    }
    EXPECT_EQ(os_wait_io(), 8);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    os_close(fd);
}

std::string backend_name(const ::testing::TestParamInfo<std::string> &p) { return p.param; }

INSTANTIATE_TEST_SUITE_P(Backends, OsIo, ::testing::Values("uring", "sync"), backend_name);

TEST(OsIoChoice, EnvironmentForcesSyncAndTablesCanBeReplaced) {
    setenv("OLMAREST_IO", "sync", 1);
    os_set_io_backend(nullptr);
    EXPECT_STREQ(os_io_backend(), "sync");
    static int waits = 0;
    static const OsIoBackend mine{
        "test", [](int, void *, uint32_t, uint64_t, void *, OsIoDone) { return -1; },
        [] { return ++waits; }, [](int) {}};
    os_set_io_backend(&mine);
    EXPECT_STREQ(os_io_backend(), "test");
    EXPECT_EQ(os_read_async(0, nullptr, 0, 0, nullptr, nullptr), -1);
    EXPECT_EQ(os_wait_io(), 1);
    os_set_io_backend(nullptr);
    EXPECT_STREQ(os_io_backend(), "sync");
    unsetenv("OLMAREST_IO");
    os_set_io_backend(nullptr);
}

} // namespace
