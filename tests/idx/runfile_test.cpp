// A run builds its index in idx.dat.tmp beside idx.dat and puts it in place only when it ends
// completely or by a cancel: a failed or killed run never costs the user the index they had.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

#include "idx/text/extract.h"
#include "idx/idxdir.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

class RunFile : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        load_trigrams("/nonexistent");
        set_idx_dir("");
        word_sink = add_word;
        write("tree/a.txt", "gardens rivers mountains\n");
        write("tree/b.txt", "castles towers bridges\n");
        // More files than reads in flight, so that a stop in c.txt is seen before the end.
        for (int i = 10; i < 30; i++) write("tree/d" + std::to_string(i) + ".txt", "meadows orchards\n");
        ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
        before = read_file("idx.dat");
        // The next run sees one more file, so its index differs from the first.
        write("tree/c.txt", "harbours lighthouses ferries\n");
    }
    void TearDown() override {
        word_sink = add_word;
        TempTree::TearDown();
    }

    // The files a search for word lists, by name, in rank order.
    static std::string found(const char *word) {
        query_idx(word);
        std::string names;
        char *p;
        int freq;
        while (next_result(&p, &freq, nullptr) == 0) names += fs::path(p).filename().string() + " ";
        return names;
    }

    std::string before; // idx.dat of the first run
};

// The word callback stops the run at a chosen word, in the file being read: as a full index or a
// cancel would, at a known moment.
static void (*stop_how)() = nullptr;
static int stop_at_word(char *word, int len) {
    if (strcmp(word, "LIGHTHOUSES") == 0 && stop_how) stop_how();
    return add_word(word, len);
}

TEST_F(RunFile, FailedRunKeepsThePreviousIndexByteForByte) {
    stop_how = [] { fail_run("index file full (64 MiB)"); };
    word_sink = stop_at_word;
    EXPECT_EQ(index_tree(tree()), 3);
    EXPECT_STREQ(idx_reason(), "index file full (64 MiB)");
    EXPECT_TRUE(read_file("idx.dat") == before) << "idx.dat changed";
    EXPECT_FALSE(fs::exists("idx.dat.tmp"));
    // A tree with no file fails before reading anything; the same holds.
    mkdir("empty/sub");
    EXPECT_EQ(index_tree(path("empty")), 3);
    EXPECT_TRUE(read_file("idx.dat") == before) << "idx.dat changed";
    EXPECT_FALSE(fs::exists("idx.dat.tmp"));
    remove("tree/c.txt");
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(found("castles"), "b.txt ");
}

TEST_F(RunFile, CancelledRunReplacesTheIndexWithWhatItRead) {
    stop_how = [] { cancel_requested.store(true); };
    word_sink = stop_at_word;
    EXPECT_EQ(index_tree(tree()), 3);
    EXPECT_GE(cur_fn, 2); // reads done before the cancel was seen are still delivered
    EXPECT_TRUE(read_file("idx.dat") != before);
    EXPECT_FALSE(fs::exists("idx.dat.tmp"));
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(found("lighthouses"), "c.txt ");
}

TEST_F(RunFile, RunKilledMidwayLeavesTheIndexAndNoObstacle) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        select_io_backend("sync");
        stop_how = [] { raise(SIGKILL); };
        word_sink = stop_at_word;
        index_tree(tree());
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    EXPECT_TRUE(read_file("idx.dat") == before) << "idx.dat changed";
    // The killed run's file is left behind; the next run takes it over.
    EXPECT_TRUE(fs::exists("idx.dat.tmp"));
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    EXPECT_FALSE(fs::exists("idx.dat.tmp"));
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(found("lighthouses"), "c.txt ");
}

