// Query evaluation and result listing over real indexes built from small trees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "idx/text/detect.h"
#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "tests/test_util.h"

namespace {

struct Row {
    std::string path;
    int freq;
    std::string text;
};

std::string repeat(const std::string &word, int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += word + " ";
    return s;
}

class Query : public BuiltIndex {
  protected:
    // Runs the query and both listing passes; checks that the passes agree on files and frequencies.
    std::vector<Row> search(const std::string &words) {
        query_idx(words.c_str());
        std::vector<Row> first;
        char *p, *t;
        int f;
        while (next_result(&p, &f, nullptr) == 0) first.push_back({p, f, ""});
        std::vector<Row> rows;
        while (next_result(&p, &f, &t) == 0) rows.push_back({p, f, t});
        EXPECT_EQ(first.size(), rows.size());
        for (size_t i = 0; i < std::min(first.size(), rows.size()); i++) {
            EXPECT_EQ(first[i].path, rows[i].path);
            EXPECT_EQ(first[i].freq, rows[i].freq);
        }
        return rows;
    }

    std::string name_of(const Row &r) { return std::filesystem::path(r.path).filename().string(); }

    std::vector<std::string> names(const std::vector<Row> &rows) {
        std::vector<std::string> v;
        for (auto &r : rows) v.push_back(name_of(r));
        return v;
    }
};

using Names = std::vector<std::string>;

TEST_F(Query, EmptyAndShortQueriesGiveNoRow) {
    build({{"a.txt", "lighthouse keeper on the harbour wall\n"}});
    for (const char *q : {"", "   ", "a an the of", "on it is"}) {
        SCOPED_TRACE(q);
        EXPECT_TRUE(search(q).empty());
        char *p;
        int f;
        EXPECT_EQ(next_result(&p, &f, nullptr), -1);
    }
}

TEST_F(Query, SlotsTakeOnlyTheFirstThreeWords) {
    build({{"a.txt", "anchor of a ship\n"}, {"b.txt", "beacon on a hill\n"}, {"c.txt", "kettle on a fire\n"},
           {"d.txt", "dolphin in a bay\n"}});
    EXPECT_EQ(names(search("anchor beacon kettle dolphin")), (Names{"a.txt", "b.txt", "c.txt"}));
    // Words of three letters or fewer take no slot.
    EXPECT_EQ(names(search("an anchor of beacon to kettle dolphin")), (Names{"a.txt", "b.txt", "c.txt"}));
}

TEST_F(Query, RepeatedWordTakesTwoSlotsAndDoublesTheFrequency) {
    build({{"a.txt", repeat("anchor", 3)}, {"b.txt", "beacon on a hill\n"}});
    auto rows = search("anchor anchor");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].freq, 6);
    EXPECT_TRUE(search("anchor anchor anchor beacon").size() == 1);
}

TEST_F(Query, StopAndUnknownWordsUseASlot) {
    write("stopwords.txt", "harbour\n");
    build({{"a.txt", "harbour anchor\n"}, {"b.txt", "beacon on a hill\n"}, {"c.txt", "kettle on a fire\n"}});
    EXPECT_EQ(names(search("harbour anchor beacon kettle")), (Names{"a.txt", "b.txt"}));
    EXPECT_EQ(names(search("quixotry anchor beacon kettle")), (Names{"a.txt", "b.txt"}));
    EXPECT_TRUE(search("harbour").empty());
}

TEST_F(Query, CappedCountsGiveNegativeFrequency) {
    build({{"a.txt", repeat("anchor", 70) + repeat("beacon", 5)}, {"b.txt", repeat("beacon", 63)}});
    auto rows = search("anchor beacon");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(name_of(rows[0]), "a.txt");
    EXPECT_EQ(rows[0].freq, -68);
    EXPECT_EQ(rows[1].freq, -63);
}

TEST_F(Query, RankingByMatchedWordsThenTotalThenFileNumber) {
    build({{"a.txt", repeat("anchor", 70)},                       // one word, capped
           {"b.txt", repeat("anchor", 64) + repeat("beacon", 64)}, // two words, total capped at 63
           {"c.txt", repeat("anchor", 70) + repeat("beacon", 70)}, // ties with b: file number decides
           {"d.txt", "anchor beacon\n"},                          // two words, small total
           {"e.txt", repeat("beacon", 2)}});
    EXPECT_EQ(names(search("anchor beacon")), (Names{"b.txt", "c.txt", "d.txt", "a.txt", "e.txt"}));
}

TEST_F(Query, ExcerptsAroundTheFirstOccurrence) {
    build({{"start.txt", "anchor chains rattle in the dark hold of the ship\n"},
           {"end.txt", "the ship rode at anchor all night beside the beacon\n"},
           {"lines.txt", "first line\r\nsecond line with the beacon\r\nthird line\n"}});
    // Text of fewer than 12 bytes is never indexed, so every file here is longer.
    // Files number in name order: end.txt 0, lines.txt 1, start.txt 2; equal scores list by number.
    auto rows = search("anchor");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "p rode at anchor all night ... ");
    EXPECT_EQ(rows[1].text, "anchor chains ra ... "); // found within the first ten bytes
    rows = search("beacon");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "eside the beacon  ... "); // ends at the last byte read, LF as a space
    EXPECT_EQ(rows[1].text, " with the beacon  third li ... ");
    rows = search("anchor beacon");
    ASSERT_EQ(names(rows), (Names{"end.txt", "lines.txt", "start.txt"}));
    EXPECT_EQ(rows[0].text, "p rode at anchor all night ... eside the beacon  ... ");
}

