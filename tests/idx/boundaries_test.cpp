// Words stay within their file, the stop list stays out of the index, and first occurrences are
// located from a clean tokenizer with the file's own content kind.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "tests/test_util.h"

namespace {

class Boundaries : public BuiltIndex {
  protected:
    // "name: excerpt" for every row of the query, in order.
    std::vector<std::string> search(const std::string &words) {
        query_idx(words.c_str());
        std::vector<std::string> rows;
        char *p, *t;
        int f;
        while (next_result(&p, &f, &t) == 0) {
            std::string path = p;
            rows.push_back(path.substr(path.rfind('/') + 1) + ": " + t);
        }
        return rows;
    }
};

using Rows = std::vector<std::string>;

TEST_F(Boundaries, LastWordOfAFileStaysInIt) {
    build({{"a.txt", "the ship passed the harbour"}, {"b.txt", "lantern keeper"}});
    EXPECT_EQ(search("harbour"), (Rows{"a.txt: assed the harbour ... "}));
    EXPECT_EQ(search("lantern"), (Rows{"b.txt: lantern keeper ... "}));
    EXPECT_TRUE(search("harbourlantern").empty());
}

TEST_F(Boundaries, MarkupEndingInsideATagDoesNotSwallowTheNextFile) {
    build({{"a.html", "<html><body>beacon <a href=\"x"},
           {"b.html", "<html><body>lantern</body></html>"},
           {"c.txt", "keeper of the light\n"}});
    EXPECT_EQ(search("beacon").size(), 1u);
    EXPECT_EQ(search("lantern"), (Rows{"b.html: tml><body>lantern</body></h ... "}));
    EXPECT_EQ(search("keeper").size(), 1u);
}

TEST_F(Boundaries, EachId3FieldIsItsOwnText) {
    auto field = [](std::string s) {
        s.resize(30, '\0');
        return s;
    };
    std::string frames(4000, '\0');
    frames[0] = '\xFF';
    frames[1] = '\xFB';
    // The title's last word runs to the end of the 29 bytes scanned.
    std::string tag = "TAG" + field("Anchors aweigh beacon lanternx") + field("Keepers") + field("Coast") +
                      "1999" + field("Recorded at sea") + "\x0c";
    ASSERT_EQ(tag.size(), 128u);
    build({{"song.mp3", frames + tag}});
    EXPECT_EQ(search("lantern"), (Rows{"song.mp3: Anchors aweigh beacon lanternx ... "}));
    EXPECT_EQ(search("keepers"), (Rows{"song.mp3: Keepers ... "}));
    EXPECT_TRUE(search("lanternkeepers").empty());
}

TEST_F(Boundaries, UnfinishedLastStopWordIsNeitherStopWordNorText) {
    write("stopwords.txt", "harbour\nlantern");
    build({{"a.txt", "beacon keeper lantern harbour\n"}});
    EXPECT_TRUE(search("harbour").empty());
    EXPECT_EQ(search("lantern").size(), 1u);
    EXPECT_EQ(search("beacon").size(), 1u);
    EXPECT_TRUE(search("lanternbeacon").empty());
}

TEST_F(Boundaries, FirstOccurrenceStraddlingTwoBlocksIsLocated) {
    std::string filler;
    while (filler.size() < 32763) filler += "anchor ";
    filler.resize(32763);
    filler += " ligh";                           // block 0 ends inside the word
    std::string rest = "thouse stands tall. ";    // block 1 finishes it
    rest += std::string(100, '.') + " a second lighthouse marker\n";
    ASSERT_EQ(filler.size(), 32768u);
    build({{"a.txt", filler + rest}});
    EXPECT_EQ(search("lighthouse"), (Rows{"a.txt: thouse stands ta ... "}));
}

TEST_F(Boundaries, MarkupIsLocatedInTheTextNotInTags) {
    build({{"a.html", "<html><body><a title=\"lighthouse\">home</a> the old lighthouse stands here. "
                      "Sold by M&uuml;ller and sons.</body></html>"}});
    EXPECT_EQ(search("lighthouse"), (Rows{"a.html:  the old lighthouse stands he ... "}));
    EXPECT_EQ(search("M\xFCller"), (Rows{"a.html: d by M&uuml;ller and sons. ... "}));
}

TEST_F(Boundaries, LocatingStartsFromACleanTokenizer) {
    build({{"a.txt", "harbour lights\n"}, {"b.txt", "keeper of lights\n"}});
    // A word left pending by someone else's text must neither make nor hide a match.
    extract_plain("harb", 4);
    EXPECT_EQ(search("keeper"), (Rows{"b.txt: keeper of lights ... "}));
    extract_plain("lant", 4);
    EXPECT_EQ(search("harbour"), (Rows{"a.txt: harbour lights  ... "}));
}

} // namespace
