#include "idx/text/detect.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "idx/check.h"

static const char UNIT[] = "idx/detect";

// How far into the data a NUL byte marks it as binary.
constexpr int NUL_WINDOW = 512;

// Markup that starts a document, compared without regard to case after leading white space.
static constexpr std::string_view MARKUP_NAMES[] = {"<html",     "<head", "<body", "<title",
                                                    "<!doctype", "<?xml", "<!--",  "<!subdoc"};

// Callers have checked that sig.size() bytes are there.
static bool starts(const char *p, std::string_view sig) {
    return std::memcmp(p, sig.data(), sig.size()) == 0;
}

// ASCII case folding only: the names are ASCII, and a locale must not change what a file is.
static bool same_nocase(const char *p, std::string_view name) {
    for (char want : name) {
        char c = *p++;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != want) return false;
    }
    return true;
}

static bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

unsigned detect_formats = FORMATS_ALL;

// UTF-16 without a byte-order mark: how many units are looked at, and how few will do.
constexpr int UTF16_SNIFF = 256;
constexpr int UTF16_MIN_UNITS = 6;

// Text in UTF-16 without a byte-order mark, told only when it cannot be anything else: every
// unit of the first ones a Latin-1 character (high byte 0) that text holds, never a NUL or other
// control. hi: where a unit's high byte stands, 1 for little endian, 0 for big.
static bool ascii_utf16(const unsigned char *u, int len, int hi) {
    int units = std::min(len, 2 * UTF16_SNIFF) / 2;
    if (units < UTF16_MIN_UNITS) return false;
    for (int i = 0; i < units; i++) {
        unsigned char h = u[2 * i + hi], l = u[2 * i + 1 - hi];
        if (h != 0) return false;
        if (!(l == '\t' || l == '\n' || l == '\r' || (l >= 0x20 && l < 0x7F) || l >= 0xA0)) return false;
    }
    return true;
}

static unsigned le16(const unsigned char *p) { return p[0] | unsigned{p[1]} << 8; }
static uint32_t le32(const unsigned char *p) { return le16(p) | uint32_t{le16(p + 2)} << 16; }

// A ZIP archive that is a document, told by its members as the first bytes show them: OpenDocument
// and EPUB store a "mimetype" member first; Office Open XML has [Content_Types].xml and parts of
// its own, found by following the local headers as far as the bytes at hand go.
static int zip_kind(const unsigned char *u, int len) {
    constexpr std::string_view ODF_TYPE = "application/vnd.oasis.opendocument.", EPUB_TYPE = "application/epub+zip";
    static constexpr std::string_view OOXML_NAMES[] = {"[Content_Types].xml", "word/document.xml",
                                                       "ppt/presentation.xml", "xl/workbook.xml"};
    long at = 0;
    for (int member = 0; member < 64 && at + 30 <= len && std::memcmp(u + at, "PK\x03\x04", 4) == 0; member++) {
        unsigned flags = le16(u + at + 6), method = le16(u + at + 8);
        uint32_t csize = le32(u + at + 18);
        unsigned nlen = le16(u + at + 26), xlen = le16(u + at + 28);
        if (at + 30 + nlen > len) break;
        std::string_view name(reinterpret_cast<const char *>(u + at + 30), nlen);
        long data = at + 30 + nlen + xlen;
        if (member == 0 && name == "mimetype" && method == 0) {
            std::string_view type(reinterpret_cast<const char *>(u) + std::min<long>(data, len),
                                  static_cast<size_t>(std::clamp<long>(len - data, 0, csize)));
            if (type.substr(0, ODF_TYPE.size()) == ODF_TYPE) return KIND_ODF;
            if (type == EPUB_TYPE) return KIND_EPUB;
        }
        for (std::string_view n : OOXML_NAMES)
            if (name == n) return KIND_OOXML;
        if (flags & 8) break; // sizes follow the data: the next header cannot be found from here
        at = data + csize;
    }
    return KIND_ZIP;
}

int detect_type(const char *buf, int len) { return detect_type_with(buf, len, detect_formats); }

int detect_type_with(const char *buf, int len, unsigned formats) {
    IDX_ASSERT(buf != 0);
    if (len < 4) return KIND_NONE;
    const auto *u = reinterpret_cast<const unsigned char *>(buf);

    if (starts(buf, "PK\x03\x04")) return formats & FORMAT_OFFICE ? zip_kind(u, len) : KIND_ZIP;
    if (starts(buf, "Rar!")) return KIND_RAR;
    // gzip's magic and deflate method; its header holds NUL bytes, so it must come before that rule.
    if ((formats & FORMAT_GZIP) && starts(buf, "\x1F\x8B\x08")) return KIND_GZIP;
    if (formats & FORMAT_UTF16) {
        if (len >= 12 && u[0] == 0xFF && u[1] == 0xFE) return KIND_UTF16LE;
        if (len >= 12 && u[0] == 0xFE && u[1] == 0xFF) return KIND_UTF16BE;
        if (ascii_utf16(u, len, 1)) return KIND_UTF16LE;
        if (ascii_utf16(u, len, 0)) return KIND_UTF16BE;
    }

    // MPEG audio frame sync: FF FA/FB (layer III) or FF F0..F7.
    if (u[0] == 0xFF && ((u[1] & 0xFE) == 0xFA || (u[1] & 0xF8) == 0xF0)) return KIND_AUDIO;
    if (starts(buf, "ID3")) return KIND_AUDIO;

    // Bitmaps ("BM") are not told by their two bytes, which plenty of texts begin with, but by the
    // NUL bytes of their header, below.
    if ((u[0] == 0xFF && u[1] == 0xD8) || (len >= 6 && (starts(buf, "GIF87a") || starts(buf, "GIF89a"))) ||
        starts(buf, "\x89PNG") || (len >= 8 && (starts(buf + 4, "mdat") || starts(buf + 4, "moov"))) ||
        starts(buf, "RIFF") || starts(buf, "RIFX") || starts(buf, std::string_view("\x00\x00\x01\xB3", 4)) ||
        starts(buf, std::string_view("\x00\x00\x01\xBA", 4)) || starts(buf, "OggS") ||
        starts(buf, "\x30\x26\xB2\x75"))
        return KIND_NONE;

    // Too little to tell text from anything else; the print signatures below need up to 12 bytes.
    if (len < 12) return KIND_NONE;

    if (starts(buf, "%!PS-Adobe") || starts(buf, "\x04%!PS-Adobe") || starts(buf, "\x1B%-12345X@PJ") ||
        starts(buf, "%PDF-"))
        return (formats & FORMAT_PDF) && starts(buf, "%PDF-") ? KIND_PDF : KIND_PRINT;

    int i = 0;
    while (i < len && is_space(buf[i]))
        i++;
    if (i == len) return KIND_TEXT;
    for (std::string_view name : MARKUP_NAMES)
        if (len - i >= static_cast<int>(name.size()) && same_nocase(buf + i, name)) return KIND_MARKUP;
    // Text has no NUL bytes; executables, libraries, fonts, databases, compressed data and UTF-16
    // text have them early on.
    if (std::memchr(buf, 0, static_cast<size_t>(len < NUL_WINDOW ? len : NUL_WINDOW))) return KIND_NONE;
    return KIND_TEXT;
}
