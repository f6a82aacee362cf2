// HostileInput found by probing the engine with faults and hostile input: each test failed before its fix.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "cli/commands.h"
#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/store/pool.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"
#include "tests/iso_image.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

using HostileInput = EngineTree;

// An edit that keeps a file's size only moves its modification time; the index must see it.
TEST_F(HostileInput, SameSizeEditMakesTheIndexStale) {
    write("tree/a.txt", "harbour lighthouse keeper\n");
    write("tree/b.txt", "gardens and rivers\n");
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    auto t0 = fs::last_write_time(path("tree/a.txt"));
    struct Edit {
        const char *what;
        fs::file_time_type::duration by;
    };
    for (Edit e : {Edit{"a second later", std::chrono::seconds(1)}, Edit{"a nanosecond later", std::chrono::nanoseconds(1)}}) {
        SCOPED_TRACE(e.what);
        write("tree/a.txt", "seaport lighthouse keeper\n"); // same length, other words
        fs::last_write_time(path("tree/a.txt"), t0 + e.by);
        // The catalogue's load lists the file as changed; a walking load refuses the index.
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        query_idx("harbour");
        char *p;
        int freq;
        ASSERT_EQ(next_result(&p, &freq, nullptr), 0);
        EXPECT_EQ(result_state(), ResultState::changed);
        std::string catalogue = read_file("idx.files");
        fs::remove("idx.files");
        EXPECT_EQ(read_idx(), -1);
        EXPECT_STREQ(idx_reason(), "the indexed folder has changed since the index was made");
        fs::last_write_time(path("tree/a.txt"), t0);
        EXPECT_EQ(read_idx(), 0) << idx_reason() << ": only the time tells the edit apart";
        write("idx.files", catalogue);
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        query_idx("harbour");
        ASSERT_EQ(next_result(&p, &freq, nullptr), 0);
        EXPECT_EQ(result_state(), ResultState::fresh);
    }
}

// On a CD the time is the recording time of the file's directory record: an image made again
// from a tree edited without changing sizes no longer passes for the one indexed.
TEST_F(HostileInput, SameSizeEditOnAnImageMakesTheIndexStale) {
    write("src/a.txt", "harbour lighthouse keeper\n");
    write("src/b.txt", "gardens and rivers\n");
    auto t0 = fs::last_write_time(path("src/a.txt"));
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    std::string disc = path("disc.iso");
    ASSERT_EQ(index_tree(disc), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    close_idx_file();
    write("src/a.txt", "seaport lighthouse keeper\n");
    fs::last_write_time(path("src/a.txt"), t0 + std::chrono::seconds(2)); // recorded to the second
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    EXPECT_EQ(read_idx(), -1);
    EXPECT_STREQ(idx_reason(), "the indexed folder has changed since the index was made");
}

// Names that fill heap_pool to within the word directory's size: the walk fits, the load (which
// copies the directory first) would not. The run must fail then, not report success.
TEST_F(HostileInput, RunFailsWhenItsLoadWouldNotFitTheNamePool) {
    // Directory paths are kept whole in heap_pool, so a few thousand directories deep in a long
    // path fill it; far fewer than files with 255-byte names would take.
    std::string deep = tree();
    uint64_t bytes = 2; // the one file, "f", and its NUL
    write("tree/f", "");
    for (int i = 0; i < 14; i++) {
        deep += "/" + std::string(255, static_cast<char>('a' + i));
        bytes += deep.size() + 1;
    }
    ASSERT_LT(deep.size() + 1 + 255, static_cast<size_t>(OS_PATH_MAX));
    fs::create_directories(deep);
    // Subdirectories whose strings (deep/NAME and its NUL) bring the names to 8 MiB - 4: with the
    // one-entry directory of an index without words, a load needs exactly 8 MiB.
    uint64_t left = HEAP_POOL_LIMIT - 4 - bytes;
    uint64_t longest = deep.size() + 1 + 255 + 1;
    uint64_t count = (left + longest - 1) / longest + 1; // one more: none needs the longest name
    std::string last;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t size = left / (count - i); // spread evenly; never below the counter's 6 bytes
        std::string name = std::to_string(100000 + i);
        name += std::string(size - (deep.size() + 2) - name.size(), 'x');
        ASSERT_LE(name.size(), 255u);
        fs::create_directory(deep + "/" + name);
        left -= deep.size() + 2 + name.size();
        last = name;
    }
    ASSERT_EQ(left, 0u);

    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    EXPECT_EQ(read_idx(), 0) << idx_reason() << ": a load of exactly 8 MiB fits";

    // One byte more: the run's own walk still fits, its load would not.
    ASSERT_LT(last.size(), 255u);
    fs::rename(deep + "/" + last, deep + "/" + last + "y");
    EXPECT_EQ(index_tree(tree()), 3);
    EXPECT_STREQ(idx_reason(), "the index would not load: its file names and word directory need more than "
                               "the 8 MiB of memory for them");
    EXPECT_EQ(read_idx(), 0) << "the previous index stays, and its catalogue loads it as it was made";
    fs::remove("idx.files");
    EXPECT_EQ(read_idx(), -1) << "a walk of the tree as it is now would not fit";
}

// A FIFO named idx.dat: opening it to read waited for a writer for ever, and a run said
// "Invalid argument". Both now refuse it at once and leave it alone.
TEST_F(HostileInput, FifoNamedIdxDatIsRefusedAtOnce) {
    write("tree/a.txt", "harbour lighthouse keeper\n");
    ASSERT_EQ(mkfifo("idx.dat", 0644), 0);
    alarm(60); // a hang ends the test process instead of the whole suite's time
    EXPECT_EQ(read_idx(), -1);
    EXPECT_STREQ(idx_reason(), "idx.dat is not a regular file");
    EXPECT_EQ(create_idx(tree().c_str()), -1);
    EXPECT_STREQ(idx_reason(), "idx.dat is not a regular file");
    EXPECT_EQ(status_idx(), 3);
    alarm(0);
    EXPECT_TRUE(fs::is_fifo(path("idx.dat")));
}

