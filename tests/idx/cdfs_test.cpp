// The ISO 9660 reader: which files of a volume it lists, under which names and paths, in which
// order, and how it refuses damaged volumes. Real images come from xorriso; the cases no tool
// writes come from hand-built images.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "idx/check.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "tests/iso_image.h"
#include "tests/test_util.h"

namespace {

std::string reports;

void capture(const char *text) {
    reports += std::string(text) + "\n";
}

class CdReader : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        reset_pools();
        reports.clear();
        set_report_hook(capture);
    }
    void TearDown() override {
        set_report_hook(nullptr);
        close_cd_volume();
        TempTree::TearDown();
    }

    // The table as "dir_name/file_name" paths, in table order.
    static std::vector<std::string> listed() {
        std::vector<std::string> out;
        for (const FileEntry &e : file_table)
            out.push_back(std::string(e.dir_name) + "/" + e.file_name);
        return out;
    }

    // The tree most cases index: files in the root, two levels down, and in a directory whose name
    // is the start of another's.
    void write_tree() {
        write("src/README.TXT", "readme text");
        write("src/docs/a.txt", "alpha");
        write("src/docs/sub/b.txt", "beta");
        write("src/doc/c.txt", "gamma");
        write("src/other/d.txt", "delta");
    }
};

TEST_F(CdReader, ListsTheVolumeOrASubtreeInDiskOrder) {
    write_tree();
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "--norock"));
    struct Case {
        const char *path;
        int result;
        std::vector<std::string> files; // in any order; the table must be in disk order
    } cases[] = {
        {"disc.iso",
         0,
         {"disc.iso/README.TXT", "disc.iso/DOCS/A.TXT", "disc.iso/DOCS/SUB/B.TXT", "disc.iso/DOC/C.TXT",
          "disc.iso/OTHER/D.TXT"}},
        {"disc.iso/",
         0,
         {"disc.iso/README.TXT", "disc.iso/DOCS/A.TXT", "disc.iso/DOCS/SUB/B.TXT", "disc.iso/DOC/C.TXT",
          "disc.iso/OTHER/D.TXT"}},
        {"disc.iso/docs/sub", 0, {"disc.iso/DOCS/SUB/B.TXT"}}, // lower case selects upper case
        {"disc.iso/docs", 0, {"disc.iso/DOCS/A.TXT", "disc.iso/DOCS/SUB/B.TXT"}}, // DOC is not DOCS
        {"disc.iso/DOC", 0, {"disc.iso/DOC/C.TXT"}},
        {"disc.iso/do", 1, {}},
        {"disc.iso/docs/sub/deeper", 1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        reset_pools();
        ASSERT_EQ(read_cd_fs(c.path), c.result);
        std::vector<std::string> got = listed(), want = c.files;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
        EXPECT_EQ(num_files.load(), static_cast<int>(want.size()));
        if (c.result != 0) {
            EXPECT_STREQ(cd_fail_reason, "no file found below the path");
            EXPECT_EQ(cd_volume.fd, -1);
            continue;
        }
        uint64_t lo = ~uint64_t{0}, hi = 0;
        for (size_t i = 0; i < file_table.size(); i++) {
            const FileEntry &e = file_table[i];
            if (i > 0) {
                EXPECT_LT(file_table[i - 1].disk_ofs, e.disk_ofs);
            }
            EXPECT_EQ(e.disk_ofs % 2048, 0u);
            EXPECT_EQ(e.kind, 1);
            lo = std::min(lo, e.disk_ofs);
            hi = std::max(hi, (e.disk_ofs + e.file_size + 2047) / 2048 * 2048);
        }
        EXPECT_EQ(cd_volume.span_start, lo);
        EXPECT_EQ(cd_volume.span_end, hi);
        EXPECT_EQ(total_bytes.load(), hi - lo);
        EXPECT_GE(cd_volume.fd, 0);
        EXPECT_STREQ(cd_volume.device, "disc.iso");
        close_cd_volume();
    }
    // The data read at a file's offset is the file.
    ASSERT_EQ(read_cd_fs("disc.iso/docs/sub"), 0);
    std::string image = read_file("disc.iso");
    EXPECT_EQ(image.substr(file_table[0].disk_ofs, file_table[0].file_size), "beta");
}

TEST_F(CdReader, NamesKeepWhatTheirVersionSuffixLeaves) {
    IsoImage img(40);
    img.pvd(20, 2048);
    img.dir(20, 2048, 20,
            {{"README.TXT;1", 30, 3},
             {"README.;1", 31, 3},
             {"NOVERSION", 32, 3},
             {"A;B;1", 33, 3},
             {";1", 34, 3}});
    img.save("disc.iso");
    ASSERT_EQ(read_cd_fs("disc.iso"), 0);
    EXPECT_EQ(listed(),
              (std::vector<std::string>{"disc.iso/README.TXT", "disc.iso/README.", "disc.iso/NOVERSION",
                                        "disc.iso/A"})); // ";1" leaves no name: passed over
}

