// Fuzz target: Joliet names (UTF-16 big-endian units) to UTF-8, as the ISO 9660 reader converts
// them. Input: the identifier bytes, odd lengths included.
// Checks: the output is valid UTF-8 of at most 3 bytes per unit, holds no control character, and
// decodes back to the input's units wherever they were characters (replaced ones give U+FFFD).
#include <cstdint>
#include <string>
#include <vector>

#include "idx/text/encoding.h"

// The code points of valid UTF-8 text.
static std::vector<uint32_t> decode(const std::string &s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        int more = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        uint32_t cp = more ? c & (0x3F >> more) : c;
        for (int k = 0; k < more; k++) cp = cp << 6 | (static_cast<unsigned char>(s[++i]) & 0x3F);
        out.push_back(cp);
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string out = utf16be_to_utf8(data, size);
    if (out.size() > size / 2 * 3 || !valid_utf8(out.data(), out.size())) __builtin_trap();
    // What the input's units should give: pairs joined, the rest kept or replaced.
    std::vector<uint32_t> want;
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t u = uint32_t{data[i]} << 8 | data[i + 1];
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < size) {
            uint32_t low = uint32_t{data[i + 2]} << 8 | data[i + 3];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                want.push_back(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        bool bad = (u >= 0xD800 && u <= 0xDFFF) || u < 0x20 || (u >= 0x7F && u <= 0x9F);
        want.push_back(bad ? 0xFFFD : u);
    }
    if (decode(out) != want) __builtin_trap();
    for (uint32_t cp : want)
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) __builtin_trap();
    return 0;
}
