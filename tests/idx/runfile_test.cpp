// A run builds its index in a new file beside idx.dat and puts it in place only when it ends
// completely, or by a cancel with no index before it: a failed, cancelled or killed run never
// costs the user the index they had. Nothing planted in the index directory is written through.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

TEST_F(RunFile, CancelledRunKeepsThePreviousIndexOrElseWhatItRead) {
    stop_how = [] { cancel_requested.store(true); };
    word_sink = stop_at_word;
    EXPECT_EQ(index_tree(tree()), 3);
    EXPECT_EQ(cancel_kept, CancelKept::previous);
    EXPECT_STREQ(idx_reason(), "indexing was cancelled; the previous index is kept");
    EXPECT_TRUE(read_file("idx.dat") == before) << "idx.dat changed";
    EXPECT_EQ(run_files(root()), 0);
    // With no index before it, the files read up to the cancel make the index.
    remove("idx.dat");
    EXPECT_EQ(index_tree(tree()), 3);
    EXPECT_EQ(cancel_kept, CancelKept::partial);
    EXPECT_GE(cur_fn, 2); // reads done before the cancel was seen are still delivered
    EXPECT_EQ(run_files(root()), 0);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(found("lighthouses"), "c.txt ");
    EXPECT_EQ(found("castles"), "b.txt ");
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
    // The killed run's file is left behind; a load leaves it out of the tree, the next run removes it.
    EXPECT_EQ(run_files(root()), 1);
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    EXPECT_EQ(run_files(root()), 0);
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
    write("idx.dat.tmp", "left by a run of an older version that was killed");
    write("idx.dat.tmp.k1LLed", "left by a run that was killed");
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    for (const FileEntry &e : file_table) EXPECT_EQ(std::string(e.file_name).rfind("idx.dat", 0), std::string::npos);
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

// Whatever someone planted at a run file's name or at idx.dat, in a directory others may write
// to, is never opened, written, followed or removed: the run makes a new file of its own, and
// only that file is put in place of idx.dat.
TEST_F(RunFile, PlantedFilesAreNeverWrittenThrough) {
    const std::string victim_text = "the victim's own words";
    struct Case {
        const char *what;
        const char *at; // the name in the index directory
        void (*plant)(const std::string &at, const std::string &victim);
        bool leaves_it; // the planted thing is still there after the run (not replaced)
    } cases[] = {
        {"symbolic link", "idx.dat.tmp", [](const std::string &at, const std::string &v) { fs::create_symlink(v, at); }, true},
        {"hard link", "idx.dat.tmp", [](const std::string &at, const std::string &v) { fs::create_hard_link(v, at); }, true},
        {"dangling link", "idx.dat.tmp",
         [](const std::string &at, const std::string &v) { fs::create_symlink(v + ".new", at); }, true},
        {"FIFO", "idx.dat.tmp", [](const std::string &at, const std::string &) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); }, true},
        {"directory", "idx.dat.tmp", [](const std::string &at, const std::string &) { fs::create_directory(at); }, true},
        {"link at a run file's name", "idx.dat.tmp.AAAAAA",
         [](const std::string &at, const std::string &v) { fs::create_symlink(v, at); }, true},
        {"symbolic link as idx.dat", "idx.dat",
         [](const std::string &at, const std::string &v) { fs::remove(at); fs::create_symlink(v, at); }, false},
        {"hard link as idx.dat", "idx.dat",
         [](const std::string &at, const std::string &v) { fs::remove(at); fs::create_hard_link(v, at); }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        mkdir("outside");
        write("outside/victim", victim_text);
        std::string victim = path("outside/victim"), at = path(c.at);
        c.plant(at, victim);
        ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
        EXPECT_EQ(read_file(victim), victim_text) << "written through";
        EXPECT_FALSE(fs::exists(victim + ".new")) << "a dangling link's target was made";
        EXPECT_FALSE(fs::is_symlink("idx.dat"));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status("idx.dat")));
        EXPECT_NE(fs::hard_link_count("idx.dat"), 2u);
        EXPECT_EQ((fs::status("idx.dat").permissions() & fs::perms::owner_write), fs::perms::owner_write);
        if (c.leaves_it) {
            EXPECT_TRUE(fs::exists(fs::symlink_status(at))) << "removed";
        }
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        EXPECT_EQ(found("lighthouses"), "c.txt ");
        // A failed run removes only its own file.
        stop_how = [] { fail_run("index file full (64 MiB)"); };
        word_sink = stop_at_word;
        EXPECT_EQ(index_tree(tree()), 3);
        word_sink = add_word;
        EXPECT_EQ(read_file(victim), victim_text);
        if (c.leaves_it) {
            EXPECT_TRUE(fs::exists(fs::symlink_status(at))) << "removed";
        }
        std::error_code ec;
        fs::remove_all(at, ec);
        fs::remove_all(path("outside"), ec);
    }
}

// A run's file is created with no access for others, and idx.dat gets the usual mode once it
// is in place.
TEST_F(RunFile, RunFileIsPrivateUntilInPlace) {
    static mode_t seen_mode = 0;
    stop_how = [] {
        for (const auto &e : fs::directory_iterator("."))
            if (e.path().filename().string().rfind("idx.dat.tmp.", 0) == 0) {
                struct stat st;
                if (lstat(e.path().c_str(), &st) == 0) seen_mode = st.st_mode & 0777;
            }
    };
    word_sink = stop_at_word;
    mode_t old = umask(022);
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    umask(old);
    EXPECT_EQ(seen_mode, 0600u);
    struct stat st;
    ASSERT_EQ(stat("idx.dat", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

} // namespace

namespace {

// The stop list seeded into a new index directory is copied the same careful way: a link at the
// target is neither followed nor replaced, and no half copy or leftover file is ever seen.
TEST_F(RunFile, CopyNeverWritesThroughALink) {
    write("src.txt", "castles\n");
    write("victim", "the victim's own words");
    fs::create_symlink(path("victim"), path("linked.txt"));
    fs::create_symlink(path("made-by-link"), path("dangling.txt"));
    EXPECT_EQ(os_copy_file(path("src.txt").c_str(), path("linked.txt").c_str()), -1);
    EXPECT_EQ(os_copy_file(path("src.txt").c_str(), path("dangling.txt").c_str()), -1);
    EXPECT_EQ(read_file(path("victim")), "the victim's own words");
    EXPECT_FALSE(fs::exists(path("made-by-link")));
    ASSERT_EQ(os_copy_file(path("src.txt").c_str(), path("copy.txt").c_str()), 0);
    EXPECT_EQ(read_file(path("copy.txt")), "castles\n");
    int entries = 0;
    for (const auto &e : fs::directory_iterator(root())) entries += e.path().filename().string().rfind("copy.txt", 0) == 0;
    EXPECT_EQ(entries, 1); // no temporary file left beside it
}

} // namespace