TEST_F(CdReader, RecordsHiddenFilesAndEveryExtentButNeitherDotsNorAssociatedFiles) {
    IsoImage img(60);
    img.pvd(20, 2048);
    img.dir(20, 2048, 20,
            {{"ASSOC.TXT;1", 30, 10, 4},
             {"BIG.DAT;1", 40, 4096, 0x80}, // first extent; more follow
             {"BIG.DAT;1", 44, 100, 0},
             {"EMPTY.;1", 0, 0},
             {"HIDDEN.TXT;1", 31, 5, 1},
             {"SUBDIR", 21, 2048, 2 | 4}}); // a directory whatever its other bits
    img.dir(21, 2048, 20, {{"IN.TXT;1", 32, 7}});
    img.save("disc.iso");
    ASSERT_EQ(read_cd_fs("disc.iso"), 0);
    EXPECT_EQ(listed(),
              (std::vector<std::string>{"disc.iso/EMPTY.", "disc.iso/HIDDEN.TXT", "disc.iso/SUBDIR/IN.TXT",
                                        "disc.iso/BIG.DAT", "disc.iso/BIG.DAT"}));
    EXPECT_EQ(file_table[3].disk_ofs, 40u * 2048);
    EXPECT_EQ(file_table[4].disk_ofs, 44u * 2048);
    // The empty file at location 0 opens the span at the volume's first byte.
    EXPECT_EQ(cd_volume.span_start, 0u);
    EXPECT_EQ(cd_volume.span_end, 45u * 2048);
    EXPECT_EQ(total_bytes.load(), 45u * 2048);
}

TEST_F(CdReader, JolietNamesReplacePrimaryOnes) {
    write("src/Long File Name.txt", "long");
    write("src/M\xc3\xbcller.txt", "umlaut");
    write("src/\xc3\x9c"
          "ber/x.txt",
          "x");                             // a directory with a Latin-1 name
    write("src/\xce\xa9mega.txt", "omega"); // beyond Latin-1
    ASSERT_TRUE(make_iso(path("src"), "joliet.iso", "-J -input-charset UTF-8"));
    ASSERT_TRUE(make_iso(path("src"), "primary.iso", "--norock -input-charset UTF-8"));
    ASSERT_EQ(read_cd_fs("joliet.iso"), 0);
    std::vector<std::string> got = listed();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"joliet.iso/Long File Name.txt", "joliet.iso/M\xc3\xbcller.txt",
                                             "joliet.iso/\xc3\x9c"
                                             "ber/x.txt",
                                             "joliet.iso/\xce\xa9mega.txt"}));
    // A path typed in UTF-8 selects the directory it spells, in any case.
    reset_pools();
    ASSERT_EQ(read_cd_fs("joliet.iso/\xc3\xbc"
                         "BER"),
              0);
    EXPECT_EQ(listed(), std::vector<std::string>{"joliet.iso/\xc3\x9c"
                                                 "ber/x.txt"});
    reset_pools();
    ASSERT_EQ(read_cd_fs("primary.iso"), 0);
    got = listed();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"primary.iso/LONG_FIL.TXT", "primary.iso/M_LLER.TXT",
                                             "primary.iso/_BER/X.TXT", "primary.iso/_MEGA.TXT"}));
}

TEST_F(CdReader, RockRidgeNamesServeVolumesWithoutJoliet) {
    write("src/Long File Name.txt", "long");
    write("src/M\xc3\xbcller.txt", "umlaut");
    write("src/a;b.txt", "semicolon"); // a real name: no version to cut
    write("src/docs/Sub Dir/deep.txt", "deep");
    ASSERT_TRUE(make_iso(path("src"), "rr.iso", "-R"));
    ASSERT_TRUE(make_iso(path("src"), "rrj.iso", "-R -J -input-charset UTF-8"));
    ASSERT_EQ(read_cd_fs("rr.iso"), 0);
    std::vector<std::string> got = listed();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"rr.iso/Long File Name.txt", "rr.iso/M\xc3\xbcller.txt",
                                             "rr.iso/a;b.txt", "rr.iso/docs/Sub Dir/deep.txt"}));
    reset_pools();
    ASSERT_EQ(read_cd_fs("rr.iso/DOCS/sub dir"), 0);
    EXPECT_EQ(listed(), std::vector<std::string>{"rr.iso/docs/Sub Dir/deep.txt"});
    // With Joliet present its names are used, as ever (xorriso writes no ';' into them).
    reset_pools();
    ASSERT_EQ(read_cd_fs("rrj.iso"), 0);
    got = listed();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"rrj.iso/Long File Name.txt", "rrj.iso/M\xc3\xbcller.txt",
                                             "rrj.iso/a_b.txt", "rrj.iso/docs/Sub Dir/deep.txt"}));
}