// The stem of "happy" is "happi", which ends unlike the word: the excerpt still finds it, and
// neither "happen" nor "hap" nor "happier" (its own stem) before it.
TEST_F(Query, ExcerptFindsAWordWhoseStemEndsOtherwise) {
    build({{"mood.txt", "what may happen when happier hap makes them happy sailors\n"}});
    for (const char *query : {"happiness", "happy"}) {
        SCOPED_TRACE(query);
        auto rows = search(query);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].freq, 1);
        EXPECT_EQ(rows[0].text, "akes them happy sailors  ... ");
    }
}

TEST_F(Query, VanishedFileKeepsItsRowWithoutText) {
    build({{"a.txt", "anchor of a ship\n"}, {"b.txt", "anchor anchor\n"}});
    remove("tree/b.txt");
    auto rows = search("anchor");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(name_of(rows[0]), "b.txt");
    EXPECT_EQ(rows[0].freq, 2);
    EXPECT_EQ(rows[0].text, "");
    EXPECT_EQ(rows[1].text, "anchor of a ship ... ");
}

// The context of a hit: a line's worth around where the word was found, within its block, beside
// the designed excerpt, which stays as it was.
TEST_F(Query, ContextGivesAboutALineAroundEachHit) {
    std::string before(80, 'a'), after(100, 'z');
    build({{"line.txt", "start " + before + " the lighthouse keeper " + after + "\n"},
           {"short.txt", "a lighthouse\n"}});
    query_idx("lighthouse");
    char *p, *text;
    int freq;
    ASSERT_EQ(next_result(&p, &freq, &text), 0);
    ASSERT_EQ(std::filesystem::path(p).filename(), "line.txt");
    EXPECT_STREQ(text, "aaaa the lighthouse keeper zz ... ");
    // The excerpt's window widened by 13 bytes before it and 71 after.
    EXPECT_EQ(std::string(result_context()),
              std::string(13, 'a') + "aaaa the lighthouse keeper zz" + std::string(71, 'z') + " ... ");
    ASSERT_EQ(next_result(&p, &freq, &text), 0);
    EXPECT_STREQ(result_context(), "a lighthouse  ... ") << "a short file gives what it holds";
}

// One result's excerpts read a file once and share its blocks, but nothing stays open after the
// result: a disc could not be ejected, and a file edited between two rows would be read stale.
TEST_F(Query, ExcerptsShareBlocksWithinAResultAndKeepNothingOpen) {
    namespace fs = std::filesystem;
    std::string page = "<html><p>anchor</p>" + std::string(READ_SIZE, ' ') + "<b>beacon</b> harbour</html>";
    build({{"page.html", page}, {"notes.txt", "the harbour and its anchor and beacon lights\n"}});
    auto open_fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}); };
    auto before = open_fds();
    query_idx("anchor beacon harbour");
    char *p, *text;
    int freq;
    ASSERT_EQ(next_result(&p, &freq, nullptr), 0);
    EXPECT_EQ(result_kind(), KIND_TEXT) << "the catalogue keeps the kind the run detected";
    ASSERT_EQ(next_result(&p, &freq, &text), 0);
    EXPECT_EQ(fs::path(p).filename(), "notes.txt");
    EXPECT_STREQ(text, "r and its anchor and beaco ... nchor and beacon lights  ... the harbour and its a ... ");
    EXPECT_EQ(result_kind(), KIND_TEXT);
    EXPECT_EQ(open_fds(), before);
    write("tree/page.html", std::string(page).replace(9, 6, "ANCHOR")); // same size, new words
    ASSERT_EQ(next_result(&p, &freq, &text), 0);
    EXPECT_EQ(fs::path(p).filename(), "page.html");
    EXPECT_STREQ(text, "<html><p>ANCHOR</p>       ...        <b>beacon</b> harbo ... eacon</b> harbour</html> ... ");
    EXPECT_EQ(result_kind(), KIND_MARKUP);
    EXPECT_EQ(open_fds(), before);
}

TEST_F(Query, NoIndexLoadedGivesNoRow) {
    EXPECT_NE(read_idx(), 0);
    query_idx("anchor");
    char *p;
    int f;
    EXPECT_EQ(next_result(&p, &f, nullptr), -1);
}

// A damaged idx.dat (wild chain links, bucket counts, file numbers) may lose rows but must never
// crash or read outside the mapping (ASan builds check the latter).
TEST_F(Query, DamagedChainsNeverCrash) {
    std::map<std::string, std::string> files;
    const char *words[] = {"anchor", "beacon", "kettle", "dolphin", "harbour", "lantern"};
    for (int i = 0; i < 40; i++) {
        std::string s;
        for (int w = 0; w < 6; w++)
            if ((i + w) % 3) s += repeat(words[w], 1 + (i * w) % 5);
        files["f" + std::to_string(100 + i) + ".txt"] = s;
    }
    build(files);
    std::string good = read_file("idx.dat");
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; round++) {
        std::string bad = good;
        int flips = 1 + static_cast<int>(rng() % 16);
        for (int i = 0; i < flips; i++) {
            size_t at = 284 + rng() % (bad.size() - 284); // nodes, buckets and directories
            bad[at] = static_cast<char>(rng());
        }
        std::ofstream("idx.dat", std::ios::binary | std::ios::trunc) << bad;
        if (read_idx() != 0) continue;
        for (const char *q : {"anchor", "beacon kettle", "dolphin harbour lantern"}) {
            query_idx(q);
            char *p, *t;
            int f;
            int n = 0;
            while (next_result(&p, &f, round % 4 ? nullptr : &t) == 0) n++;
            EXPECT_LE(n, 40);
        }
    }
}

} // namespace
