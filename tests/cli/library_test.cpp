// The library through olmarest-cli: entries added, listed, renamed, removed and located, searched
// together with their rows merged, searched with their volume away, and trees split into parts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "front/library.h"
#include "idx/engine.h"
#include "idx/store/pool.h"
#include "tests/iso_image.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// A word of five syllables, one for every i below 20^5, that no other i gives and that reads like a
// word to the plausibility filter.
std::string word_of(int i) {
    static const char *const SYL[] = {"ba", "bo", "da", "do", "ka", "ko", "ma", "mo", "na", "no",
                                      "pa", "po", "ra", "ro", "ta", "to", "va", "vo", "ga", "go"};
    std::string w;
    for (int k = 0; k < 5; k++, i /= 20) w += SYL[i % 20];
    return w;
}

class Library : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        unsetenv("OLMAREST_DIR");
        setenv("XDG_DATA_HOME", path("data").c_str(), 1);
    }
    void TearDown() override {
        idx_write_limit = IDX_POOL_LIMIT;
        TempTree::TearDown();
    }

    static std::vector<std::string> lines(const std::string &s) {
        std::vector<std::string> v;
        size_t start = 0;
        for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1)
            v.push_back(s.substr(start, nl - start));
        return v;
    }
    // Column c of every row.
    static std::vector<std::string> column(const std::string &out, int c) {
        std::vector<std::string> v;
        for (const std::string &l : lines(out)) {
            size_t at = 0;
            for (int k = 0; k < c && at != std::string::npos; k++) at = l.find('\t', at) + 1;
            v.push_back(l.substr(at, l.find('\t', at) - at));
        }
        return v;
    }
};

