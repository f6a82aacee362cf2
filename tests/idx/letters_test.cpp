// The character model at its edges: every accented letter in every spelling, UTF-8 read before
// Latin-1, sequences cut between pieces, and the content of script and style elements.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "tests/test_util.h"

namespace {

using Words = std::vector<std::string>;

Words got;

int capture(char *word, int len) {
    got.emplace_back(word, len);
    return 0;
}

// No trigram table: every word of 4 or more letters passes the plain tokenizer.
class Letters : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        got.clear();
        word_sink = capture;
        extract_reset();
        load_trigrams(path("missing.dat").c_str());
    }
    void TearDown() override {
        word_sink = add_word;
        TempTree::TearDown();
    }
    // The words of the pieces, fed one after the other to one tokenizer, then the end of the file.
    static Words run(const std::vector<std::string> &pieces, bool markup) {
        got.clear();
        extract_reset();
        for (const std::string &p : pieces)
            markup ? extract_markup(p.data(), static_cast<int>(p.size())) : extract_plain(p.data(), static_cast<int>(p.size()));
        extract_end_file();
        return got;
    }
};

// The letters beyond ASCII and what they fold to, as Latin-1 code points; the rest of C0-FF separates.
struct Fold {
    unsigned cp;
    char to;
    const char *entity; // the HTML 4 name
};
const Fold FOLDS[] = {
    {0xC0, 'A', "Agrave"}, {0xC1, 'A', "Aacute"}, {0xC2, 'A', "Acirc"},  {0xC3, 'A', "Atilde"},
    {0xC5, 'A', "Aring"},  {0xE0, 'A', "agrave"}, {0xE1, 'A', "aacute"}, {0xE2, 'A', "acirc"},
    {0xE3, 'A', "atilde"}, {0xE5, 'A', "aring"},  {0xC7, 'C', "Ccedil"}, {0xE7, 'C', "ccedil"},
    {0xC8, 'E', "Egrave"}, {0xC9, 'E', "Eacute"}, {0xCA, 'E', "Ecirc"},  {0xCB, 'E', "Euml"},
    {0xE8, 'E', "egrave"}, {0xE9, 'E', "eacute"}, {0xEA, 'E', "ecirc"},  {0xEB, 'E', "euml"},
    {0xCC, 'I', "Igrave"}, {0xCD, 'I', "Iacute"}, {0xCE, 'I', "Icirc"},  {0xCF, 'I', "Iuml"},
    {0xEC, 'I', "igrave"}, {0xED, 'I', "iacute"}, {0xEE, 'I', "icirc"},  {0xEF, 'I', "iuml"},
    {0xD0, 'D', "ETH"},    {0xF0, 'D', "eth"},    {0xD1, 'N', "Ntilde"}, {0xF1, 'N', "ntilde"},
    {0xD2, 'O', "Ograve"}, {0xD3, 'O', "Oacute"}, {0xD4, 'O', "Ocirc"},  {0xD5, 'O', "Otilde"},
    {0xD8, 'O', "Oslash"}, {0xF2, 'O', "ograve"}, {0xF3, 'O', "oacute"}, {0xF4, 'O', "ocirc"},
    {0xF5, 'O', "otilde"}, {0xF8, 'O', "oslash"}, {0xD9, 'U', "Ugrave"}, {0xDA, 'U', "Uacute"},
    {0xDB, 'U', "Ucirc"},  {0xF9, 'U', "ugrave"}, {0xFA, 'U', "uacute"}, {0xFB, 'U', "ucirc"},
    {0xDD, 'Y', "Yacute"}, {0xFD, 'Y', "yacute"}, {0xFF, 'Y', "yuml"},
    // The umlauts and sharp s keep letters of their own.
    {0xC4, '\xC4', "Auml"}, {0xD6, '\xD6', "Ouml"}, {0xDC, '\xDC', "Uuml"}, {0xDF, '\xDF', "szlig"},
    {0xE4, '\xC4', "auml"}, {0xF6, '\xD6', "ouml"}, {0xFC, '\xDC', "uuml"},
};
const unsigned SEPARATORS[] = {0xC6, 0xD7, 0xDE, 0xE6, 0xF7, 0xFE, 0xA0, 0xAA, 0xB5, 0xBA, 0xBF};

std::string utf8(unsigned cp) {
    std::string s;
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
    return s;
}

TEST_F(Letters, EveryAccentedLetterInEverySpelling) {
    for (const Fold &f : FOLDS) {
        SCOPED_TRACE(f.entity);
        const Words want{std::string("ABCD") + f.to + "EFGH"};
        const std::string l1(1, static_cast<char>(f.cp)), u = utf8(f.cp);
        for (bool markup : {false, true}) {
            EXPECT_EQ(run({"abcd" + l1 + "efgh "}, markup), want);
            EXPECT_EQ(run({"ABCD" + u + "EFGH "}, markup), want);
            // The two bytes of the UTF-8 letter in two pieces, and the Latin-1 letter last in a file.
            EXPECT_EQ(run({"abcd" + u.substr(0, 1), u.substr(1) + "efgh "}, markup), want);
            EXPECT_EQ(run({"abcd", l1 + "efgh"}, markup), want);
            EXPECT_EQ(run({"abcd" + l1}, markup), Words{std::string("ABCD") + f.to});
        }
        EXPECT_EQ(run({"abcd&" + std::string(f.entity) + ";efgh "}, true), want);
        EXPECT_EQ(run({"abcd&#" + std::to_string(f.cp) + ";efgh "}, true), want);
        char hex[16];
        snprintf(hex, sizeof hex, "&#x%X;", f.cp);
        EXPECT_EQ(run({std::string("abcd") + hex + "efgh "}, true), want);
    }
    for (unsigned cp : SEPARATORS) {
        SCOPED_TRACE(cp);
        const Words want{"ABCD", "EFGH"};
        for (bool markup : {false, true}) {
            EXPECT_EQ(run({"abcd" + std::string(1, static_cast<char>(cp)) + "efgh "}, markup), want);
            EXPECT_EQ(run({"abcd" + utf8(cp) + "efgh "}, markup), want);
        }
        EXPECT_EQ(run({"abcd&#" + std::to_string(cp) + ";efgh "}, true), want);
    }
}

