#include "idx/text/encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using Case = std::pair<std::string, std::string>;

TEST(Encoding, TypedUtf8BecomesLatin1AndOtherBytesStay) {
    const Case cases[] = {
        {"harbour", "harbour"},
        {"M\xC3\xBCller", "M\xFCller"},       // UTF-8 ü
        {"M\xFCller", "M\xFCller"},           // already Latin-1: not valid UTF-8, kept
        {"Stra\xC3\x9F" "e", "Stra\xDF" "e"}, // ß
        {"caf\xE2\x82\xAC", "caf?"},          // beyond Latin-1
        {"\xC3", "\xC3"},                     // cut short
        {"\xC0\xAF", "\xC0\xAF"},             // overlong
        {"\xED\xA0\x80", "\xED\xA0\x80"},     // a surrogate
    };
    for (auto &[in, want] : cases) {
        SCOPED_TRACE(in);
        EXPECT_EQ(to_latin1(in), want);
    }
}

TEST(Encoding, Utf16NamesBecomeUtf8WithBadUnitsReplaced) {
    const std::string R = "\xEF\xBF\xBD"; // U+FFFD
    const Case cases[] = {
        {std::string("\0M\0\xFC\0l", 6), "M\xC3\xBCl"},                  // Latin-1 range
        {std::string("\x65\xE5\0.", 4), "\xE6\x97\xA5."},                 // U+65E5
        {std::string("\0\xE5", 2), "\xC3\xA5"},                             // U+00E5, not U+65E5's low byte
        {std::string("\xD8\x3D\xDE\x00", 4), "\xF0\x9F\x98\x80"},         // a surrogate pair: U+1F600
        {std::string("\xDB\xFF\xDF\xFF", 4), "\xF4\x8F\xBF\xBF"},         // the last pair: U+10FFFF
        {std::string("\xD8\x3D\0a", 4), R + "a"},                           // high surrogate alone
        {std::string("\xD8\x3D", 2), R},                                     // high surrogate at the end
        {std::string("\xDE\x00\xD8\x3D", 4), R + R},                         // low before high
        {std::string("\0\0\0\x1B\0\n\0\x7F\0\x9B\0\xA0", 12), R + R + R + R + R + "\xC2\xA0"},
        {std::string("\0a\0", 3), "a"},                                      // odd last byte ignored
        {"", ""},
    };
    for (const auto &[in, want] : cases) {
        SCOPED_TRACE(in);
        std::string got = utf16be_to_utf8(reinterpret_cast<const unsigned char *>(in.data()), in.size());
        EXPECT_EQ(got, want);
        EXPECT_TRUE(valid_utf8(got.data(), got.size()));
    }
}

TEST(Encoding, NamesShowAsUtf8WhenValidElseLatin1) {
    const Case cases[] = {
        {"", ""},
        {"/cd/readme.txt", "/cd/readme.txt"},
        {"/cd/caf\xC3\xA9.txt", "/cd/caf\xC3\xA9.txt"},   // UTF-8 kept
        {"/cd/caf\xE9.txt", "/cd/caf\xC3\xA9.txt"},       // Latin-1 é
        {"/cd/\xC3\xA9t\xE9", "/cd/\xC3\x83\xC2\xA9t\xC3\xA9"}, // mixed: all bytes Latin-1
        {"\xFF", "\xC3\xBF"},
    };
    for (auto &[in, want] : cases) {
        SCOPED_TRACE(in);
        EXPECT_EQ(to_display(in), want);
    }
}

TEST(Encoding, ExcerptsDropCharactersCutAtPieceEdges) {
    const Case cases[] = {
        // A UTF-8 text cut inside "é" (C3 A9) and "€" (E2 82 AC) at the edges of its pieces.
        {"\xA9t\xC3\xA9 ... gr\xC3\xBC\xC3\x9F \xE2\x82", "t\xC3\xA9 ... gr\xC3\xBC\xC3\x9F "},
        {"\x82\xAC und \xC3\xBC ... ", " und \xC3\xBC ... "},
        // Latin-1 é at an edge looks like a cut lead byte, but nothing else is UTF-8.
        {"the caf\xE9 ... ", "the caf\xC3\xA9 ... "},
        // Invalid inside a piece: the whole excerpt is Latin-1.
        {"\xC3\xBC ... M\xFCller ... ", "\xC3\x83\xC2\xBC ... M\xC3\xBCller ... "},
        {"plain ... text ... ", "plain ... text ... "},
    };
    for (auto &[in, want] : cases) {
        SCOPED_TRACE(in);
        EXPECT_EQ(excerpt_to_display(in), want);
    }
}

} // namespace

TEST(DisplayName, EscapesEveryControlCharacterAndKeepsTheRest) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain/name.txt", "plain/name.txt"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {std::string("nul\x01\x7f", 5), "nul\\x01\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"M\xC3\xBCller \xE6\x97\xA5", "M\xC3\xBCller \xE6\x97\xA5"}, // UTF-8 kept
        {"caf\xE9", "caf\xC3\xA9"},                                   // Latin-1 read as such
        {"c1 \xC2\x9B" "31m", "c1 \\u009b31m"},                        // CSI as one C1 character
        {"latin1 c1 \x9B", "latin1 c1 \\u009b"},
    };
    for (const Case &c : cases) EXPECT_EQ(display_name(c.in), c.out) << c.in;
}
