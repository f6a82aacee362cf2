#include "idx/text/detect.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <string>

namespace {

// Detects on a heap copy of exactly data.size() bytes: the sanitizer build catches any read past len.
int detect(const std::string &data) {
    auto buf = std::make_unique<char[]>(data.size());
    data.copy(buf.get(), data.size());
    return detect_type(buf.get(), static_cast<int>(data.size()));
}

struct Case {
    std::string data;
    int kind;
};

void check(const Case *cases, size_t n) {
    for (size_t i = 0; i < n; i++) {
        SCOPED_TRACE(::testing::PrintToString(cases[i].data));
        EXPECT_EQ(detect(cases[i].data), cases[i].kind);
    }
}

using namespace std::string_literals; // "\0..."s keeps embedded NULs

} // namespace

TEST(Detect, ShortPiecesAreNotIndexed) {
    static const Case cases[] = {
        {"", KIND_NONE},
        {"a", KIND_NONE},
        {"ab", KIND_NONE},
        {"PK\x03", KIND_NONE},
        {"hello world", KIND_NONE},  // 11 bytes
        {"hello world!", KIND_TEXT}, // 12 bytes
        {"   <HTML>", KIND_NONE},    // markup, but under 12 bytes
        {"%!PS-AdobeX", KIND_NONE},  // 11 bytes: too short for the print tests
        {"ID3x", KIND_AUDIO},        // signatures before the length limit still count
        {"Rar!", KIND_RAR},
        {"xxxxmoo", KIND_NONE}, // bytes 4..7 looked at only when there are 8
    };
    check(cases, std::size(cases));
}

TEST(Detect, Signatures) {
    static const Case cases[] = {
        {"PK\x03\x04 anything at all", KIND_ZIP},
        {"PK\x05\x06 empty archive end", KIND_TEXT},
        {"Rar!\x1a\x07\x00 archive"s, KIND_RAR},
        {"\xFF\xFB\x90\x64 frame data", KIND_AUDIO},
        {"\xFF\xFA\x90\x64 frame data", KIND_AUDIO},
        {"\xFF\xF0 lowest sync ....", KIND_AUDIO},
        {"\xFF\xF7 highest sync ...", KIND_AUDIO},
        {"\xFF\xF8 no frame sync ..", KIND_TEXT},
        {"\xFF\xFC no frame sync ..", KIND_TEXT},
        {"ID3 is not always audio", KIND_AUDIO},
        {"\xFF\xD8\xFF\xE0 jpeg image", KIND_NONE},
        {"GIF89a image data", KIND_NONE},
        {"GIF87a image data", KIND_NONE},
        {"GIF88 is no image", KIND_TEXT},
        {"\x89PNG\r\n\x1a\n image", KIND_NONE},
        {"BMW cars are fast", KIND_TEXT}, // two bytes decide nothing
        {"BM\x36\x00\x0c\x00\x00\x00\x00\x00\x36\x00\x00\x00"s, KIND_NONE}, // a bitmap's NULs do
        {"\0\0\0\x18moov"s, KIND_NONE},
        {"\0\0\0\x18mdat and more"s, KIND_NONE},
        {"xxxxMOOV is not an atom", KIND_TEXT},
        {"RIFF\x24\x08\0\0WAVE"s, KIND_NONE},
        {"RIFX\0\0\x08\x24WAVE"s, KIND_NONE},
        {"\0\0\x01\xB3 video stream"s, KIND_NONE},
        {"\0\0\x01\xBA video stream"s, KIND_NONE},
        {"\0\0\x01\xBB not video ...."s, KIND_NONE}, // but NUL bytes, so no text
        {"OggS\0\x02 vorbis ..."s, KIND_NONE},
        {"\x30\x26\xB2\x75\x8E\x66\xCF\x11 asf", KIND_NONE},
        {"%!PS-Adobe-3.0", KIND_PRINT},
        {"%!PS-AdobeX and more", KIND_PRINT},
        {"%!PS-adobe-3.0", KIND_TEXT},
        {"\x04%!PS-Adobe-2.0", KIND_PRINT},
        {"\x1B%-12345X@PJL JOB", KIND_PRINT},
        {"\x1B%-12345X@PX", KIND_TEXT},
        {"%PDF-1.4\n%\xE2\xE3", KIND_PDF}, // read through its helper; KIND_PRINT without FORMAT_PDF
        {"  %PDF-1.4 indented", KIND_TEXT},
    };
    check(cases, std::size(cases));
}

TEST(Detect, Markup) {
    static const Case cases[] = {
        {"   <HTML>\n<body>", KIND_MARKUP},
        {"<!DOCTYPE html>", KIND_MARKUP},
        {"<HeAd><title>x", KIND_MARKUP},
        {"<body bgcolor=white>", KIND_MARKUP},
        {"<TITLE>Notes</TITLE>", KIND_MARKUP},
        {"<?XML version=\"1.0\"?>", KIND_MARKUP},
        {"<!-- comment -->", KIND_MARKUP},
        {"<!SUBDOC chapter1>", KIND_MARKUP},
        {"\t\n\v\f\r <html>", KIND_MARKUP},
        {"          <!--", KIND_MARKUP}, // the name ends exactly at the end of the piece
        {"          <!doc", KIND_TEXT},  // the piece ends inside the name
        {"           <bod", KIND_TEXT},
        {"<p>hello</p>", KIND_TEXT},
        {"<htm> is close", KIND_TEXT},
        {"\x1C!-- folded --", KIND_TEXT}, // case folding must not turn control bytes into '<'
        {"<\x01--  folded --", KIND_TEXT},
        {"\0 <html><body>"s, KIND_NONE}, // NUL is not white space, and no text
        {"<html>\0<body>"s, KIND_MARKUP}, // the signatures come first
        {"\xA0<html><body>", KIND_TEXT},
        {"            ", KIND_TEXT}, // twelve spaces
        {" \t\r\n \t\r\n \t\r\n \t\r\n", KIND_TEXT},
    };
    check(cases, std::size(cases));
}

// A NUL byte in the first 512 bytes marks the data as binary: executables, fonts, compressed
// data, UTF-16 text.
TEST(Detect, NulBytesEarlyOnAreNoText) {
    std::string text(4096, 'a');
    EXPECT_EQ(detect(text), KIND_TEXT);
    std::string at511 = text, at512 = text;
    at511[511] = '\0';
    at512[512] = '\0';
    EXPECT_EQ(detect(at511), KIND_NONE);
    EXPECT_EQ(detect(at512), KIND_TEXT);
    EXPECT_EQ(detect(at511.substr(0, 512)), KIND_NONE);
    EXPECT_EQ(detect("short text\0!"s), KIND_NONE); // all of it when it is shorter
    EXPECT_EQ(detect("\x7F" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0"s), KIND_NONE);
    // UTF-16 is binary unless its format is read.
    std::string utf16 = "\xFF\xFEH\0e\0l\0l\0o\0 \0w\0o\0r\0l\0d\0"s;
    EXPECT_EQ(detect_type_with(utf16.data(), static_cast<int>(utf16.size()), 0), KIND_NONE);
    EXPECT_EQ(detect(utf16), KIND_UTF16LE);
}

TEST(DetectDeathTest, NullBuffer) {
    EXPECT_DEATH(detect_type(nullptr, 16), "Assertion failed: buf != 0, file idx/detect, line");
}
