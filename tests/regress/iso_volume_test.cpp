// Faults of the ISO 9660 reader and CD mode found by hostile and large images: each test failed
// before its fix.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"
#include "tests/iso_image.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

int volume_opens = 0; // opens of disc.iso through the platform layer

int counting_open(int dir_fd, const char *path, int sys_flags, int mode) {
    if (fs::path(path).filename() == "disc.iso") volume_opens++;
    return os_sys_default.open(dir_fd, path, sys_flags, mode);
}

class IsoVolume : public EngineTree {
  protected:

    // "freq path" of every file holding any of the words, best first.
    static std::vector<std::string> search(const char *words) {
        query_idx(words);
        std::vector<std::string> rows;
        char *p;
        int f;
        while (next_result(&p, &f, nullptr) == 0)
            rows.push_back(std::to_string(f) + " " + p);
        return rows;
    }

    // olmarest-cli with these arguments, in-process; its exit status, standard output in *out.
    static int cli(std::vector<std::string> args, std::string *out) {
        std::vector<char *> argv{const_cast<char *>("olmarest-cli"), const_cast<char *>("-d"),
                                 const_cast<char *>(".")};
        for (std::string &a : args)
            argv.push_back(a.data());
        FILE *o = tmpfile(), *e = tmpfile();
        int rc = cli_run(static_cast<int>(argv.size()), argv.data(), o, e);
        rewind(o);
        out->clear();
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, o)) > 0;)
            out->append(buf, n);
        fclose(o);
        fclose(e);
        return rc;
    }
};