// UTF-8 punctuation is one separator, never a Latin-1 letter that would cling to the word before it.
TEST_F(Letters, Utf8SeparatorsAddNoLetter) {
    for (bool markup : {false, true}) {
        SCOPED_TRACE(markup);
        EXPECT_EQ(run({"around\xc2\xa0them "}, markup), (Words{"AROUND", "THEM"}));
        EXPECT_EQ(run({"\xe2\x80\x9cquoted\xe2\x80\x9d word\xe2\x80\x94" "dash\xe2\x80\x99" "edit "}, markup),
                  (Words{"QUOTED", "WORD", "DASH", "EDIT"}));
        EXPECT_EQ(run({"emoji\xf0\x9f\x98\x80" "face "}, markup), (Words{"EMOJI", "FACE"}));
        // Latin-1 "Ä" before a byte 80-BF is read as one UTF-8 character (U+0129), a separator.
        EXPECT_EQ(run({"abcd\xc4\xa9" "efgh "}, markup), (Words{"ABCD", "EFGH"}));
        // A three-byte sequence cut after each of its first two bytes.
        for (size_t cut : {5u, 6u}) {
            const std::string s = "word\xe2\x80\x94next ";
            EXPECT_EQ(run({s.substr(0, cut), s.substr(cut)}, markup), (Words{"WORD", "NEXT"})) << cut;
        }
        // A four-byte sequence cut into pieces of one byte.
        EXPECT_EQ(run({"word\xf0", "\x9f", "\x98", "\x80" "next "}, markup), (Words{"WORD", "NEXT"}));
    }
    // Its position is that of its first byte.
    got.clear();
    extract_reset();
    EXPECT_EQ(extract_plain("abcd\xe2\x80\x94x", 8), 5);
}

// What is not well-formed UTF-8 is Latin-1: overlong forms, surrogates, code points past U+10FFFF,
// lead bytes without their continuation bytes.
TEST_F(Letters, BrokenSequencesAreLatin1) {
    for (bool markup : {false, true}) {
        SCOPED_TRACE(markup);
        EXPECT_EQ(run({"abcd\xe0\x80\x80" "efgh "}, markup), (Words{"ABCDA", "EFGH"}));     // à, overlong
        EXPECT_EQ(run({"abcd\xed\xa0\x80" "efgh "}, markup), (Words{"ABCDI", "EFGH"}));     // í, surrogate
        EXPECT_EQ(run({"abcd\xf4\x90\x80\x80" "efgh "}, markup), (Words{"ABCDO", "EFGH"})); // ô, > U+10FFFF
        EXPECT_EQ(run({"abcd\xc1\xa9" "efgh "}, markup), (Words{"ABCDA", "EFGH"}));         // Á: no lead byte
        EXPECT_EQ(run({"caf\xe9 cr\xe8me "}, markup), (Words{"CAFE", "CREME"}));
        EXPECT_EQ(run({"caf\xe9\xe8" "a\x80 "}, markup), Words{"CAFEEA"});
        // Broken off in the next piece, or by the end of the file.
        EXPECT_EQ(run({"abcd\xe2\x80", "efgh "}, markup), (Words{"ABCDA", "EFGH"}));
        EXPECT_EQ(run({"abcd\xe2\x80"}, markup), Words{"ABCDA"});
        EXPECT_EQ(run({"abcd\xe9"}, markup), Words{"ABCDE"});
    }
}

TEST_F(Letters, ScriptAndStyleContentIsNoProse) {
    const std::string page =
        "<p>before</p><script type=\"text/javascript\">var hidden = \"<b>words</b>\"; if (a < b) x();</script>"
        "after <STYLE>p { color: red }</Style >shown <sCrIpT>document.write(\"secret\")</SCRIPT\n>"
        "visible <scripts>kept</scripts> <style/>styled</style>last <script";
    const Words want{"BEFORE", "AFTER", "SHOWN", "VISIBLE", "KEPT", "LAST"};
    EXPECT_EQ(run({page}, true), want);
    // Wherever a piece ends: inside the tag names, the end tags, the content.
    for (size_t cut = 1; cut < page.size(); cut++)
        EXPECT_EQ(run({page.substr(0, cut), page.substr(cut)}, true), want) << "cut at " << cut;
    // Plain text has no elements.
    EXPECT_EQ(run({"<script>code here</script> "}, false), (Words{"SCRIPT", "CODE", "HERE", "SCRIPT"}));
    // A start tag that never closes, or content with no end tag, hides the rest of its file only.
    EXPECT_EQ(run({"text <script>var a = 1; more words"}, true), Words{"TEXT"});
    EXPECT_EQ(run({"next file "}, true), (Words{"NEXT", "FILE"}));
    // The end tag's name is matched whole; "</scrip>" does not end it.
    EXPECT_EQ(run({"<script>one</scrip> two</script >three "}, true), Words{"THREE"});
}

} // namespace
