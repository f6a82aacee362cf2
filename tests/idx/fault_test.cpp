// System calls that fail under the engine, through the platform layer's table: each failure ends
// with a reason, never a crash, and never leaves an idx.dat that loads as something it is not.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

std::string fd_name(int fd) {
    std::error_code ec;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).filename().string();
}

// What the replacements below fail, and how.
std::string fail_name;  // file whose opening or reading fails ("" none)
int fail_read_at = -1;  // the read of fail_name that fails, counted from 0
int reads_seen = 0;
bool fail_map_write = false, fail_map_read = false, fail_grow = false, fail_thread = false;

int open_faulty(int dir_fd, const char *path, int sys_flags, int mode) {
    // A run's file has a name of its own each time: its stem names it.
    std::string name = fs::path(path).filename().string();
    bool run_file = fail_name == "idx.dat.tmp" && name.rfind("idx.dat.tmp.", 0) == 0;
    if (!fail_name.empty() && (name == fail_name || run_file) && fail_read_at < 0) {
        os_set_last_error(EACCES);
        return -1;
    }
    return os_sys_default.open(dir_fd, path, sys_flags, mode);
}

long pread_faulty(int fd, void *buf, size_t len, uint64_t ofs) {
    if (!fail_name.empty() && fd_name(fd) == fail_name && reads_seen++ == fail_read_at) {
        os_set_last_error(EIO);
        return -1;
    }
    return os_sys_default.pread(fd, buf, len, ofs);
}

void *map_faulty(int fd, uint64_t size, bool writable) {
    if (fd >= 0 && ((writable && fail_map_write) || (!writable && fail_map_read))) {
        os_set_last_error(ENOMEM);
        return nullptr;
    }
    return os_sys_default.map(fd, size, writable);
}

int allocate_faulty(int fd, uint64_t ofs, uint64_t len) {
    if (fail_grow) {
        os_set_last_error(ENOSPC);
        return -1;
    }
    return os_sys_default.allocate(fd, ofs, len);
}

int thread_faulty(OsThread *t) {
    if (fail_thread) {
        os_set_last_error(EAGAIN);
        return -1;
    }
    return os_sys_default.thread_create(t);
}

class Faults : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        fail_name.clear();
        fail_read_at = -1;
        reads_seen = 0;
        fail_map_write = fail_map_read = fail_grow = fail_thread = false;
        os_sys = OsSysTable{open_faulty,     pread_faulty,  map_faulty,
                            os_sys_default.truncate, thread_faulty, allocate_faulty, os_sys_default.rename, os_sys_default.pwrite};
        // The synchronous back end reads through pread, so reads in flight can be made to fail.
        ASSERT_TRUE(select_io_backend("sync"));
        load_trigrams("/nonexistent");
        pass_log = false;
        write("tree/a.txt", "harbour lights over the water\n");
        std::string big;
        while (big.size() < 3 * READ_SIZE) big += "lighthouse keepers climbing stairs\n";
        write("tree/b.txt", big);
        write("tree/c.txt", "gardens and rivers\n");
    }
    void TearDown() override {
        os_sys = os_sys_default;
        TempTree::TearDown();
    }

    // After a failed run or set-up: idx.dat is refused by a load with a reason, never taken.
    static void expect_no_index(const char *load_reason) {
        EXPECT_EQ(read_idx(), -1);
        EXPECT_STREQ(idx_reason(), load_reason);
    }
};

TEST_F(Faults, CreateFailuresEndWithTheirReason) {
    struct Case {
        const char *what;
        bool *flag;
        std::string reason;
    } cases[] = {
        {"open", nullptr, std::string("idx.dat cannot be created: ") + strerror(EACCES)},
        {"grow", &fail_grow, std::string("no room for the index file: ") + strerror(ENOSPC)},
        {"map", &fail_map_write,
         std::string("out of memory: the 64 MiB mapping of the index file cannot be made: ") + strerror(ENOMEM)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.flag)
            *c.flag = true;
        else
            fail_name = "idx.dat.tmp";
        EXPECT_EQ(create_idx(tree().c_str()), -1);
        EXPECT_EQ(idx_reason(), c.reason);
        EXPECT_EQ(status_idx(), 3);
        // Nothing is left: the run's file is removed, and there was no idx.dat before.
        EXPECT_EQ(run_files(root()), 0);
        if (c.flag) *c.flag = false;
        expect_no_index("no index file (idx.dat) in this folder");
        fail_name.clear();
    }
    // Nothing was left behind that stops the next run.
    EXPECT_EQ(index_tree(tree()), 2);
    EXPECT_EQ(read_idx(), 0);
}

