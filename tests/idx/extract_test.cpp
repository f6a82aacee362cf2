#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "idx/text/extract.h"
#include "tests/test_util.h"

namespace {

std::vector<std::string> got;  // words handed on, in order
std::string stop_at;           // the sink answers -1 to this word

int capture(char *word, int len) {
    got.emplace_back(word, len);
    return got.back() == stop_at ? -1 : 0;
}

// Offset of a trigram of folded letters A-Z in trigram_freqs.dat.
int tri(const char *t) { return (t[0] - 'A') * 1024 + (t[1] - 'A') * 32 + (t[2] - 'A'); }

// Each test starts with a clean tokenizer and, unless it loads a table, no plausibility filter.
class Extract : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        got.clear();
        stop_at.clear();
        word_sink = capture;
        extract_reset();
        load_trigrams(path("missing.dat").c_str());
    }

    // Loads a table of `size` bytes, all `fill`, with the given entries set.
    void table(std::vector<std::pair<const char *, int>> set = {}, int fill = 0, int size = TRIGRAM_SIZE) {
        std::string t(size, static_cast<char>(fill));
        for (auto &[name, v] : set) t[tri(name)] = static_cast<char>(v);
        write("tri.dat", t);
        ASSERT_TRUE(load_trigrams(path("tri.dat").c_str()));
    }

    static std::vector<std::string> plain(const std::string &s) {
        got.clear();
        extract_plain(s.data(), static_cast<int>(s.size()));
        return got;
    }
    static std::vector<std::string> markup(const std::string &s) {
        got.clear();
        extract_markup(s.data(), static_cast<int>(s.size()));
        return got;
    }
};

using Words = std::vector<std::string>;

