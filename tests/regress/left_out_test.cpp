// Nothing left out silently, no name acting on the terminal: folders the walk cannot list and
// paths too long for it are named in the report like unreadable files, a run that left anything
// out exits with its own code, and names reach the terminal with their control characters escaped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "idx/text/encoding.h"
#include "idx/text/extract.h"
#include "idx/idxdir.h"
#include "idx/store/pool.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

struct CliResult {
    int code;
    std::string out, err;
};

class LeftOut : public EngineTree {
  protected:

    static std::string slurp(FILE *f) {
        rewind(f);
        std::string s;
        for (int c; (c = fgetc(f)) != EOF;) s += static_cast<char>(c);
        fclose(f);
        return s;
    }
    // olmarest-cli with its index in this test's own directory.
    CliResult cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"olmarest-cli", "-d", root()});
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        FILE *out = tmpfile(), *err = tmpfile();
        int code = cli_run(static_cast<int>(args.size()), argv.data(), out, err);
        return CliResult{code, slurp(out), slurp(err)};
    }
};

// Root reads every folder whatever its mode, so the refusal is made where the walk opens it.
int open_refusing_closed(int dir_fd, const char *path, int sys_flags, int mode) {
    if ((sys_flags & O_DIRECTORY) && fs::path(path).filename().string().rfind("closed", 0) == 0) {
        os_set_last_error(EACCES);
        return -1;
    }
    return os_sys_default.open(dir_fd, path, sys_flags, mode);
}

TEST_F(LeftOut, UnlistableFoldersAreNamedAndTheRunSaysItIsIncomplete) {
    write("tree/a.txt", "harbour lighthouse keeper\n");
    write("tree/closed1/secret.txt", "hidden words\n");
    write("tree/open/closed2/inner/more.txt", "hidden deeper\n");
    write("tree/open/b.txt", "gardens rivers\n");
    os_sys.open = open_refusing_closed;
    CliResult r = cli({"index", tree()});
    EXPECT_EQ(r.code, EXIT_INCOMPLETE) << r.out << r.err;
    std::string denied = strerror(EACCES);
    EXPECT_NE(r.out.find("Index complete"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Note: 2 files or folders could not be read:\n"
                         "  " + tree() + "/closed1/: " + denied + " (none of its files is indexed)\n"
                         "  " + tree() + "/open/closed2/: " + denied + " (none of its files is indexed)\n"),
              std::string::npos)
        << r.out;
    os_sys = os_sys_default;
    // Everything readable: complete, exit 0, no note.
    fs::remove_all(path("tree/closed1"));
    fs::remove_all(path("tree/open/closed2"));
    r = cli({"index", tree()});
    EXPECT_EQ(r.code, EXIT_MATCH) << r.out << r.err;
    EXPECT_EQ(r.out.find("Note:"), std::string::npos) << r.out;
}

// Where root's powers do not hide it, a folder of mode 000 is left out and named the same way.
TEST_F(LeftOut, FolderWithoutPermissionIsNamed) {
    if (geteuid() == 0) GTEST_SKIP() << "root lists every folder";
    write("tree/a.txt", "harbour lighthouse keeper\n");
    write("tree/locked/secret.txt", "hidden words\n");
    fs::permissions(path("tree/locked"), fs::perms::none);
    CliResult r = cli({"index", tree()});
    fs::permissions(path("tree/locked"), fs::perms::owner_all);
    EXPECT_EQ(r.code, EXIT_INCOMPLETE);
    EXPECT_NE(r.out.find("  " + tree() + "/locked/: " + strerror(EACCES)), std::string::npos) << r.out;
}