// Hard links are directory records sharing one extent: each gets its file's words, as a copy of
// the file would, and a small shared extent is read from the volume once.
TEST_F(IsoVolume, FilesSharingAnExtentEachGetTheirWords) {
    write("src/a.txt", "harbour lighthouse keeper\n");
    write("src/m.txt", "gulls over the harbour wall\n");
    // Longer than the copy kept of a shared extent: the second record reads it again.
    std::string big;
    while (big.size() < 9 * 1048576)
        big += "stairs climbing keepers\n";
    write("src/big.txt", big + "seaweed\n");
    ASSERT_EQ(link(path("src/a.txt").c_str(), path("src/b.txt").c_str()), 0);
    ASSERT_EQ(link(path("src/a.txt").c_str(), path("src/c.txt").c_str()), 0);
    ASSERT_EQ(link(path("src/big.txt").c_str(), path("src/huge.txt").c_str()), 0);
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-R"));
    fs::copy(path("src"), path("copies"), fs::copy_options::recursive); // links become copies
    ASSERT_TRUE(make_iso(path("copies"), "copies.iso", "-R"));
    os_sys.open = counting_open;
    ASSERT_EQ(index_tree("disc.iso"), 2) << idx_reason();
    EXPECT_EQ(volume_opens, 2) << "the listing, and the long extent read again; the short one is kept";
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    std::vector<std::string> want{"1 disc.iso/a.txt", "1 disc.iso/b.txt", "1 disc.iso/c.txt"};
    EXPECT_EQ(search("lighthouse"), want);
    EXPECT_EQ(search("seaweed"), (std::vector<std::string>{"1 disc.iso/big.txt", "1 disc.iso/huge.txt"}));
    std::vector<std::string> linked = search("harbour keeper seaweed");
    ASSERT_EQ(index_tree("copies.iso"), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    std::vector<std::string> copied = search("harbour keeper seaweed");
    for (std::string &row : copied)
        row.replace(row.find("copies.iso"), 10, "disc.iso");
    std::sort(linked.begin(), linked.end());
    std::sort(copied.begin(), copied.end());
    EXPECT_EQ(linked, copied);
}

// Compressed and UTF-16 files on a disc are decoded from the volume's one stream, hard links to
// them too (their shared extent delivered again), and their excerpts decoded from the volume.
TEST_F(IsoVolume, CompressedAndUtf16FilesOnADiscWithTheirExcerpts) {
    std::string log;
    while (log.size() < 3 * READ_SIZE) log += "keepers watching the lamp\n";
    write("src/log.gz", gzip_bytes(log + "the albatross returns\n"));
    write("src/le.txt", utf16_bytes("The zabaglione is served daily.\n", true, true));
    ASSERT_EQ(link(path("src/log.gz").c_str(), path("src/same.gz").c_str()), 0);
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-R"));
    std::string out;
    EXPECT_EQ(cli({"index", "disc.iso"}, &out), 0) << out;
    EXPECT_EQ(cli({"search", "albatross"}, &out), 0);
    EXPECT_EQ(out, "1\t" + path("disc.iso/log.gz") + "\tp the albatross returns  ... \n1\t" +
                       path("disc.iso/same.gz") + "\tp the albatross returns  ... \n");
    EXPECT_EQ(cli({"search", "zabaglione"}, &out), 0);
    EXPECT_EQ(out, "1\t" + path("disc.iso/le.txt") + "\tThe zabaglione is served ... \n");
}

// An image cut short: the files whose data runs past its end are named in the report, with the
// words of what the image still holds indexed.
TEST_F(IsoVolume, FilesPastTheEndOfACutImageAreNamed) {
    std::string text;
    while (text.size() < 100000)
        text += "lighthouse keepers watching ";
    for (int i = 0; i < 8; i++)
        write("src/f" + std::to_string(i) + ".txt", text);
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-R"));
    ASSERT_EQ(read_cd_fs("disc.iso"), 0);
    ASSERT_EQ(num_files.load(), 8);
    uint64_t cut = file_table[5].disk_ofs + 1000; // inside f5: f5, f6 and f7 lose data
    close_cd_volume();
    fs::resize_file(path("disc.iso"), cut);
    std::string out;
    cli({"index", "disc.iso"}, &out);
    EXPECT_NE(out.find("Note: 3 files could not be read:\n"
                       "  " + path("disc.iso/f5.txt") + ": its data lies past the end of the volume\n"
                       "  " + path("disc.iso/f6.txt") + ": its data lies past the end of the volume\n"
                       "  " + path("disc.iso/f7.txt") + ": its data lies past the end of the volume\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(cli({"search", "-l", "lighthouse"}, &out), 0);
    EXPECT_NE(out.find(path("disc.iso/f5.txt")), std::string::npos) << "its first 1000 bytes were there";
    EXPECT_EQ(out.find(path("disc.iso/f6.txt")), std::string::npos);
}

// An image of 25,000 files keeps its directories past the first 4 MiB: it could not be indexed at
// all, and an assertion text was printed. Directories there are read when they are listed.
TEST_F(IsoVolume, DirectoriesPastTheFirstFourMiBAreRead) {
    // The files are grafted from a list, each an empty file but the last, so that the tree need
    // not be written file by file.
    constexpr int DIRS = 50, FILES = 500;
    write("empty", "");
    write("data", "lighthouse keeper harbour\n");
    mkdir("src");
    std::string list;
    for (int d = 0; d < DIRS; d++)
        for (int f = 0; f < FILES; f++)
            list += "directory number " + std::to_string(d) + "/a file with a longer name, number " +
                    std::to_string(f) + ".txt=" + path(d == DIRS - 1 && f == FILES - 1 ? "data" : "empty") + "\n";
    write("list", list);
    ASSERT_TRUE(make_iso(path("src"), "big.iso", "-J -R -graft-points -path-list " + path("list")));
    ASSERT_EQ(index_tree("big.iso"), 2) << idx_reason();
    EXPECT_EQ(num_files.load(), DIRS * FILES);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(search("lighthouse"),
              std::vector<std::string>{"1 big.iso/directory number 49/a file with a longer name, number 499.txt"});
    // A subtree far out on the volume.
    ASSERT_EQ(index_tree("big.iso/directory number 49"), 2) << idx_reason();
    EXPECT_EQ(num_files.load(), FILES);
}

// Joliet names were cut to the low byte of each unit: "Müller.txt" became Latin-1 and "日.txt"
// and "å.txt" became one name. They are UTF-8 now, with units that are no character replaced.
TEST_F(IsoVolume, JolietNamesAreUtf8) {
    const std::vector<std::string> names{"M\xc3\xbcller.txt", "\xe6\x97\xa5.txt", "\xc3\xa5.txt"};
    for (const std::string &n : names)
        write("src/" + n, "text");
    write("src/\xc3\xa5/in.txt", "text");
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J -R -input-charset UTF-8"));
    ASSERT_EQ(read_cd_fs("disc.iso"), 0);
    std::vector<std::string> got, want{"disc.iso/\xc3\xa5/in.txt"};
    for (const FileEntry &e : file_table)
        got.push_back(std::string(e.dir_name) + "/" + e.file_name);
    for (const std::string &n : names)
        want.push_back("disc.iso/" + n);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    close_cd_volume();
    // Units xorriso does not write: a surrogate pair, a lone surrogate, an escape, a newline.
    IsoImage img(40);
    img.pvd(20, 2048);
    img.joliet(21, 2048);
    img.dir(20, 2048, 20, {{"A.TXT;1", 30, 4}});
    img.dir(21, 2048, 21, {{std::string("\xd8\x3d\xde\x00\xd8\x3d\0a\0\x1b\0\n\0b", 14), 30, 4}});
    img.data(30, "text");
    img.save("odd.iso");
    reset_pools();
    ASSERT_EQ(read_cd_fs("odd.iso"), 0);
    ASSERT_EQ(file_table.size(), 1u);
    EXPECT_STREQ(file_table[0].file_name, "\xf0\x9f\x98\x80\xef\xbf\xbd" "a\xef\xbf\xbd\xef\xbf\xbd" "b");
}

// A Rock Ridge symbolic link was listed as an empty file of its own.
TEST_F(IsoVolume, RockRidgeSymbolicLinksAreLeftOut) {
    write("src/a.txt", "harbour");
    write("src/docs/b.txt", "harbour");
    fs::create_symlink("a.txt", path("src/link.txt"));
    fs::create_symlink("docs", path("src/dirlink"));
    fs::create_symlink("nowhere", path("src/docs/dangling"));
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-R"));
    ASSERT_EQ(read_cd_fs("disc.iso"), 0);
    std::vector<std::string> got;
    for (const FileEntry &e : file_table)
        got.push_back(std::string(e.dir_name) + "/" + e.file_name);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"disc.iso/a.txt", "disc.iso/docs/b.txt"}));
}

} // namespace