TEST_F(Extract, PlainTokenizerLines) {
    const std::string l40 = "abcdefghijklmnopqrstuvwxyzabcdefghijklmn";
    struct Case {
        std::string in;
        Words out;
    } cases[] = {
        {"exam-\nple ", {"EXAMPLE"}},
        {"exam-\r\nple ", {"EXAMPLE"}},
        {"exam-\nple\ntext ", {"EXAMPLETEXT"}}, // hyphen state 2 lasts until the word ends
        {"exam- ple ", {"EXAM"}},
        {"self-made ", {"SELF", "MADE"}},
        {"--word-- ", {"WORD"}},
        {"line\nbreak ", {"LINE", "BREAK"}},
        {l40 + " ", {"ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE", "FGHIJKLMN"}},
        {l40.substr(0, 31) + " ", {"ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE"}},
        {l40.substr(0, 35) + " ", {"ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE", "FGHI"}},
        {l40.substr(0, 34) + " ", {"ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE"}},
        {"abc abcd ", {"ABCD"}},
        {"mp3player ", {"PLAYER"}},
        {"wasn't isn't doesn't ", {"WASN", "DOESN"}},
        {"snake_case camel2case ", {"SNAKE", "CASE", "CAMEL", "CASE"}},
        {"\xfc" "ber Stra\xdf" "e \xc4rger ", {"\xdc" "BER", "STRA\xdf" "E", "\xc4RGER"}},
        {"caf\xe9s na\xefve ", {"CAFES", "NAIVE"}}, // accents fold to the base letter
        {"encyclop\xe6" "dia \xd7times ", {"ENCYCLOP", "TIMES"}}, // Æ and × separate
        {"MiXeD ", {"MIXED"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        extract_reset();
        EXPECT_EQ(plain(c.in), c.out);
    }
}

TEST_F(Extract, PlainWordSplitAcrossCalls) {
    EXPECT_EQ(extract_plain("one hel", 7), 0);
    EXPECT_TRUE(got.empty());
    // HELLO ends at the space, byte 3 of the second piece.
    EXPECT_EQ(extract_plain("lo world", 8), 3);
    EXPECT_EQ(got, Words{"HELLO"});
    EXPECT_EQ(extract_plain("s", 1), 0);
    EXPECT_EQ(extract_plain("\n", 1), 1);
    EXPECT_EQ(got, (Words{"HELLO", "WORLDS"}));
}

TEST_F(Extract, SinkStopsPlainAtOnce) {
    stop_at = "WORD";
    const char text[] = "first word here and more";
    EXPECT_EQ(extract_plain(text, sizeof text), 11);
    EXPECT_EQ(got, (Words{"FIRST", "WORD"}));
    // The stopping word is gone; nothing of it is pending.
    stop_at.clear();
    EXPECT_EQ(plain("s "), Words{});
}

TEST_F(Extract, PlausibleNeedsFourLetters) {
    EXPECT_FALSE(word_plausible("ABC", 3));
    EXPECT_TRUE(word_plausible("ABCD", 4));
}

TEST_F(Extract, EmptyTableRejectsPlainButNotMarkup) {
    table({}, 0, 0);
    EXPECT_EQ(plain("ordinary words in a sentence "), Words{});
    EXPECT_EQ(markup("ordinary words "), (Words{"ORDINARY", "WORDS"}));
    std::string piece(200, ' ');
    piece.replace(72, 3, "TAG");
    piece.replace(75, 9, "Yesterday");
    got.clear();
    extract_audio_tag(piece.data(), 200);
    EXPECT_EQ(got, Words{});
}

// A short file fills the start of the table and leaves the rest zero.
TEST_F(Extract, ShortTableCountsAsLoaded) {
    table({{"AAA", 60}}, 0, 2);
    EXPECT_EQ(plain("aaaa bbbb "), Words{"AAAA"});
}

TEST_F(Extract, ContextBonusThresholds) {
    // Four-letter words have two trigrams: score = (2 + 2v) / 4.
    table({{"AAA", 30},   // 15.5
           {"BBB", 29},   // 15.0
           {"CCC", 60},   // 30.5
           {"DDD", 24},   // 12.5
           {"EEE", 23},   // 12.0
           {"FFF", 40},   // 20.5
           {"GGG", 39}}); // 20.0; "ZZZZ" scores -29.5
    struct Case {
        const char *in;
        Words out;
    } cases[] = {
        {"aaaa ", {"AAAA"}}, // the first word of a call needs more than 15
        {"bbbb ", {}},
        {"cccc dddd ", {"CCCC", "DDDD"}}, // bonus 3 or more: more than 12
        {"cccc eeee ", {"CCCC"}},
        {"zzzz zzzz ffff ", {"FFFF"}}, // bonus clamped to -10: more than 20
        {"zzzz zzzz gggg ", {}},
        {"zzzz zzzz aaaa cccc bbbb ", {"CCCC"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(plain(c.in), c.out);
    }
    // The bonus does not outlive its call.
    EXPECT_EQ(plain("cccc "), Words{"CCCC"});
    EXPECT_EQ(plain("dddd "), Words{});
}

TEST_F(Extract, MarkupLines) {
    struct Case {
        std::string in;
        Words out;
    } cases[] = {
        {"<b>bold</b> text ", {"BOLD", "TEXT"}},
        {"<a href=\"index.html\" title=\"word\">link</a> ", {"LINK"}},
        {"<!-- hidden comment -->shown ", {"SHOWN"}},
        {"M&uuml;ller ", {"M\xdcLLER"}},
        {"&Auml;rger &ouml;de ", {"\xc4RGER", "\xd6" "DE"}},
        {"Stra&szlig;e ", {"STRA\xdf" "E"}},
        {"a&nbsp;b ", {"A", "B"}},
        {"&quot;quoted&quot; ", {"QUOTED"}},
        {"R&amp;D ", {"R", "D"}},
        {std::string("W\0O\0R\0D\0 ", 9), {"WORD"}},
        {"one<br>two ", {"ONE", "TWO"}},
        {"self-made exam-\nple ", {"SELF", "MADE", "EXAMPLE"}},
        {"x > y ", {"X", "Y"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        extract_reset();
        EXPECT_EQ(markup(c.in), c.out);
    }
}

// UTF-8 spells the seven letters in two bytes; each is one letter, folded like its Latin-1 form.
TEST_F(Extract, Utf8LettersAreOneLetterEach) {
    const std::string utf8 = "M\xc3\xbcller Gr\xc3\xbc\xc3\x9f" "e \xc3\x84rger \xc3\x96l \xc3\x9c" "ber s\xc3\xa4" "en \xc3\xb6" "de ";
    const std::string latin1 = "M\xfcller Gr\xfc\xdf" "e \xc4rger \xd6l \xdc" "ber s\xe4" "en \xf6" "de ";
    const Words want = {"M\xdcLLER", "GR\xdc\xdf" "E", "\xc4RGER", "\xdc" "BER", "S\xc4" "EN"};
    EXPECT_EQ(plain(utf8), want);
    EXPECT_EQ(plain(latin1), want);
    // The markup tokenizer hands on short words too.
    const Words want_markup = {"M\xdcLLER", "GR\xdc\xdf" "E", "\xc4RGER", "\xd6L", "\xdc" "BER", "S\xc4" "EN", "\xd6" "DE"};
    EXPECT_EQ(markup(utf8), want_markup);
    EXPECT_EQ(markup("<p>" + utf8 + "</p>"), want_markup);

    // 31 two-byte letters fill a word; the 32nd starts the next.
    std::string u;
    for (int i = 0; i < 35; i++) u += "\xc3\xbc";
    auto w = plain(u + " ");
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], std::string(31, '\xdc'));
    EXPECT_EQ(w[1], std::string(4, '\xdc'));

    // The other letters of Latin-1 fold in UTF-8 as they do in Latin-1.
    EXPECT_EQ(plain("Caf\xc3\xa9haus "), Words{"CAFEHAUS"});
    EXPECT_EQ(markup("Caf\xc3\xa9haus "), Words{"CAFEHAUS"});
    // A C3 that begins no UTF-8 sequence is Latin-1 "Ã", a letter.
    EXPECT_EQ(extract_plain("abcd\xc3 x", 7), 6);
    EXPECT_EQ(got.back(), "ABCDA");
}

TEST_F(Extract, Utf8PositionIsTheByteThatEndedTheWord) {
    const char text[] = "x Gr\xc3\xbc\xc3\x9f" "e, y";
    EXPECT_EQ(extract_plain(text, sizeof text - 1), 10); // the comma
    EXPECT_EQ(got, Words{"GR\xdc\xdf" "E"});
    // A two-byte letter after "-" ends the word at its first byte.
    got.clear();
    extract_reset();
    const char hy[] = "Stra\xc3\x9f" "e-\xc3\x9c";
    EXPECT_EQ(extract_plain(hy, sizeof hy - 1), 9);
    EXPECT_EQ(got, Words{"STRA\xdf" "E"});
}

// C3 at the end of one piece and the second byte at the start of the next are one letter.
TEST_F(Extract, Utf8LetterCutBetweenPieces) {
    for (bool markup_kind : {false, true}) {
        SCOPED_TRACE(markup_kind);
        auto run = [&](const std::string &s) {
            return markup_kind ? extract_markup(s.data(), static_cast<int>(s.size()))
                               : extract_plain(s.data(), static_cast<int>(s.size()));
        };
        extract_reset();
        got.clear();
        EXPECT_EQ(run("Gr\xc3"), 0);
        EXPECT_EQ(run("\xbc\xc3\x9f" "e "), 5);
        EXPECT_EQ(got, Words{"GR\xdc\xdf" "E"});
        // No word pending: the letter starts one.
        got.clear();
        run("text \xc3");
        run("\x84rger ");
        EXPECT_EQ(got.back(), "\xc4RGER");
        // No UTF-8 after all: the C3 is Latin-1 "Ã", read when the next byte shows it.
        got.clear();
        run("Haus\xc3");
        EXPECT_EQ(run("x Hof "), markup_kind ? 6 : 2);
        EXPECT_EQ(got.front(), "HAUSAX");
        // So it is at the end of a file; the next file's continuation byte is a separator.
        got.clear();
        run("Haus\xc3");
        extract_end_file();
        EXPECT_EQ(got, Words{"HAUSA"});
        run("\xbc" "bersee ");
        EXPECT_EQ(got, (Words{"HAUSA", "BERSEE"}));
    }
}

TEST_F(Extract, MarkupEntities) {
    struct Case {
        std::string in;
        Words out;
    } cases[] = {
        {"R&amp;D ", {"R", "D"}},
        {"Jerry&hellip; ", {"JERRY"}},
        {"M&#252;nchen ", {"M\xdcNCHEN"}},
        {"M&#xFC;nchen M&#XfC;nchen ", {"M\xdcNCHEN", "M\xdcNCHEN"}},
        {"K&auml;se &Auml;rger ", {"K\xc4SE", "\xc4RGER"}},
        {"Gru&szlig; ", {"GRU\xdf"}},
        {"&#196;&#214;&#220;&#223;&#228;&#246;&#252; ", {"\xc4\xd6\xdc\xdf\xc4\xd6\xdc"}},
        {"Tom & Jerry ", {"TOM", "JERRY"}},
        {"AT&T rocks ", {"ATT", "ROCKS"}},           // no ";": the letters stay text
        {"x&#65;y &#8364;t&euro; ", {"X", "Y", "T"}}, // other references are removed
        {"&#233;t&eacute; &Eacute;T&#xC9; ", {"ETE", "ETE"}},
        {"&EACUTE;t &Yuml;x &AUML;rger ", {"T", "X", "\xc4RGER"}}, // names other than the umlauts' keep their case
        {"a&lt;b&gt;c ", {"A", "B", "C"}},
        {"M&#252 x ", {"M", "X"}},                     // cut short: nothing to decode
        {"<a href=\"?a=1&amp;b=2\">link</a> ", {"LINK"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        extract_reset();
        EXPECT_EQ(markup(c.in), c.out);
    }
}

TEST_F(Extract, EntityCutBetweenPieces) {
    EXPECT_EQ(markup("Gr&uu"), Words{});
    EXPECT_EQ(markup("ml;n M&#2"), Words{"GR\xdcN"});
    EXPECT_EQ(markup("52;nchen R&am"), Words{"M\xdcNCHEN"});
    EXPECT_EQ(markup("p;D "), (Words{"R", "D"}));
}

TEST_F(Extract, MarkupTagStateSpansCalls) {
    EXPECT_EQ(markup("before <a hr"), Words{"BEFORE"});
    EXPECT_EQ(markup("ef=x>after "), Words{"AFTER"});
}

// The tokenizer skips tags and runs of separators many bytes at a time; what it finds must not
// depend on where those runs start or where a piece ends.
TEST_F(Extract, MarkupSkipsDoNotDependOnAlignmentOrCuts) {
    const std::string body = "<p class=\"x y z 12345678901234567890\">Gr&uuml;&szlig;e</p>  \t\n1234567890:;,.!"
                             "Stra\xc3\x9f" "e<!-- a comment with words in it --> x&amp;y &nbsp;&#252;ber "
                             "1999--2000 <br/>\xe4rger-\nlich \xc3(end)<b>last";
    const Words want{"GR\xdc\xdf" "E", "STRA\xdf" "E", "X", "Y", "\xdc" "BER", "\xc4RGERLICH", "A", "END", "LAST"};
    for (int lead = 0; lead < 32; lead++) {
        const std::string text = std::string(static_cast<size_t>(lead), lead % 2 ? ' ' : '7') + body;
        SCOPED_TRACE(lead);
        extract_reset();
        EXPECT_EQ(markup(text), Words(want.begin(), want.end() - 1)); // "last" waits for more text
        got.clear();
        extract_end_file();
        EXPECT_EQ(got, Words{"LAST"});
        for (size_t cut = 1; cut < text.size(); cut += 7) {
            extract_reset();
            Words all = markup(text.substr(0, cut));
            Words rest = markup(text.substr(cut));
            all.insert(all.end(), rest.begin(), rest.end());
            got.clear();
            extract_end_file();
            all.insert(all.end(), got.begin(), got.end());
            EXPECT_EQ(all, want) << "cut at " << cut;
        }
    }
}

TEST_F(Extract, MarkupLessThanEndsWordAndStops) {
    // "al" at the '<' is handed on whatever its length and hyphen state, and counts for the position.
    EXPECT_EQ(extract_markup("al-<b>", 6), 4);
    EXPECT_EQ(got, Words{"AL"});
    got.clear();
    stop_at = "ALPHA";
    EXPECT_EQ(extract_markup("alpha<b>beta gamma ", 19), 6);
    EXPECT_EQ(got, Words{"ALPHA"});
}

// A piece of audio data whose last 128 bytes are an ID3v1 tag.
std::string tag_piece(int len, const char *title, const char *artist, const char *album, const char *comment) {
    std::string p(len, ' ');
    p.replace(0, 12, "before tag x");
    int t = len - 128;
    p.replace(t, 3, "TAG");
    p.replace(t + 3, strlen(title), title);
    p.replace(t + 33, strlen(artist), artist);
    p.replace(t + 63, strlen(album), album);
    p.replace(t + 93, 4, "1999");
    p.replace(t + 97, strlen(comment), comment);
    return p;
}

TEST_F(Extract, AudioTagFields) {
    // The comment's 30th byte is not read: "recorded" ends at field byte 29.
    std::string p = tag_piece(200, "Yesterday", "The Beatles", "Help", "                      recorded");
    EXPECT_EQ(extract_audio_tag(p.data(), 200), 0);
    EXPECT_EQ(got, (Words{"YESTERDAY", "BEATLES", "HELP", "RECORDE"}));

    got.clear();
    p[72] = 'X'; // no tag: nothing at all from this piece
    EXPECT_EQ(extract_audio_tag(p.data(), 200), 0);
    EXPECT_EQ(got, Words{});

    const char small[] = "short piece of text";
    EXPECT_EQ(extract_audio_tag(small, sizeof small), 20);
    EXPECT_EQ(got, (Words{"SHORT", "PIECE", "TEXT"}));
}

TEST_F(Extract, AudioTagStopEndsOnlyItsField) {
    stop_at = "TITLE";
    std::string p = tag_piece(128, "title words", "artist", "", "");
    EXPECT_EQ(extract_audio_tag(p.data(), 128), 0);
    EXPECT_EQ(got, (Words{"TITLE", "ARTIST"}));
}

TEST_F(Extract, AudioTagFieldsAreSeparateTexts) {
    // A title that fills all 29 bytes read must not run into the artist, nor a word pending from
    // before the tag into the title.
    const std::string full = "ABCDEFGHIJKLMNOPQRSTUVWXYZABC";
    std::string p = tag_piece(128, (full + "D").c_str(), "Queen", "", "");
    extract_plain("pend", 4);
    extract_audio_tag(p.data(), 128);
    EXPECT_EQ(got, (Words{full, "QUEEN"}));
    EXPECT_EQ(plain("ing "), Words{}); // the tag left nothing pending
}

TEST_F(Extract, AudioTagRequiresData) {
    EXPECT_DEATH(extract_audio_tag(nullptr, 0), "Assertion failed: buf != 0, file idx/extract, line");
}

TEST_F(Extract, EndFileEndsPendingWord) {
    extract_plain("hello world", 11);
    EXPECT_EQ(got, Words{"HELLO"});
    extract_end_file();
    EXPECT_EQ(got, (Words{"HELLO", "WORLD"}));
    // The next file starts afresh: no hyphen state, nothing to join.
    extract_plain("exam-", 5);
    extract_end_file();
    EXPECT_EQ(got.back(), "EXAM");
    EXPECT_EQ(plain("\nple "), Words{});
    extract_plain("abc", 3);
    extract_end_file();
    EXPECT_EQ(got, Words{});
}

TEST_F(Extract, EndFileKeepsLengthFloorAndFilter) {
    table(); // all zero: nothing is plausible
    extract_plain("hello", 5);
    extract_end_file();
    EXPECT_EQ(got, Words{});
}

TEST_F(Extract, EndFileEndsMarkupWordAndLeavesTag) {
    extract_markup("x&", 2);
    extract_end_file();
    EXPECT_EQ(got, Words{"X"});
    EXPECT_EQ(markup("<p class=x"), Words{});
    extract_end_file();
    EXPECT_EQ(markup("text&nbsp;more "), (Words{"TEXT", "MORE"}));
}

TEST_F(Extract, ResetDiscards) {
    extract_plain("hello", 5);
    extract_markup("<b", 2);
    extract_markup("&x", 2);
    extract_reset();
    EXPECT_EQ(plain(" there "), Words{"THERE"});
    EXPECT_EQ(markup("aa nbsp; "), (Words{"AA", "NBSP"}));
}

TEST_F(Extract, DispatchByKind) {
    const char text[] = "<html>bold</html> ";
    for (int kind : {5, 3}) {
        got.clear();
        EXPECT_EQ(extract_words(text, sizeof text - 1, kind), 17);
        EXPECT_EQ(got, (Words{"HTML", "BOLD", "HTML"}));
    }
    got.clear();
    EXPECT_EQ(extract_words(text, sizeof text - 1, 2), 11);
    EXPECT_EQ(got, Words{"BOLD"});
}

// The shipped table keeps prose and drops letter salad.
class ExtractShipped : public Extract {
  protected:
    void SetUp() override {
        Extract::SetUp();
        ASSERT_TRUE(load_trigrams(OLMAREST_SOURCE_DIR "/data/trigram_freqs.dat"));
    }
};

TEST_F(ExtractShipped, AcceptsProse) {
    const char *prose[] = {
        "The licenses for most software and other practical works are designed to take away your "
        "freedom to share and change the works. When we speak of free software, we are referring to "
        "freedom, not price. Developers protect your rights with two steps. ",
        "Die Erde dreht sich in einem Jahr einmal um die Sonne. Im Herbst werden die Tage k\xfcrzer, "
        "und die Bl\xe4tter der B\xe4ume f\xe4rben sich gelb und rot. Wir gehen trotzdem gern "
        "spazieren, denn die Luft ist frisch und klar. ",
    };
    for (const char *p : prose) {
        SCOPED_TRACE(p);
        load_trigrams(path("missing.dat").c_str());
        size_t all = plain(p).size();
        load_trigrams(OLMAREST_SOURCE_DIR "/data/trigram_freqs.dat");
        EXPECT_EQ(plain(p).size(), all);
    }
}

TEST_F(ExtractShipped, RejectsRandomLetters) {
    EXPECT_EQ(plain("qxzvbkw jfqpzx wvkqzjhx pzqxmfvk xjqwvz gkqzpxw zvqxjk bxqzwp "), Words{});
}

// No load_trigrams call: the first plausibility test loads the copy beside the test program.
TEST(ExtractDefault, LoadsTableBesideProgram) {
    got.clear();
    word_sink = capture;
    const char text[] = "qxzvbkw jfqpzx wvkqzjhx the licenses for software ";
    extract_plain(text, sizeof text - 1);
    EXPECT_EQ(got, (Words{"LICENSES", "SOFTWARE"}));
}

} // namespace
