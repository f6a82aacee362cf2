// Words as users have them and type them: UTF-8 and entity spellings indexed and found, query
// words that the junk filter would reject, and what each query word came to.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "idx/text/encoding.h"
#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/pipeline.h"
#include "tests/test_util.h"

namespace {

struct Row {
    std::string name;
    int freq;
    std::string text;
};

class Words : public BuiltIndex {
  protected:
    static std::vector<Row> search(const std::string &q) {
        query_idx(q.c_str());
        std::vector<Row> rows;
        char *p, *t;
        int f;
        while (next_result(&p, &f, &t) == 0) rows.push_back({std::filesystem::path(p).filename().string(), f, t});
        return rows;
    }

    static std::vector<std::string> names(const std::vector<Row> &rows) {
        std::vector<std::string> v;
        for (auto &r : rows) v.push_back(r.name);
        return v;
    }
    static std::vector<std::string> sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }
};

using Names = std::vector<std::string>;

const std::string DE_UTF8 = "Viele Gr\xc3\xbc\xc3\x9f" "e aus M\xc3\xbcnchen, sch\xc3\xb6ne \xc3\x84pfel und \xc3\x96l.\n";
const std::string DE_LATIN1 = "Viele Gr\xfc\xdf" "e aus M\xfcnchen, sch\xf6ne \xc4pfel und \xd6l.\n";

TEST_F(Words, Utf8TextIsIndexedAndFoundLikeLatin1) {
    build({{"latin1.txt", DE_LATIN1}, {"utf8.txt", DE_UTF8}});
    // Both spellings of the query reach both files: the same keys from either encoding.
    for (const std::string q : {"gr\xfc\xdf" "e", "gr\xc3\xbc\xc3\x9f" "e", "M\xc3\x9cNCHEN \xc3\xa4pfel"}) {
        SCOPED_TRACE(q);
        auto rows = search(q);
        EXPECT_EQ(names(rows), (Names{"latin1.txt", "utf8.txt"}));
    }
    auto rows = search("sch\xc3\xb6ne");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].freq, rows[1].freq);
    // The excerpt is cut around the word by its bytes, so the UTF-8 file shows its UTF-8 text.
    EXPECT_NE(rows[1].text.find("sch\xc3\xb6ne"), std::string::npos) << rows[1].text;
    EXPECT_NE(rows[0].text.find("sch\xf6ne"), std::string::npos) << rows[0].text;
}

TEST_F(Words, Utf8LetterCutByAPieceAndByTheFileEnd) {
    std::string a(READ_SIZE - 3, ' ');
    a += "Gr\xc3"; // the 32 KiB piece ends after C3
    a += "\xbc\xc3\x9f" "e und Schlu\xc3\x9f\n";
    build({{"a.txt", a}, {"b.txt", "Nachtzug \xc3\x84" "bendr\xc3"}});
    auto rows = search("gr\xfc\xdf" "e");
    ASSERT_EQ(names(rows), Names{"a.txt"});
    EXPECT_NE(rows[0].text.find("\xbc\xc3\x9f" "e und"), std::string::npos) << rows[0].text;
    // A C3 at the very end begins no UTF-8 character: it is Latin-1 "Ã", the last word's A.
    EXPECT_EQ(names(search("\xc4" "bendra")), Names{"b.txt"});
    EXPECT_TRUE(search("\xc4" "bendr").empty());
}

TEST_F(Words, Utf8MarkupAndEntities) {
    build({{"page.html",
            "<html><head><title>Gr\xc3\xbc\xc3\x9f" "e</title></head><body>\n"
            "<p>Aus M&uuml;nchen &amp; K&#246;ln, Jerry&hellip; D&#xFC;sseldorf</p></body></html>\n"}});
    for (const char *q : {"gr\xfc\xdf" "e", "m\xfcnchen", "k\xf6ln", "jerry", "d\xfcsseldorf"}) {
        SCOPED_TRACE(q);
        EXPECT_EQ(names(search(q)), Names{"page.html"});
    }
    for (const char *q : {"amp", "hellip", "jerryhellip"}) EXPECT_TRUE(search(q).empty()) << q;
    auto rows = search("m\xfcnchen");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NE(rows[0].text.find("M&uuml;nchen"), std::string::npos) << rows[0].text;
}

