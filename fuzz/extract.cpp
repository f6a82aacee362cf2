// Fuzz target: content detection and word extraction over data split at random into pieces,
// each handed over as the read pipeline would, the file's end flushed at the end.
// Input: byte 0 picks the kind and whether the trigram filter is on, bytes 1-4 seed the split,
// the rest is the file's data.
// Checks: every word handed on is 1 to 31 of the 30 letters, NUL-terminated; every returned
// position lies within its piece; detection answers a known kind; and with the filter off, plain
// text and markup give the same words however the data is split (tokenizer state carries over).
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "idx/read/decode.h"
#include "idx/text/detect.h"
#include "idx/text/extract.h"

static std::string words; // every word handed on, each followed by '|'

static bool is_letter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || c == 0xC4 || c == 0xD6 || c == 0xDC || c == 0xDF;
}

static int sink(char *word, int len) {
    if (len < 1 || len > MAX_WORD || word[len] != 0) __builtin_trap();
    for (int i = 0; i < len; i++)
        if (!is_letter(static_cast<unsigned char>(word[i]))) __builtin_trap();
    words.append(word, static_cast<size_t>(len));
    words += '|';
    return 0;
}

static void extract_piece(const char *p, int n, int kind) {
    // A piece of its own allocation: ASan then sees any read past its end.
    std::string piece(p, static_cast<size_t>(n));
    int pos = extract_words(piece.data(), n, kind);
    if (pos < 0 || pos > n) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5 || size > (1u << 20)) return 0;
    static const int KINDS[] = {KIND_TEXT, KIND_MARKUP, KIND_AUDIO, KIND_UNKNOWN};
    int kind = KINDS[data[0] & 3];
    bool detect = data[0] & 4; // take the kind from detection instead, as the pipeline does
    bool filter = data[0] & 8;
    FuzzRand rnd{uint64_t{data[1]} | uint64_t{data[2]} << 8 | uint64_t{data[3]} << 16 | uint64_t{data[4]} << 24};
    const char *buf = reinterpret_cast<const char *>(data + 5);
    int len = static_cast<int>(size - 5);

    word_sink = sink;
    fuzz_trigrams(filter);
    extract_reset();
    words.clear();

    if (detect) {
        std::string first(buf, static_cast<size_t>(len < 32768 ? len : 32768));
        int k = detect_type(first.data(), static_cast<int>(first.size()));
        if (k != KIND_RAR && k != KIND_ZIP && k != KIND_PRINT && k != KIND_NONE && k != KIND_MARKUP &&
            k != KIND_AUDIO && k != KIND_TEXT && !decoded_kind(k))
            __builtin_trap();
        // Compressed data, UTF-16 and documents reach the tokenizers decoded (the gzip, utf16 and
        // zipdoc targets; PDF through its helper process).
        if (k <= 0 || decoded_kind(k)) return 0;
        kind = k;
    }
    // Pieces mostly short (edges everywhere), sometimes a whole 32 KiB read, sometimes empty.
    for (int at = 0; at < len;) {
        uint32_t r = rnd.next();
        int n = (r & 7) == 0 ? 32768 : (r & 7) == 1 ? 0 : static_cast<int>((r >> 3) % 64);
        if (n > len - at) n = len - at;
        extract_piece(buf + at, n, kind);
        at += n;
    }
    extract_end_file();

    if (!filter && kind != KIND_AUDIO) {
        std::string split = words;
        words.clear();
        extract_piece(buf, len, kind);
        extract_end_file();
        if (split != words) __builtin_trap();
    }
    return 0;
}
