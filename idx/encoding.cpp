#include "idx/encoding.h"

#include <cstdint>

// Decodes the UTF-8 character at s[i]: its code point and length, or length 0 when the bytes
// there are not a complete, shortest-form character.
static int decode_utf8(const std::string &s, size_t i, uint32_t &cp) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= s.size()) return 0;
    cp = extra == 0 ? c : c & (0x3Fu >> extra);
    for (int k = 1; k <= extra; k++) {
        auto d = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
    static const uint32_t MIN_CP[] = {0, 0x80, 0x800, 0x10000};
    if (cp < MIN_CP[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return extra + 1;
}

// Whether s is valid UTF-8; counts its characters of more than one byte into *wide.
static bool valid_utf8(const std::string &s, int *wide = nullptr) {
    uint32_t cp;
    for (size_t i = 0; i < s.size();) {
        int n = decode_utf8(s, i, cp);
        if (!n) return false;
        if (wide && n > 1) ++*wide;
        i += static_cast<size_t>(n);
    }
    return true;
}

static std::string latin1_to_utf8(const std::string &s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string to_latin1(const std::string &text) {
    std::string out;
    uint32_t cp;
    for (size_t i = 0; i < text.size();) {
        int n = decode_utf8(text, i, cp);
        if (!n) return text;
        out += cp < 0x100 ? static_cast<char>(cp) : '?';
        i += static_cast<size_t>(n);
    }
    return out;
}

std::string to_display(const std::string &bytes) {
    return valid_utf8(bytes) ? bytes : latin1_to_utf8(bytes);
}

// One excerpt piece without the continuation bytes that open it and the incomplete character
// that closes it: what is left of a cut UTF-8 text.
static std::string trim_cut_chars(const std::string &piece) {
    size_t from = 0;
    while (from < piece.size() && from < 3 && (static_cast<unsigned char>(piece[from]) & 0xC0) == 0x80) from++;
    size_t to = piece.size();
    // Look back at most three bytes for a lead byte whose character runs past the end.
    for (size_t k = 1; k <= 3 && k <= to - from; k++) {
        auto c = static_cast<unsigned char>(piece[to - k]);
        if ((c & 0xC0) == 0x80) continue;
        size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (need > k) to -= k;
        break;
    }
    return piece.substr(from, to - from);
}

std::string excerpt_to_display(const std::string &bytes) {
    if (valid_utf8(bytes)) return bytes;
    static const std::string SEP = " ... ";
    std::string out;
    int wide = 0;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find(SEP, pos);
        std::string piece = trim_cut_chars(bytes.substr(pos, end == std::string::npos ? end : end - pos));
        if (!valid_utf8(piece, &wide)) return latin1_to_utf8(bytes);
        out += piece;
        if (end == std::string::npos) break;
        out += SEP;
        pos = end + SEP.size();
    }
    // A Latin-1 letter at a piece's edge looks like a cut character too ("caf\xE9"): only a text
    // that shows whole UTF-8 characters elsewhere is taken for UTF-8.
    return wide > 0 ? out : latin1_to_utf8(bytes);
}
