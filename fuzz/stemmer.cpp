// Fuzz target: the stemmer over random words of the 30 letters (A-Z, Ä, Ö, Ü, ß), 4 to 31 long.
// Input: each byte picks a letter; the input is cut into words at bytes >= 240.
// Checks: the stem is 1 letter up to the word's length, of the same letters' alphabet, ends in a
// NUL, the result equals the new length, and nothing is written past the word's last byte + 1.
#include <cstdint>
#include <cstring>
#include <memory>

#include "idx/text/extract.h"
#include "idx/text/stemmer.h"

static const unsigned char LETTERS[30] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                                          'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T',
                                          'U', 'V', 'W', 'X', 'Y', 'Z', 0xC4, 0xD6, 0xDC, 0xDF};

static bool is_letter(unsigned char c) {
    for (unsigned char l : LETTERS)
        if (c == l) return true;
    return false;
}

static void stem_one(const uint8_t *p, size_t n) {
    if (n < 4 || n > MAX_WORD) return;
    int len = static_cast<int>(n);
    // Exactly len + 1 bytes, as the contract allows: ASan sees a write beyond them.
    std::unique_ptr<char[]> word(new char[n + 1]);
    for (size_t i = 0; i < n; i++) word[i] = static_cast<char>(LETTERS[p[i] % 30]);
    word[n] = 0;
    int r = stem_word(word.get(), len);
    if (r != len || len < 1 || len > static_cast<int>(n) || word[static_cast<size_t>(len)] != 0) __builtin_trap();
    for (int i = 0; i < len; i++)
        if (!is_letter(static_cast<unsigned char>(word[static_cast<size_t>(i)]))) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i == size || data[i] >= 240) {
            stem_one(data + start, i - start);
            start = i + 1;
        }
    }
    return 0;
}
