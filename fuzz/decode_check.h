// Shared by the decoder targets (gzip, utf16): decodes the input whole and again in pieces of
// sizes drawn from the input, and checks what came out.
// Checks: blocks are numbered 0, 1, 2, ... and all but the last are READ_SIZE bytes; only the last
// says so; no more than the cap comes out; the text, the blocks' kind and the problem are the same
// however the input is split; the tokenizers take every block.
#ifndef OLMAREST_FUZZ_DECODE_CHECK_H
#define OLMAREST_FUZZ_DECODE_CHECK_H

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_util.h"
#include "idx/read/decode.h"
#include "idx/read/pipeline.h"
#include "idx/text/extract.h"

struct FuzzDecoded {
    std::string text;
    uint32_t blocks = 0;
    int kind = 0;
    bool last_seen = false;
};

inline int fuzz_ignore_word(char *, int) { return 0; }

inline bool fuzz_take_block(void *ctx, uint32_t block, const char *data, int n, int kind, bool last) {
    auto *d = static_cast<FuzzDecoded *>(ctx);
    if (block != d->blocks || d->last_seen || n <= 0 || n > static_cast<int>(READ_SIZE)) __builtin_trap();
    if (block > 0 && d->text.size() != size_t{block} * READ_SIZE) __builtin_trap(); // earlier blocks full
    if (kind != KIND_TEXT && kind != KIND_MARKUP) __builtin_trap();
    if (block > 0 && kind != d->kind) __builtin_trap();
    d->kind = kind;
    d->last_seen = last;
    d->blocks++;
    // A block of its own allocation: ASan then sees any read past its end.
    std::string piece(data, static_cast<size_t>(n));
    d->text += piece;
    extract_words(piece.data(), n, kind);
    return true;
}

// Decodes buf as `kind`, in pieces whose sizes rnd draws (whole when rnd is null).
inline int fuzz_decode(int kind, const char *buf, size_t len, FuzzRand *rnd, FuzzDecoded *out) {
    Decoder d;
    d.begin(kind, fuzz_take_block, out);
    extract_reset();
    for (size_t at = 0; at < len;) {
        size_t n = rnd ? std::min<size_t>(len - at, 1 + rnd->next() % 70000) : len - at;
        if (!d.feed(buf + at, static_cast<int>(n))) break;
        at += n;
    }
    int problem = d.end();
    extract_end_file();
    if (out->text.size() > inflate_cap) __builtin_trap();
    if (out->blocks > 0 && !out->last_seen) __builtin_trap();
    return problem;
}

inline void fuzz_decode_both(int kind, const uint8_t *data, size_t size) {
    if (size < 4) return;
    word_sink = fuzz_ignore_word;
    fuzz_trigrams(false);
    inflate_cap = 4u << 20; // room for several blocks, and quick to reach
    FuzzRand rnd{uint64_t{data[0]} | uint64_t{data[1]} << 8 | uint64_t{data[2]} << 16 | uint64_t{data[3]} << 24};
    const char *buf = reinterpret_cast<const char *>(data + 4);
    FuzzDecoded whole, split;
    int p1 = fuzz_decode(kind, buf, size - 4, nullptr, &whole);
    int p2 = fuzz_decode(kind, buf, size - 4, &rnd, &split);
    if (p1 != p2 || whole.text != split.text || whole.kind != split.kind) __builtin_trap();
}

#endif