// The words of a script are not indexed, and the excerpt shows the first occurrence in prose even
// when the script fills blocks before it.
TEST_F(Words, ScriptWordsNeitherIndexedNorShown) {
    std::string page = "<html><head><script>\n";
    while (page.size() < 3 * READ_SIZE + 100) page += "var lighthouse = beacon(1);\n";
    page += "</script></head><body><p>The lighthouse keeper</p></body></html>\n";
    build({{"page.html", page}, {"other.html", "<html><style>beacon { color: red }</style><p>sea</p></html>\n"}});
    EXPECT_TRUE(search("beacon").empty());
    auto rows = search("lighthouse");
    ASSERT_EQ(names(rows), Names{"page.html"});
    EXPECT_EQ(rows[0].freq, 1);
    EXPECT_NE(rows[0].text.find("lighthouse keeper"), std::string::npos) << rows[0].text;
}

TEST_F(Words, StopListInUtf8) {
    write("stopwords.txt", "\xc3\xbc" "ber\nw\xc3\xbcrde\n");
    build({{"a.txt", "\xc3\x9c" "ber die Br\xc3\xbc" "cke w\xc3\xbcrde sie gehen\n"}});
    EXPECT_TRUE(search("\xfc" "ber").empty());
    EXPECT_TRUE(search("w\xc3\xbcrde").empty());
    EXPECT_EQ(names(search("br\xfc" "cke")), Names{"a.txt"});
    ASSERT_EQ(query_words().size(), 1u);
    search("\xfc" "ber");
    ASSERT_EQ(query_words().size(), 1u);
    EXPECT_EQ(query_words()[0].state, QueryWordState::stop_word);
}

// A word the filter rejects on its own is kept in running text by the context bonus; typed as a
// query it is searched all the same.
TEST_F(Words, QueryWordsAreNotFiltered) {
    std::string t(TRIGRAM_SIZE, '\x28'); // every trigram weighs 40 ...
    auto at = [](const char *g) { return (g[0] - 'A') * 1024 + (g[1] - 'A') * 32 + (g[2] - 'A'); };
    t[at("ZLI")] = t[at("LIB")] = 25; // ... but ZLIB scores 13: too little alone, enough in context
    write("tri.dat", t);
    ASSERT_TRUE(load_trigrams(path("tri.dat").c_str()));
    build({{"a.txt", "programs compress their data with zlib today\n"}});

    std::vector<std::string> got;
    static std::vector<std::string> *sink;
    sink = &got;
    word_sink = [](char *w, int len) {
        sink->emplace_back(w, len);
        return 0;
    };
    extract_reset();
    extract_plain("zlib ", 5);
    EXPECT_TRUE(got.empty()); // rejected alone
    word_sink = add_word;

    EXPECT_EQ(names(search("zlib")), Names{"a.txt"});
    EXPECT_EQ(names(search("ZLIB data")), Names{"a.txt"});
}