TEST_F(Faults, ThreadThatCannotStartLeavesNoLockedIndex) {
    ASSERT_EQ(index_tree(tree()), 2);
    std::string before = read_file(path("idx.dat"));
    fail_thread = true;
    EXPECT_EQ(create_idx(tree().c_str()), -1);
    EXPECT_STREQ(idx_reason(), "the indexing thread cannot be started");
    EXPECT_EQ(status_idx(), 3);
    EXPECT_EQ(run_files(root()), 0);
    EXPECT_TRUE(read_file(path("idx.dat")) == before); // the previous index is kept
    fail_thread = false;
    EXPECT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(index_tree(tree()), 2);
}

TEST_F(Faults, MappingFailureAtLoadLeavesTheIndexWhole) {
    ASSERT_EQ(index_tree(tree()), 2);
    std::string before = read_file(path("idx.dat"));
    fail_map_read = true;
    expect_no_index((std::string("idx.dat cannot be read: ") + strerror(ENOMEM)).c_str());
    fail_map_read = false;
    EXPECT_EQ(read_file(path("idx.dat")), before);
    EXPECT_EQ(read_idx(), 0);
}

// A read the device fails, wherever it falls: at a file's start, inside it, or as the run's
// very last read. The file ends there, the run succeeds and its report names the file, the
// driver ends clean, and the other files are found.
TEST_F(Faults, ReadErrorEndsOnlyItsFileAndIsNamed) {
    struct Case {
        const char *file;
        int read;
    } cases[] = {{"b.txt", 0}, {"b.txt", 2}, {"c.txt", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " read " + std::to_string(c.read));
        fail_name = c.file;
        fail_read_at = c.read;
        reads_seen = 0;
        EXPECT_EQ(index_tree(tree()), 2) << idx_reason();
        EXPECT_EQ(unread_count, 1);
        ASSERT_EQ(unread_files.size(), 1u);
        EXPECT_EQ(unread_files[0].path, tree() + "/" + c.file);
        EXPECT_EQ(unread_files[0].error, EIO);
        EXPECT_EQ(total_bytes_read.load(), total_bytes.load());
        ReadState st = read_state();
        EXPECT_EQ(st.busy_slots, 0);
        EXPECT_EQ(st.open_files, 0);
        EXPECT_EQ(st.pending, 0);
        EXPECT_EQ(st.issue_seq, st.deliver_seq);
        fail_name.clear();
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        char *p;
        int freq;
        query_idx("harbour");
        EXPECT_EQ(next_result(&p, &freq, nullptr), 0);
    }
}

TEST_F(Faults, UnopenableFileIsLeftOutAndTheRunSucceeds) {
    fail_name = "a.txt"; // every open of it fails
    ASSERT_EQ(index_tree(tree()), 2);
    EXPECT_EQ(total_bytes_read.load(), total_bytes.load());
    EXPECT_EQ(unread_count, 1);
    ASSERT_EQ(unread_files.size(), 1u);
    EXPECT_EQ(unread_files[0].path, tree() + "/a.txt");
    EXPECT_EQ(unread_files[0].error, EACCES);
    fail_name.clear();
    ASSERT_EQ(read_idx(), 0);
    char *p, *text;
    int freq;
    query_idx("harbour");
    EXPECT_EQ(next_result(&p, &freq, nullptr), -1);
    query_idx("gardens");
    ASSERT_EQ(next_result(&p, &freq, nullptr), 0);

    // An excerpt whose block cannot be read again is left empty; the row stays.
    fail_name = "c.txt";
    fail_read_at = 0;
    reads_seen = 0;
    ASSERT_EQ(next_result(&p, &freq, &text), 0);
    EXPECT_EQ(freq, 1);
    EXPECT_STREQ(text, "");
}

} // namespace