TEST_F(Library, EntriesMergeByRankThenEntryThenFile) {
    write("alpha/one.txt", "lantern lantern lantern harbour\n");
    write("alpha/two.txt", "harbour walls\n");
    write("beta/three.txt", "harbour harbour and lantern\n");
    write("beta/four.txt", "a lantern alone\n");
    ASSERT_EQ(run_cli({"add", path("alpha")}).code, 0);
    CliResult r = run_cli({"add", "--name", "beta", path("beta")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Added to the library as 'beta'."), std::string::npos);
    EXPECT_EQ(library_names(), (std::vector<std::string>{"alpha", "beta"}));

    r = run_cli({"search", "lantern", "harbour"});
    ASSERT_EQ(r.code, 0) << r.err;
    // Two words before one; among two-word rows the frequency; at equal rank alpha before beta.
    EXPECT_EQ(column(r.out, 0), (std::vector<std::string>{"4", "3", "1", "1"}));
    EXPECT_EQ(column(r.out, 1), (std::vector<std::string>{"alpha", "beta", "alpha", "beta"}));
    EXPECT_EQ(column(r.out, 2), (std::vector<std::string>{path("alpha/one.txt"), path("beta/three.txt"),
                                                          path("alpha/two.txt"), path("beta/four.txt")}));
    // One entry: the single index's own rows, no volume column.
    r = run_cli({"search", "-e", "beta", "--no-excerpts", "lantern", "harbour"});
    EXPECT_EQ(r.out, "3\t" + path("beta/three.txt") + "\n1\t" + path("beta/four.txt") + "\n");
    // The same rows as the single index of that folder gives.
    fs::create_directories(path("single"));
    ASSERT_EQ(run_cli({"-d", path("single"), "index", path("beta")}).code, 0);
    EXPECT_EQ(run_cli({"-d", path("single"), "search", "--no-excerpts", "lantern", "harbour"}).out, r.out);
    EXPECT_EQ(run_cli({"search", "-e", "beta", "walls"}).code, 1);
    // The same folder again is refused; a second entry of the same label is numbered.
    r = run_cli({"add", path("beta")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("in the library already, as 'beta'"), std::string::npos);
    EXPECT_EQ(new_entry_name("beta"), "beta (2)");
    EXPECT_EQ(new_entry_name("a/b\n"), "a_b_");
}

TEST_F(Library, AnUnreadableEntryIsNamedAndTheOthersStillSearched) {
    write("alpha/one.txt", "lantern keepers\n");
    write("beta/two.txt", "lantern keepers\n");
    ASSERT_EQ(run_cli({"add", path("alpha")}).code, 0);
    ASSERT_EQ(run_cli({"add", path("beta")}).code, 0);
    std::ofstream(entry_dir("alpha") + "/idx.dat", std::ios::trunc) << "no index at all";
    CliResult r = run_cli({"search", "lantern"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(column(r.out, 1), (std::vector<std::string>{path("beta/two.txt")}));
    EXPECT_NE(r.err.find("olmarest-cli: alpha: idx.dat is damaged"), std::string::npos) << r.err;
    EXPECT_EQ(run_cli({"search", "-e", "nothere", "lantern"}).code, 2);
    r = run_cli({"list"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.out.find("alpha  unreadable: idx.dat is damaged"), std::string::npos) << r.out;
}

TEST_F(Library, RowsSayWhatBecameOfTheirFilesAndTheirVolume) {
    write("shelf/docs/keeper.txt", "the lighthouse keeper climbs the stairs\n");
    write("shelf/docs/log.txt", "lighthouse log of the night\n");
    write("shelf/gone.txt", "a lighthouse that was pulled down\n");
    ASSERT_TRUE(make_iso(path("shelf"), path("disc.iso"), "-J -V SHELF_DISC"));
    ASSERT_EQ(run_cli({"add", path("shelf")}).code, 0);
    ASSERT_EQ(run_cli({"add", path("disc.iso")}).code, 0);
    EXPECT_EQ(library_names(), (std::vector<std::string>{"SHELF_DISC", "shelf"}));

    // A file edited and one deleted: their rows say so; the image is as it was.
    write("shelf/docs/log.txt", "lighthouse log of the stormy night\n");
    fs::remove(path("shelf/gone.txt"));
    CliResult r = run_cli({"search", "-e", "shelf", "lighthouse"});
    EXPECT_EQ(r.code, 0);
    std::string out = r.out;
    EXPECT_NE(run_cli({"list"}).out.find("; files added or removed in 1 folder since (refresh it)"), std::string::npos);
    EXPECT_NE(out.find(path("shelf/docs/log.txt") + "\t[changed] "), std::string::npos) << out;
    EXPECT_NE(out.find(path("shelf/gone.txt") + "\t[gone] \n"), std::string::npos) << out;
    EXPECT_NE(out.find(path("shelf/docs/keeper.txt") + "\tthe lighthouse keeper"), std::string::npos) << out;

    // Both volumes away: every row listed, none read, each saying where its volume was.
    fs::rename(path("shelf"), path("moved"));
    fs::rename(path("disc.iso"), path("moved.iso"));
    r = run_cli({"search", "lighthouse"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(lines(r.out).size(), 6u);
    EXPECT_NE(r.out.find("SHELF_DISC\t" + path("disc.iso/docs/keeper.txt") + "\t[absent: the image was at " +
                         path("disc.iso") + "] \n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\t[absent: the folder was at " + path("shelf") + "] \n"), std::string::npos);
    r = run_cli({"list"});
    EXPECT_NE(r.out.find("absent (was " + path("disc.iso") + ")"), std::string::npos) << r.out;

    // Located: found at their new places, rows read from there.
    EXPECT_EQ(run_cli({"locate", "shelf", path("moved")}).code, 0);
    r = run_cli({"locate", "SHELF_DISC", path("moved")}); // a folder is no image of that disc
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(run_cli({"locate", "SHELF_DISC", path("moved.iso")}).code, 0);
    r = run_cli({"search", "keeper"});
    EXPECT_EQ(column(r.out, 2),
              (std::vector<std::string>{path("moved.iso/docs/keeper.txt"), path("moved/docs/keeper.txt")}));
    EXPECT_EQ(column(r.out, 3), (std::vector<std::string>(2, "ighthouse keeper climbs th ... "))) << r.out;
    // A refresh indexes the folder where it is now and forgets the location.
    r = run_cli({"refresh", "shelf"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(fs::exists(entry_dir("shelf") + "/location"));
    r = run_cli({"search", "-e", "shelf", "--no-excerpts", "lighthouse"});
    EXPECT_EQ(lines(r.out).size(), 2u) << r.out;
}

TEST_F(Library, RenameAndRemove) {
    write("alpha/one.txt", "lantern keepers\n");
    ASSERT_EQ(run_cli({"add", path("alpha")}).code, 0);
    EXPECT_EQ(run_cli({"rename", "alpha", "shelf one"}).code, 0);
    EXPECT_EQ(run_cli({"rename", "nothere", "x"}).code, 2);
    EXPECT_EQ(run_cli({"rename", "shelf one", "a/b"}).code, 2);
    EXPECT_EQ(library_names(), (std::vector<std::string>{"shelf one"}));
    CliResult r = run_cli({"search", "lantern"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(run_cli({"remove", "shelf one"}).code, 0);
    EXPECT_TRUE(library_names().empty());
    EXPECT_EQ(run_cli({"list"}).code, 1);
    EXPECT_EQ(run_cli({"remove", ".."}).code, 2);
}

// A tree of exactly one index's files stays one part; one file more makes a second part, and
// every file is found by the word only it holds.
TEST_F(Library, PartsAtTheFileLimit) {
    auto word = word_of;
    for (int d = 0; d < MAX_FILES / 1024; d++) {
        fs::create_directories(path("big/d" + std::to_string(100 + d)));
        for (int f = 0; f < 1024; f++) {
            int i = d * 1024 + f;
            std::ofstream(path("big/d" + std::to_string(100 + d) + "/f" + std::to_string(1000 + f)))
                << "a word " << word(i) << "\n";
        }
    }
    CliResult r = run_cli({"add", "--name", "big", path("big")});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(entry_parts("big").size(), 1u);
    std::ofstream(path("big/zz.txt")) << "a lonesome word\n";
    r = run_cli({"refresh", "big"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("65537 files indexed in 2 parts."), std::string::npos) << r.out;
    EXPECT_EQ(entry_parts("big").size(), 2u);
    for (const auto &[w, file] : {std::pair{std::string("lonesome"), path("big/zz.txt")},
                                  std::pair{word(0), path("big/d100/f1000")},
                                  std::pair{word(MAX_FILES - 1), path("big/d163/f2023")}}) {
        r = run_cli({"search", "--no-excerpts", w});
        EXPECT_EQ(r.out, "1\t" + file + "\n") << w;
    }
}

// A part whose index file fills up ends before the file that did not fit; the next part goes on
// from there and nothing is left out.
TEST_F(Library, PartsWhereTheIndexFileFills) {
    idx_write_limit = 1 << 20;
    auto word = word_of;
    const int files = 40, words = 1500; // about 60,000 distinct words: more than 1 MiB of entries
    for (int f = 0; f < files; f++) {
        std::string text;
        for (int k = 0; k < words; k++) text += word(f * words + k) + " ";
        write("many/f" + std::to_string(100 + f) + ".txt", text + "\n");
    }
    CliResult r = run_cli({"add", "--name", "many", path("many")});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_GT(entry_parts("many").size(), 1u) << r.out;
    EXPECT_NE(r.out.find("The index filled up after"), std::string::npos);
    for (int f : {0, files / 2, files - 1}) {
        r = run_cli({"search", "--no-excerpts", word(f * words + 7)});
        EXPECT_EQ(r.out, "1\t" + path("many/f" + std::to_string(100 + f) + ".txt") + "\n");
    }
}

} // namespace