// Paths of 4,096 bytes or more do not fit the walk's buffers: each is named, never cut or skipped
// silently.
TEST_F(LeftOut, OverlongPathsAreNamed) {
    write("tree/a.txt", "harbour lighthouse keeper\n");
    std::string comp(200, 'd');
    // Made one level at a time from inside, as no single system call takes the whole path.
    std::string here = fs::current_path();
    fs::current_path(tree());
    std::string rel;
    while (tree().size() + rel.size() + 2 * (comp.size() + 1) < 4096) {
        fs::create_directory(comp);
        fs::current_path(comp);
        rel += "/" + comp;
    }
    std::string deep = tree() + rel;
    // A file whose own path is too long at this depth, and a folder too long to enter.
    std::string name(4096 - deep.size(), 'f');
    FILE *f = fopen(name.c_str(), "w");
    ASSERT_TRUE(f);
    fputs("lantern words\n", f);
    fclose(f);
    std::string sub(4096 - deep.size(), 'g');
    fs::create_directory(sub);
    fs::current_path(here);
    CliResult r = cli({"index", tree()});
    EXPECT_EQ(r.code, EXIT_INCOMPLETE) << r.out << r.err;
    std::string too_long = strerror(ENAMETOOLONG);
    EXPECT_NE(r.out.find("Note: 2 files or folders could not be read:\n"), std::string::npos) << r.out.substr(0, 300);
    EXPECT_NE(r.out.find("  " + deep + "/" + name + ": " + too_long + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("  " + deep + "/" + sub + "/: " + too_long), std::string::npos);
    // Cleaning up needs the same steps in reverse.
    fs::current_path(deep.substr(0, deep.size() - comp.size() - 1));
    fs::remove_all(comp);
    fs::current_path(here);
}

// Names with ESC sequences, newlines and tabs: escaped in search rows and in the report's note;
// --raw and -0 keep the bytes for programs.
TEST_F(LeftOut, ControlCharactersInNamesAreShownEscaped) {
    const std::string evil = "red\x1b[31mname\nfake\trow.txt";
    write("tree/" + evil, "harbour lighthouse keeper\n");
    write("tree/title\x1b]0;owned\x07.txt", "gardens rivers\n");
    CliResult r = cli({"index", tree()});
    ASSERT_EQ(r.code, EXIT_MATCH) << r.out << r.err;
    r = cli({"search", "--no-excerpts", "lighthouse"});
    EXPECT_EQ(r.out, "1\t" + tree() + "/red\\x1b[31mname\\nfake\\trow.txt\n");
    r = cli({"search", "-l", "gardens"});
    EXPECT_EQ(r.out, tree() + "/title\\x1b]0;owned\\x07.txt\n");
    r = cli({"search", "-l", "-0", "lighthouse"});
    EXPECT_EQ(r.out, tree() + "/" + evil + std::string(1, '\0'));
    r = cli({"search", "--raw", "--no-excerpts", "lighthouse"});
    EXPECT_EQ(r.out, "1\t" + tree() + "/" + evil + "\n");
    // The note on a file that could not be read.
    os_sys.open = [](int dir_fd, const char *p, int flags, int mode) {
        if (strstr(p, "red\x1b")) {
            os_set_last_error(EACCES);
            return -1;
        }
        return os_sys_default.open(dir_fd, p, flags, mode);
    };
    r = cli({"index", tree()});
    os_sys = os_sys_default;
    EXPECT_EQ(r.code, EXIT_INCOMPLETE);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/red\\x1b[31mname\\nfake\\trow.txt: "), std::string::npos) << r.out;
}

} // namespace

namespace {

// A file of 4 GiB or more is read to its last byte: its size is no longer kept modulo 2^32 (a
// file of exactly 4 GiB was taken for an empty one, and the words past 4 GiB were lost). A sparse
// file costs no disk: text in its first block and past 4 GiB, zeros between.
TEST_F(LeftOut, FilesOfFourGibibytesAndMoreAreReadWhole) {
    constexpr uint64_t GIB4 = uint64_t{1} << 32;
    std::string head = "harbour lighthouse keeper ";
    while (head.size() < 40000) head += "harbour lighthouse keeper ";
    for (uint64_t size : {GIB4, GIB4 + 20000}) {
        SCOPED_TRACE(size);
        fs::remove_all(tree());
        write("tree/big.txt", head);
        int fd = open(path("tree/big.txt").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const char tail[] = " lantern ";
        uint64_t at = size - sizeof tail + 1;
        ASSERT_EQ(pwrite(fd, tail, sizeof tail - 1, static_cast<off_t>(at)), static_cast<ssize_t>(sizeof tail - 1));
        close(fd);
        ASSERT_EQ(fs::file_size(path("tree/big.txt")), size);
        CliResult r = cli({"index", tree()});
        ASSERT_EQ(r.code, EXIT_MATCH) << r.out << r.err;
        EXPECT_EQ(total_bytes.load(), size);
        r = cli({"search", "-l", "lantern"});
        EXPECT_EQ(r.out, tree() + "/big.txt\n");
    }
}

} // namespace

namespace {

void *private_map_fails(int fd, uint64_t size, bool writable) {
    if (fd < 0) {
        os_set_last_error(ENOMEM);
        return nullptr;
    }
    return os_sys_default.map(fd, size, writable);
}

// Under a low ulimit -v the memory for names cannot be had at all: that is said, not that the
// index is too large or the tree has too many names.
TEST_F(LeftOut, MemoryThatCannotBeReservedIsReportedAsSuch) {
    write("tree/a.txt", "harbour lighthouse keeper\n");
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    uint8_t *kept = heap_pool.base;
    heap_pool.base = nullptr; // as in a process that has not reserved it yet
    os_sys.map = private_map_fails;
    std::string want = std::string("out of memory: the 8 MiB for file names cannot be reserved: ") + strerror(ENOMEM);
    EXPECT_EQ(read_idx(), -1);
    EXPECT_EQ(idx_reason(), want);
    EXPECT_EQ(index_tree(tree()), 3);
    EXPECT_EQ(idx_reason(), want);
    os_sys = os_sys_default;
    heap_pool.base = kept;
    EXPECT_EQ(read_idx(), 0) << idx_reason();
}

} // namespace
