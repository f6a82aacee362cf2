#include "idx/text/encoding.h"

#include <cstdio>

// Length of the UTF-8 sequence at s (at most n bytes), or 0 when none starts there.
static size_t utf8_seq(const unsigned char *s, size_t n) {
    unsigned c = s[0];
    if (c < 0x80) return 1;
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || len > n) return 0;
    for (size_t k = 1; k < len; k++)
        if ((s[k] & 0xC0) != 0x80) return 0;
    // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
    unsigned d = s[1];
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F))
        return 0;
    return len;
}

bool valid_utf8(const char *bytes, size_t n) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < n;) {
        size_t len = utf8_seq(s + i, n - i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

void append_utf8(std::string &out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string display_utf8(const char *bytes, size_t n) {
    if (valid_utf8(bytes, n)) return std::string(bytes, n);
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; i++) append_utf8(out, static_cast<unsigned char>(bytes[i]));
    return out;
}

std::string utf16be_to_utf8(const unsigned char *units, size_t n) {
    constexpr unsigned REPLACEMENT = 0xFFFD;
    std::string out;
    out.reserve(n + n / 2);
    for (size_t i = 0; i + 1 < n; i += 2) {
        unsigned u = unsigned{units[i]} << 8 | units[i + 1];
        unsigned cp = u;
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < n) {
            unsigned low = unsigned{units[i + 2]} << 8 | units[i + 3];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        // A surrogate still standing alone, or a character that would steer a terminal.
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) cp = REPLACEMENT;
        append_utf8(out, cp);
    }
    return out;
}

std::string to_latin1(const std::string &text) {
    if (!valid_utf8(text.data(), text.size())) return text;
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t len = utf8_seq(s + i, text.size() - i);
        unsigned cp = len == 1 ? s[i] : s[i] & (0x7Fu >> len);
        for (size_t k = 1; k < len; k++) cp = (cp << 6) | (s[i + k] & 0x3F);
        out += cp < 0x100 ? static_cast<char>(cp) : '?';
        i += len;
    }
    return out;
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
    if (valid_utf8(bytes.data(), bytes.size())) return bytes;
    static const std::string SEP = " ... ";
    std::string out;
    bool wide = false;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find(SEP, pos);
        std::string piece = trim_cut_chars(bytes.substr(pos, end == std::string::npos ? end : end - pos));
        if (!valid_utf8(piece.data(), piece.size())) return display_utf8(bytes.data(), bytes.size());
        for (char c : piece) wide |= static_cast<unsigned char>(c) >= 0x80;
        out += piece;
        if (end == std::string::npos) break;
        out += SEP;
        pos = end + SEP.size();
    }
    // A Latin-1 letter at a piece's edge looks like a cut character too ("caf\xE9"): only a text
    // that shows whole UTF-8 characters elsewhere is taken for UTF-8.
    return wide ? out : display_utf8(bytes.data(), bytes.size());
}

std::string display_name(const char *bytes, size_t n) {
    std::string utf8 = display_utf8(bytes, n), out;
    out.reserve(utf8.size());
    char esc[8];
    for (size_t i = 0; i < utf8.size(); i++) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
            // U+0080 to U+009F: terminals act on these as on ESC sequences.
            snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(utf8[++i]));
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