TEST_F(CdReader, DirectoriesBeyondTheFirstFourMiBAreReadWhenListed) {
    // The root lies beyond the loaded area, then only a subdirectory does.
    for (uint32_t root : {2100u, 20u}) {
        SCOPED_TRACE(root);
        reports.clear();
        reset_pools();
        IsoImage img(2200);
        img.pvd(root, 2048);
        img.dir(root, 2048, root, {{"FAR", 2150, 2048, 2}, {"A.TXT;1", 30, 5}});
        img.dir(2150, 2048, root, {{"B.TXT;1", 31, 5}});
        img.save("far.iso");
        EXPECT_EQ(read_cd_fs("far.iso"), 0);
        EXPECT_EQ(listed(), (std::vector<std::string>{"far.iso/A.TXT", "far.iso/FAR/B.TXT"}));
        EXPECT_EQ(reports, "");
        close_cd_volume();
        // Without a reader for the rest of the volume the listing fails, with no assertion text.
        reset_pools();
        uint64_t lo, hi;
        auto *area = reinterpret_cast<const uint8_t *>(img.bytes.data());
        EXPECT_EQ(list_cd_files(area, FS_BUF_SIZE, img.bytes.size(), "cd", "", &lo, &hi), -1);
        EXPECT_STREQ(cd_fail_reason, "the volume's directories lie beyond its first 4 MiB");
        EXPECT_TRUE(file_table.empty());
        EXPECT_EQ(reports, "");
    }
}

