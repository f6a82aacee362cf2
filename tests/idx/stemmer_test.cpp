#include "idx/text/stemmer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// Stems w in a heap buffer of exactly w.size() + 1 bytes, so that the sanitizer build catches any
// access outside the word. Checks the length contract; out gets the stem.
::testing::AssertionResult stem_checked(const std::string &w, std::string &out) {
    int n = static_cast<int>(w.size());
    auto buf = std::make_unique<char[]>(n + 1);
    w.copy(buf.get(), n);
    buf[n] = '#'; // stem_word must end the word itself
    int len = n;
    int ret = stem_word(buf.get(), len);
    if (ret != len) return ::testing::AssertionFailure() << w << ": returned " << ret << ", stored " << len;
    if (len < 1 || len > n)
        return ::testing::AssertionFailure() << w << ": length " << len << " outside 1.." << n;
    if (buf[len] != 0) return ::testing::AssertionFailure() << w << ": no NUL after the stem";
    out.assign(buf.get(), len);
    return ::testing::AssertionSuccess();
}

std::string upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool indexable(const std::string &w) {
    if (w.size() < 4) return false;
    for (char c : w)
        if (c < 'a' || c > 'z') return false;
    return true;
}

} // namespace

// The published vocabulary and its stems, every word the engine would stem (4 letters or more).
TEST(Stemmer, ReferenceVocabulary) {
    std::ifstream voc(OLMAREST_SOURCE_DIR "/tests/data/porter/voc.txt");
    std::ifstream expected(OLMAREST_SOURCE_DIR "/tests/data/porter/output.txt");
    ASSERT_TRUE(voc && expected) << "vocabulary files missing under " OLMAREST_SOURCE_DIR "/tests/data/porter";

    int checked = 0, wrong = 0;
    std::string word, want, got, first_wrong;
    while (std::getline(voc, word)) {
        ASSERT_TRUE(std::getline(expected, want)) << "output.txt is shorter than voc.txt";
        if (!indexable(word)) continue;
        checked++;
        ASSERT_TRUE(stem_checked(upper(word), got));
        if (got != upper(want) && ++wrong <= 10)
            first_wrong += "\n  " + upper(word) + " -> " + got + ", expected " + upper(want);
    }
    EXPECT_FALSE(std::getline(expected, want)) << "output.txt is longer than voc.txt";
    std::printf("stemmed %d vocabulary words, %d wrong\n", checked, wrong);
    RecordProperty("words_checked", checked);
    EXPECT_EQ(checked, 22716) << "vocabulary not read completely";
    EXPECT_EQ(wrong, 0) << "first mismatches:" << first_wrong;
}

// Excerpts rule words out before stemming them on this: a stem is never longer than its word and
// keeps every letter but its last from the word's beginning.
TEST(Stemmer, StemKeepsAllButItsLastLetterFromTheWord) {
    std::ifstream voc(OLMAREST_SOURCE_DIR "/tests/data/porter/voc.txt");
    ASSERT_TRUE(voc);
    std::vector<std::string> words;
    for (std::string w; std::getline(voc, w);)
        if (indexable(w)) words.push_back(upper(w));
    // Suffixes that are replaced rather than cut, and the umlauts, on stems of every measure.
    for (const char *stem : {"SENS", "MOB", "RELAT", "VAL", "CONFL", "HOP", "GR\xdcN", "STRA\xdf"})
        for (const char *suffix : {"IBILITY", "ATIONAL", "ENCY", "IZATION", "ATED", "ING", "ABLY", "ICITY", "Y", "E\xc4"})
            words.push_back(std::string(stem) + suffix);
    std::string got;
    for (const std::string &w : words) {
        ASSERT_TRUE(stem_checked(w, got));
        ASSERT_LE(got.size(), w.size()) << w;
        EXPECT_EQ(got.substr(0, got.size() - 1), w.substr(0, got.size() - 1)) << w << " -> " << got;
    }
}

TEST(Stemmer, RulesAndBoundaries) {
    static const struct {
        const char *word, *stem;
    } cases[] = {
        // step 1a and 1b
        {"CARESSES", "CARESS"},
        {"PONIES", "PONI"},
        {"CATS", "CAT"},
        {"FEED", "FEED"},
        {"AGREED", "AGRE"},
        {"PLASTERED", "PLASTER"},
        {"MOTORING", "MOTOR"},
        {"SING", "SING"},
        {"CONFLATED", "CONFLAT"},
        {"TROUBLED", "TROUBL"},
        {"HOPPING", "HOP"},
        {"FALLING", "FALL"},
        {"HISSING", "HISS"},
        {"FIZZED", "FIZZ"},
        {"FILING", "FILE"},
        // step 1c, Y after a consonant is a vowel
        {"HAPPY", "HAPPI"},
        {"SKIES", "SKI"},
        {"SYZYGY", "SYZYGI"},
        // steps 2 to 4, including BLI and LOGI
        {"RELATIONAL", "RELAT"},
        {"CONDITIONAL", "CONDIT"},
        {"OPERATOR", "OPER"},
        {"DIFFERENTLI", "DIFFER"},
        {"VILELI", "VILE"},
        {"ARCHAEOLOGI", "ARCHAEOLOG"},
        {"GENERALIZATIONS", "GENER"},
        {"OSCILLATORS", "OSCIL"},
        {"FORMALITI", "FORMAL"},
        // step 5
        {"PROBATE", "PROBAT"},
        {"RATE", "RATE"},
        {"CEASE", "CEAS"},
        {"CONTROLL", "CONTROL"},
        {"ROLL", "ROLL"},
        // the first ending found decides: EMENT keeps its stem (m = 1), ENT is never tried
        {"TOPEMENT", "TOPEMENT"},
        // shortest words: a single letter left, suffixes as long as the word, a leading Y
        {"AING", "A"},
        {"SSES", "SS"},
        {"EEDS", "EED"},
        {"IONS", "ION"},
        {"YING", "YING"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word);
        std::string got;
        ASSERT_TRUE(stem_checked(c.word, got));
        EXPECT_EQ(got, c.stem);
    }
}

// Ä (C4), Ö (D6), Ü (DC) and ß (DF) are consonants; each case would stem differently if they were vowels.
TEST(Stemmer, UmlautsAreConsonants) {
    static const struct {
        const char *word, *stem;
    } cases[] = {
        {"B\xC4RING", "B\xC4RING"},   // no vowel in front of ING
        {"K\xD6NIGER", "K\xD6NIGER"}, // the stem before ER has measure 1: ER stays
        {"S\xDCYING", "S\xDCY"},      // Y after a consonant is a vowel, and no vowel before it
        {"TA\xDFING", "TA\xDF"
                      "E"}, // consonant-vowel-consonant gets its E back
        {"BA\xC4\xC4"
         "ED",
         "BA\xC4"}, // double consonant loses a letter
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stem);
        std::string got;
        ASSERT_TRUE(stem_checked(c.word, got));
        EXPECT_EQ(got, c.stem);
    }
}
