// Fuzz target: the UTF-16 decoder (see decode_check.h for what is checked), and that its text is
// well-formed UTF-8 without NUL bytes.
// Input: byte 0 picks little or big endian, bytes 1-4 seed the split, the rest is the file's data.
#include "fuzz/decode_check.h"

static bool well_formed_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b == 0) return false;
        size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    int kind = data[0] & 1 ? KIND_UTF16BE : KIND_UTF16LE;
    fuzz_decode_both(kind, data + 1, size - 1);
    if (size >= 5) {
        FuzzDecoded whole;
        fuzz_decode(kind, reinterpret_cast<const char *>(data + 5), size - 5, nullptr, &whole);
        // Blocks end between characters, so the text as a whole must be well-formed.
        if (!well_formed_utf8(whole.text)) __builtin_trap();
    }
    return 0;
}