// Damaged volumes: each case changes a sound image; the reader must fail with its reason or pass
// over the bad record, and never read outside the image (ASan builds check that).
TEST_F(CdReader, DamagedVolumesFailCleanlyOrLoseOnlyTheBadRecord) {
    auto sound = [] {
        IsoImage img(40);
        img.pvd(20, 2048);
        img.dir(20, 2048, 20, {{"A.TXT;1", 30, 5}, {"SUB", 21, 2048, 2}, {"Z.TXT;1", 31, 5}});
        img.dir(21, 2048, 20, {{"B.TXT;1", 32, 5}});
        return img;
    };
    const size_t first_rec = 20 * 2048 + 34 + 34; // after "." and ".."
    const char *damaged = "the volume's directory records are damaged";
    const char *not_iso = "not an ISO 9660 volume";
    struct Case {
        const char *name;
        std::function<void(std::string &)> harm;
        int result;
        const char *reason;
        std::vector<std::string> files;
    } cases[] = {
        {"sound",
         [](std::string &) {},
         0,
         nullptr,
         {"disc.iso/A.TXT", "disc.iso/Z.TXT", "disc.iso/SUB/B.TXT"}},
        {"cut inside sector 16", [](std::string &b) { b.resize(16 * 2048 + 100); }, -1, not_iso, {}},
        {"cut before the directories", [](std::string &b) { b.resize(19 * 2048); }, -1, damaged, {}},
        {"sector 16 blank",
         [](std::string &b) { std::fill(b.begin() + 16 * 2048, b.begin() + 17 * 2048, 0); },
         -1,
         not_iso,
         {}},
        {"block size 512",
         [](std::string &b) { b[16 * 2048 + 128] = 0, b[16 * 2048 + 129] = 2; },
         -1,
         not_iso,
         {}},
        {"record shorter than its fixed part", [&](std::string &b) { b[first_rec] = 20; }, -1, damaged, {}},
        {"record running past its directory",
         [](std::string &b) {
             b[16 * 2048 + 156 + 10] = static_cast<char>(150), b[16 * 2048 + 156 + 11] = 0;
         },
         -1,
         damaged,
         {}},
        {"name longer than its record",
         [&](std::string &b) { b[first_rec + 32] = 100; },
         0,
         nullptr,
         {"disc.iso/Z.TXT", "disc.iso/SUB/B.TXT"}},
        {"empty name",
         [&](std::string &b) { b[first_rec + 32] = 0; },
         0,
         nullptr,
         {"disc.iso/Z.TXT", "disc.iso/SUB/B.TXT"}},
        {"subdirectory looping to the root",
         [](std::string &b) {
             std::string rec = iso_record({"SUB", 20, 2048, 2});
             size_t at = b.find(std::string("\3SUB"), 20 * 2048) - 32;
             b.replace(at, rec.size(), rec);
         },
         0,
         nullptr,
         {"disc.iso/A.TXT", "disc.iso/Z.TXT"}},
        {"subdirectory overlapping the root",
         [](std::string &b) {
             std::string rec = iso_record({"SUB", 20, 4096, 2});
             size_t at = b.find(std::string("\3SUB"), 20 * 2048) - 32;
             b.replace(at, rec.size(), rec);
         },
         0,
         nullptr,
         {"disc.iso/A.TXT", "disc.iso/Z.TXT"}},
        {"directory past the image's end",
         [](std::string &b) {
             std::string rec = iso_record({"SUB", 200, 2048, 2});
             size_t at = b.find(std::string("\3SUB"), 20 * 2048) - 32;
             b.replace(at, rec.size(), rec);
         },
         -1,
         damaged,
         {}},
        {"root of length 4 GiB", [](std::string &b) { b[16 * 2048 + 156 + 13] = '\xff'; }, -1, damaged, {}},
        {"file past the image's end", // listed: the run names it as not read
         [](std::string &b) {
             std::string rec = iso_record({"A.TXT;1", 39, 4096});
             b.replace(b.find("A.TXT;1") - 33, rec.size(), rec);
         },
         0,
         nullptr,
         {"disc.iso/A.TXT", "disc.iso/Z.TXT", "disc.iso/SUB/B.TXT"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        IsoImage img = sound();
        c.harm(img.bytes);
        img.save("disc.iso");
        reset_pools();
        reports.clear();
        EXPECT_EQ(read_cd_fs("disc.iso"), c.result);
        if (c.reason) {
            EXPECT_STREQ(cd_fail_reason, c.reason);
        } else {
            EXPECT_EQ(cd_fail_reason, nullptr);
        }
        std::vector<std::string> got = listed(), want = c.files;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
        EXPECT_EQ(reports, "");
        close_cd_volume();
    }
}

TEST_F(CdReader, RockRidgeContinuationsEndEvenWhenTheyLoop) {
    // "SP" in the root's "." record, then a file whose name continues in a continuation area that
    // names itself as its own continuation.
    auto le_be = [](uint32_t v) {
        std::string s(8, '\0');
        for (int i = 0; i < 4; i++)
            s[static_cast<size_t>(i)] = s[static_cast<size_t>(7 - i)] = static_cast<char>(v >> (8 * i));
        return s;
    };
    std::string ce = std::string("CE\x1c\x01", 4) + le_be(25) + le_be(0) + le_be(64);
    std::string nm_part = std::string("NM\x08\x01\x01", 5) + "abc"; // continues
    IsoImage img(40);
    img.pvd(20, 2048);
    img.dir(20, 2048, 20, {{"LOOP.TXT;1", 30, 5, 0, nm_part + ce}, {"PLAIN.TXT;1", 31, 5}});
    std::string sp = std::string("SP\x07\x01\xbe\xef\x00", 7);
    std::string dot = iso_record({std::string(1, '\0'), 20, 2048, 2, sp});
    // Rewrite the directory with the longer "." record.
    std::fill(img.bytes.begin() + 20 * 2048, img.bytes.begin() + 21 * 2048, 0);
    std::string recs = dot + iso_record({std::string(1, '\1'), 20, 2048, 2}) +
                       iso_record({"LOOP.TXT;1", 30, 5, 0, nm_part + ce}) +
                       iso_record({"PLAIN.TXT;1", 31, 5});
    img.data(20, recs);
    img.data(25, std::string("NM\x07\x01\x01", 5) + "de" + ce); // continues again, into itself
    img.save("rr.iso");
    ASSERT_EQ(read_cd_fs("rr.iso"), 0);
    std::vector<std::string> got = listed();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].substr(0, 14), "rr.iso/abcdede");
    EXPECT_EQ(got[1], "rr.iso/PLAIN.TXT"); // no "NM": the primary name, cut
}

TEST_F(CdReader, SameVolumeGivesTheSameFileNumbers) {
    // Empty files share a position: their order must not depend on the run.
    IsoImage img(40);
    img.pvd(20, 2048);
    std::vector<IsoRec> recs;
    for (char c = 'A'; c <= 'P'; c++)
        recs.push_back({std::string(1, c) + ".;1", 30, 0});
    recs.push_back({"DATA.;1", 30, 100});
    img.dir(20, 2048, 20, recs);
    img.save("disc.iso");
    ASSERT_EQ(read_cd_fs("disc.iso"), 0);
    std::vector<std::string> first = listed();
    EXPECT_EQ(first.size(), 17u);
    close_cd_volume();
    reset_pools();
    ASSERT_EQ(read_cd_fs("disc.iso"), 0);
    EXPECT_EQ(listed(), first);
}

} // namespace