int map_fails = 0; // how many of the next mappings fail with EAGAIN

void *map_again(int fd, uint64_t size, bool writable) {
    if (fd >= 0 && !writable && map_fails > 0) {
        map_fails--;
        os_set_last_error(EAGAIN);
        return nullptr;
    }
    return os_sys_default.map(fd, size, writable);
}

// The lock and mmap share the code EAGAIN (= EWOULDBLOCK): a mapping that failed passingly was
// reported as "in use by another program". The reason is now that of the call that failed, and a
// passing failure is tried again.
TEST_F(HostileInput, LoadSaysWhichCallFailed) {
    write("tree/a.txt", "harbour lighthouse keeper\n");
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    os_sys.map = map_again;
    map_fails = 1;
    EXPECT_EQ(read_idx(), 0) << idx_reason() << ": one passing failure is tried again";
    map_fails = 1000;
    EXPECT_EQ(read_idx(), -1);
    EXPECT_EQ(std::string(idx_reason()), std::string("idx.dat cannot be read: ") + strerror(EAGAIN));
    os_sys = os_sys_default;
    map_fails = 0;

    // Held and locked by another opening: loads heed no lock.
    int other = open("idx.dat", O_RDONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(read_idx(), 0) << idx_reason();
    close(other);
}

int open_refusing_locked(int dir_fd, const char *path, int sys_flags, int mode) {
    if (strncmp(fs::path(path).filename().c_str(), "locked", 6) == 0) {
        os_set_last_error(EACCES);
        return -1;
    }
    return os_sys_default.open(dir_fd, path, sys_flags, mode);
}

// Files a run could not read were passed over in silence; the report now counts them and names
// the first few, and the run still succeeds.
TEST_F(HostileInput, IndexReportNamesTheFilesNotRead) {
    write("tree/a.txt", "harbour lighthouse keeper\n");
    for (int i = 1; i <= 7; i++) write("tree/locked" + std::to_string(i) + ".txt", "words nobody reads\n");
    os_sys.open = open_refusing_locked;
    FILE *out = tmpfile(), *err = tmpfile();
    ASSERT_TRUE(out && err);
    std::string keep = tree();
    char *argv[] = {const_cast<char *>("olmarest-cli"), const_cast<char *>("index"), keep.data(), nullptr};
    EXPECT_EQ(cli_run(3, argv, out, err), EXIT_INCOMPLETE); // complete, but not everything is in it
    os_sys = os_sys_default;
    rewind(out);
    std::string report;
    for (int c; (c = fgetc(out)) != EOF;) report += static_cast<char>(c);
    fclose(out);
    fclose(err);
    std::string want = "Note: 7 files could not be read:\n";
    for (int i = 1; i <= 5; i++)
        want += "  " + tree() + "/locked" + std::to_string(i) + ".txt: " + strerror(EACCES) + "\n";
    want += "  and 2 more\n";
    EXPECT_NE(report.find(want), std::string::npos) << report;
}

// Markup of n distinct made-up words: markup skips the plausibility filter, so each word counts
// wherever the text is indexed, and the index takes about 60 bytes per word.
std::string many_words(int n) {
    std::string s = "<html><body>\n";
    for (int i = 0; i < n; i++) {
        std::string w = "qz";
        for (int k = i, d = 0; d < 4; d++, k /= 26) w += static_cast<char>('a' + k % 26);
        s += w + (i % 10 == 9 ? "\n" : " ");
    }
    return s + "</body></html>\n";
}

// A disk that fills while the index grows: the run fails with the reason, the process lives, and
// the index of the run before is kept.
TEST_F(HostileInput, FullDiskFailsTheRunAndKeepsThePreviousIndex) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    mkdir("small");
    if (mount("olmarest-test", path("small").c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    std::string small = path("small");
    fs::current_path(small); // idx.dat lands on the small file system
    write("tree/a.txt", "harbour lighthouse keeper\n");
    EXPECT_EQ(index_tree(tree()), 2) << idx_reason() << ": a small index fits a small disk";
    std::string before = read_file(small + "/idx.dat");

    write("big/words.html", many_words(60000)); // an index of about 3.5 MiB
    EXPECT_EQ(index_tree(path("big")), 3);
    EXPECT_STREQ(idx_reason(), "no room for the index file: No space left on device");
    EXPECT_TRUE(read_file(small + "/idx.dat") == before) << "the previous index was not kept";
    EXPECT_EQ(read_idx(), 0) << idx_reason();
    close_idx_file();
    fs::current_path(root());
    umount2(small.c_str(), MNT_DETACH);
}

// Past the file size limit the signal SIGXFSZ would end olmarest-cli with nothing said and a cut
// idx.dat; it is ignored, so the run fails with the reason and the previous index stays.
TEST_F(HostileInput, FileSizeLimitFailsTheRunAndKeepsThePreviousIndex) {
    write("tree/a.txt", "harbour lighthouse keeper\n");
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    std::string before = read_file("idx.dat");
    write("big/words.html", many_words(60000));
    std::string cmd = "ulimit -f 1024 && exec '" OLMAREST_CLI "' index '" + path("big") + "' >out.txt 2>err.txt";
    int st = system(("bash -c \"" + cmd + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(st)) << "ended by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_NE(read_file("err.txt").find("no room for the index file: File too large"), std::string::npos)
        << read_file("err.txt");
    EXPECT_TRUE(read_file("idx.dat") == before) << "the previous index was not kept";
}

} // namespace
