#include "idx/encoding.h"

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