TEST_F(Words, EveryQueryWordHasAState) {
    std::map<std::string, std::string> files;
    // MEMORY is in 1,786 files, one too many; HARBOUR in 1,785, a chain of 255 full buckets.
    for (int i = 0; i < 1786; i++)
        files["f" + std::to_string(10000 + i) + ".txt"] = i ? "memory of the island harbour\n" : "memory of the sea\n";
    files["a.txt"] = "lighthouses of the kernel coast\n";
    write("stopwords.txt", "kernel\n");
    build(files);

    search("Lighthouses kernel ipv6 memory, weather gap x");
    const auto &w = query_words();
    ASSERT_EQ(w.size(), 7u);
    struct Want {
        const char *typed, *stem;
        QueryWordState state;
    } want[] = {
        {"Lighthouses", "LIGHTHOUS", QueryWordState::found},  {"kernel", "KERNEL", QueryWordState::stop_word},
        {"ipv", "IPV", QueryWordState::too_short},            {"memory", "MEMORI", QueryWordState::too_common},
        {"weather", "WEATHER", QueryWordState::beyond_third}, {"gap", "GAP", QueryWordState::too_short},
        {"x", "X", QueryWordState::too_short},
    };
    for (size_t i = 0; i < w.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(w[i].typed, want[i].typed);
        EXPECT_EQ(w[i].stem, want[i].stem);
        EXPECT_EQ(w[i].state, want[i].state);
    }
    EXPECT_EQ(w[0].files, 1);
    EXPECT_TRUE(w[2].digit_next);
    EXPECT_FALSE(w[5].digit_next);
    EXPECT_EQ(query_word_reason(w[0]), "Lighthouses: found in 1 file");
    EXPECT_EQ(query_word_reason(w[2]), "ipv: shorter than 4 letters (digits separate words)");
    EXPECT_EQ(query_word_reason(w[3]), "memory: in more than 1,785 files, too common to be indexed");
    // The longest chain loads and is read whole.
    EXPECT_EQ(search("harbour").size(), 1785u);
    EXPECT_EQ(query_word_reason(w[0]), "harbour: found in 1785 files");

    // Absent words and the slot they still take; a new query forgets the last one's words.
    search("weather lighthouse");
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].state, QueryWordState::not_indexed);
    EXPECT_EQ(query_word_reason(w[0]), "weather: not in the index");
    EXPECT_EQ(w[1].state, QueryWordState::found);
    search("c\xe6sar");
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(query_word_reason(w[0]),
              "c: shorter than 4 letters (letters other than A-Z, their accented forms, umlauts and sharp s separate words)");

    // Numbers and short words are listed where they stand, never passed over in silence.
    search("1999 gcc ipv6 x86 3.14 weather2000");
    std::vector<std::string> lines;
    for (const QueryWordInfo &q : w) lines.push_back(query_word_reason(q));
    EXPECT_EQ(lines, (std::vector<std::string>{"1999: numbers are not indexed", "gcc: shorter than 4 letters",
                                               "ipv: shorter than 4 letters (digits separate words)",
                                               "x: shorter than 4 letters (digits separate words)",
                                               "3: numbers are not indexed", "14: numbers are not indexed",
                                               "weather: not in the index"}));
}

// However "café" is written, in a file or in the search box, it is the word CAFE.
TEST_F(Words, AccentedLettersFoldWhereverTheyAreWritten) {
    build({{"utf8.txt", "Un caf\xc3\xa9 au lait, puis le r\xc3\xa9sum\xc3\xa9 de ma\xc3\xb1" "ana.\n"},
           {"latin1.txt", "Un CAF\xc9 noir et un r\xe9sum\xe9.\n"},
           {"page.html", "<html><body><p>Caf&eacute; &amp; R&#233;sum&#xE9; &Ntilde;and&uacute;</p></body></html>\n"},
           {"plain.txt", "Cafe society and a resume of the manana\n"}});
    const Names all{"latin1.txt", "page.html", "plain.txt", "utf8.txt"};
    for (const std::string q : {"Caf\xe9", "caf\xc3\xa9", "CAFE", "r\xe9sum\xe9"}) {
        SCOPED_TRACE(q);
        EXPECT_EQ(sorted(names(search(q))), all);
    }
    // A word typed in UTF-8 goes the way the front ends send it: through to_latin1.
    EXPECT_EQ(sorted(names(search(to_latin1("Caf\xc3\xa9")))), all);
    EXPECT_EQ(sorted(names(search("ma\xf1" "ana"))), (Names{"plain.txt", "utf8.txt"}));
    EXPECT_EQ(names(search("\xd1" "and\xfa")), Names{"page.html"});
    // The excerpt shows the word as the file spells it.
    auto rows = search("caf\xe9");
    for (const auto &r : rows) {
        if (r.name != "utf8.txt") continue;
        EXPECT_NE(r.text.find("caf\xc3\xa9 au"), std::string::npos) << r.text;
    }
}

} // namespace