// Another process runs while this one has the old index loaded: a run here is refused, the loaded
// index keeps answering, and the new index is there once the other run ends.
TEST_F(RunFile, SecondRunIsRefusedAndALoadedIndexKeepsAnswering) {
    remove("tree/c.txt"); // as the first run saw the tree
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    write("tree/c.txt", "harbours lighthouses ferries\n");
    int started[2], go_on[2];
    ASSERT_EQ(pipe(started), 0);
    ASSERT_EQ(pipe(go_on), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The parent's load holds idx.dat; this process has its own engine state from the fork,
        // but must not share the parent's io_uring.
        select_io_backend("sync");
        static int s_fd, g_fd;
        s_fd = started[1];
        g_fd = go_on[0];
        stop_how = [] {
            char c = 1;
            if (::write(s_fd, &c, 1) != 1 || ::read(g_fd, &c, 1) != 1) _exit(3);
        };
        word_sink = stop_at_word;
        _exit(index_tree(tree()) == 2 ? 0 : 1);
    }
    close(started[1]); // so that a child that ends early is seen as an end of file
    close(go_on[0]);
    char c;
    ASSERT_EQ(::read(started[0], &c, 1), 1) << "the other run never started";
    // The other run is in the middle of file c.txt now.
    static std::string dir;
    dir = path("tree");
    EXPECT_EQ(create_idx(dir.c_str()), -1);
    EXPECT_STREQ(idx_reason(), "idx.dat is in use by another program");
    // Refused before anything was given up: the loaded index still answers.
    EXPECT_EQ(found("castles"), "b.txt ");
    ASSERT_EQ(::write(go_on[1], &c, 1), 1);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_TRUE(read_file("idx.dat") != before);
    // Replaced under our mapping, which still answers from the old index.
    EXPECT_EQ(found("castles"), "b.txt ");
    EXPECT_EQ(found("lighthouses"), "");
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(found("lighthouses"), "c.txt ");
}

} // namespace

namespace {

// Indexing the index directory itself: neither idx.dat nor the run's file, nor a leftover one,
// is taken for a file of the tree, or the tree would never match its index.
TEST_F(RunFile, IndexFilesInTheIndexedTreeAreLeftOut) {
    static std::string here;
    here = root();
    ASSERT_EQ(index_tree(here), 2) << idx_reason(); // sees the first run's idx.dat
    ASSERT_EQ(index_tree(here), 2) << idx_reason();
    write("idx.dat.tmp", "left by a run that was killed");
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    for (const FileEntry &e : file_table) {
        EXPECT_STRNE(e.file_name, "idx.dat");
        EXPECT_STRNE(e.file_name, "idx.dat.tmp");
    }
    EXPECT_EQ(num_files.load(), 23); // a, b, c and d10 to d29 under tree/
}

// idx.dat and stopwords.txt are looked for in the index directory, not the current one.
TEST_F(RunFile, IndexDirectoryHoldsIndexAndStopList) {
    mkdir("store");
    write("store/stopwords.txt", "castles\n");
    set_idx_dir(path("store").c_str());
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    EXPECT_TRUE(read_file(path("store/idx.dat")) != read_file("idx.dat"));
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(found("castles"), ""); // a stop word there
    EXPECT_EQ(found("towers"), "b.txt ");
}

} // namespace

namespace {

// Opens as the system does, then lets "another run" rename the file away before our lock: it
// finished and put its index in place between our open and our lock.
int open_then_renamed(int dir_fd, const char *path, int sys_flags, int mode) {
    int fd = os_sys_default.open(dir_fd, path, sys_flags, mode);
    static bool once = true;
    if (fd >= 0 && once && fs::path(path).filename() == "idx.dat.tmp") {
        once = false;
        fs::rename(path, "finished.dat");
    }
    return fd;
}

TEST_F(RunFile, RunFileRenamedBeforeOurLockIsLeftAlone) {
    write("idx.dat.tmp", "another run's finished index");
    os_sys.open = open_then_renamed;
    int st = index_tree(tree());
    os_sys = os_sys_default;
    EXPECT_EQ(st, 2) << idx_reason();
    // We locked and emptied a file of our own, not the one that was renamed away.
    EXPECT_EQ(read_file("finished.dat"), "another run's finished index");
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(found("lighthouses"), "c.txt ");
}

} // namespace
