// The tokenizers' shared inside: the character model (how bytes become letters and separators),
// the state they carry from one buffer to the next, and the scans both use. For idx/text's
// extract.cpp (plain text, tags of audio files, dispatch) and markup.cpp only.
#ifndef OLMAREST_IDX_TEXT_TOKENS_H
#define OLMAREST_IDX_TEXT_TOKENS_H

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "idx/text/extract.h"

// ---- Character model ----

// Every character is read once, UTF-8 first: a lead byte C2-F4 that begins a well-formed sequence
// of 2 to 4 bytes is one character with its continuation bytes; every other byte is one Latin-1
// character. A letter is A-Z, a-z or a Latin-1 letter of the languages users search (accents
// fold to the base letter; Ä Ö Ü ß keep their own letters); everything else separates words.

// The folded letter of a Latin-1 character, 0 for a separator. a-z and ä ö ü lose bit 0x20;
// Æ æ Þ þ × ÷ separate.
static constexpr auto make_latin1_fold() {
    struct Fold {
        char v[256];
    } t{};
    for (int c = 'A'; c <= 'Z'; c++) t.v[c] = t.v[c + 0x20] = static_cast<char>(c);
    const struct {
        unsigned char from[10];
        char to;
    } ACCENTED[] = {
        {{0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xE0, 0xE1, 0xE2, 0xE3, 0xE5}, 'A'},
        {{0xC7, 0xE7}, 'C'},
        {{0xC8, 0xC9, 0xCA, 0xCB, 0xE8, 0xE9, 0xEA, 0xEB}, 'E'},
        {{0xCC, 0xCD, 0xCE, 0xCF, 0xEC, 0xED, 0xEE, 0xEF}, 'I'},
        {{0xD0, 0xF0}, 'D'},
        {{0xD1, 0xF1}, 'N'},
        {{0xD2, 0xD3, 0xD4, 0xD5, 0xD8, 0xF2, 0xF3, 0xF4, 0xF5, 0xF8}, 'O'},
        {{0xD9, 0xDA, 0xDB, 0xF9, 0xFA, 0xFB}, 'U'},
        {{0xDD, 0xFD, 0xFF}, 'Y'},
    };
    for (const auto &a : ACCENTED)
        for (unsigned char c : a.from)
            if (c) t.v[c] = a.to;
    for (int c : {0xC4, 0xD6, 0xDC, 0xDF}) t.v[c] = static_cast<char>(c);
    for (int c : {0xE4, 0xF6, 0xFC}) t.v[c] = static_cast<char>(c & ~0x20);
    return t;
}
static constexpr auto LATIN1_FOLD = make_latin1_fold();

static_assert([] {
    int n = 0;
    for (int c = 0; c < 256; c++) n += LATIN1_FOLD.v[c] != 0;
    return n;
}() == 52 + 58); // A-Z, a-z; C0-FF but Æ × Þ æ ÷ þ

// The hot loops' lookup: the folded letter of an ASCII byte, 0 for ASCII separators and for every
// byte of 0x80 or more, which read_char decides.
static constexpr auto make_folded() {
    struct Folded {
        char v[256];
    } t{};
    for (int c = 0; c < 0x80; c++) t.v[c] = LATIN1_FOLD.v[c];
    return t;
}
static constexpr auto FOLDED = make_folded();

// Letter codes of the folded letters for the trigram index: A-Z 0-25, Ä 26, Ö 27, Ü 28, ß 29.
static constexpr auto make_codes() {
    struct Codes {
        uint8_t v[256];
    } t{};
    for (int c = 'A'; c <= 'Z'; c++) t.v[c] = static_cast<uint8_t>(c - 'A');
    t.v[0xC4] = 26;
    t.v[0xD6] = 27;
    t.v[0xDC] = 28;
    t.v[0xDF] = 29;
    return t;
}
static constexpr auto LETTER_CODE = make_codes();

// The character of one or more bytes at b[i], a byte of 0x80 or more: its folded letter goes to
// *f (0 for a separator), and the answer is its length in bytes. 0 when the buffer ends inside
// what may still become a well-formed UTF-8 sequence: the next buffer decides. Only C3 80-BF
// (U+00C0 to U+00FF) can be a letter in UTF-8; every other sequence (no-break space, curly quotes,
// other scripts) separates. A sequence broken off leaves its lead byte a Latin-1 character.
static inline int read_char(const unsigned char *b, int i, int len, char *f) {
    unsigned c = b[i];
    int need = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 1;
    for (int k = 1; k < need; k++) {
        if (i + k >= len) return 0;
        unsigned d = b[i + k];
        // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
        unsigned lo = 0x80, hi = 0xBF;
        if (k == 1) {
            if (c == 0xE0) lo = 0xA0;
            else if (c == 0xED) hi = 0x9F;
            else if (c == 0xF0) lo = 0x90;
            else if (c == 0xF4) hi = 0x8F;
        }
        if (d < lo || d > hi) {
            need = 1;
            break;
        }
    }
    *f = need == 1 ? LATIN1_FOLD.v[c] : c == 0xC3 ? LATIN1_FOLD.v[b[i + 1] + 0x40] : 0;
    return need;
}

// Bytes of a UTF-8 sequence that a buffer ended in, kept for the next buffer.
struct Pending {
    unsigned char b[4];
    int n;
};

// ---- Tokenizer state (one per process) ----

constexpr int ENTITY_MAX = 32; // longer runs after "&" are text, not an entity

// What the tokenizers carry from one call to the next: the word pending at the end of the last
// buffer and the context it stands in. Owned by the thread that extracts: the indexing thread
// during a run, the UI thread for the stop list (before the run starts) and for queries.
struct TokState {
    char pword[MAX_WORD + 1]; // plain tokenizer: the pending word
    int plen;                 // its letters; 0 = none pending
    int phyph;                // 0 none, 1 "-" after the word, 2 "-" then CR/LF
    float bonus;              // context bonus of the current extract_plain call

    Pending ppend;            // a UTF-8 sequence the last buffer ended in
    bool query;               // query text: no filter, short words handed on too
    int pstart;               // where the pending word began in this buffer; -1 in an earlier one
    int span_start, span_end; // bytes of the word last handed on (extract_last_span)

    char mword[MAX_WORD + 1]; // markup tokenizer: the same four, plus the tag and entity state
    int mlen;
    int mhyph;
    Pending mpend;
    bool in_tag;
    int tag_name;               // in a tag: letters of its name read so far; -1 once it has ended
    char tag_buf[6];            // the name's first letters, lower case
    int raw;                    // 0, or the element whose content is skipped: RAW_SCRIPT, RAW_STYLE
    int raw_match;              // bytes of its end tag ("</script") matched so far
    bool in_entity;             // "&" seen, and since then only letters, digits and "#"
    int ent_start;              // word length when the "&" came: where a removed entity cuts it back
    int ent_len;                // bytes of ent_name
    char ent_name[ENTITY_MAX];  // what follows the "&", as written
};
extern TokState tok;


// ---- Scans both tokenizers use ----

// The position of the first byte at or after i that the tokenizer must look at when no word is
// pending, or len: a byte that may begin a letter (an ASCII letter or any byte of 0x80 or more),
// and in markup also "<" and "&". Most bytes of binary-ish or numeric data are separators, so 16
// at a time are ruled out when none of them can matter.
template <bool Markup> static inline bool is_stop(unsigned char c) {
    return FOLDED.v[c] || c >= 0x80 || (Markup && (c == '<' || c == '&'));
}

template <bool Markup> [[gnu::always_inline]] static inline int skip_separators(const unsigned char *b, int i, int len) {
    // Between the words of running text there are one or two separators: look at those first.
    for (int k = 0; k < 2; k++, i++)
        if (i >= len || is_stop<Markup>(b[i])) return i;
    for (;;) {
#ifdef __SSE2__
        const __m128i fold_bit = _mm_set1_epi8(0x20), a = _mm_set1_epi8('a'), span = _mm_set1_epi8(25);
        const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
        for (; i + 16 <= len; i += 16) {
            __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
            // (c | 0x20) - 'a' <= 25 picks out A-Z and a-z; the sign bit the bytes read_char decides.
            __m128i x = _mm_sub_epi8(_mm_or_si128(c, fold_bit), a);
            __m128i hit = _mm_cmpeq_epi8(_mm_subs_epu8(x, span), _mm_setzero_si128());
            if constexpr (Markup) hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(c, lt), _mm_cmpeq_epi8(c, amp)));
            int m = _mm_movemask_epi8(hit) | _mm_movemask_epi8(c);
            if (m) {
                i += __builtin_ctz(static_cast<unsigned>(m));
                break;
            }
        }
#endif
        if (i >= len) return len;
        if (is_stop<Markup>(b[i])) return i;
        i++;
    }
}

// Appends the ASCII letters at b[i] to word, which holds n letters, until it is full or something
// else comes; moves i past them and answers the new count. The count is a local: stores into the
// char buffer could alias a global one and would force it back to memory on every letter.
[[gnu::always_inline]] static inline int take_letters(const unsigned char *b, int &i, int len, char *word, int n) {
    int k = i;
    char f;
    while (k < len && n < MAX_WORD && (f = FOLDED.v[b[k]]) != 0) {
        word[n++] = f;
        k++;
    }
    i = k;
    return n;
}

// The character of one or more bytes at b[i], a byte of 0x80 or more, as read_char reads it; when
// the buffer ends inside what may still be a UTF-8 sequence, its bytes go to pend for the next
// buffer to decide and the answer is 0.
[[gnu::always_inline]] static inline int read_or_keep(const unsigned char *b, int i, int len, char *f, Pending &pend) {
    int n = read_char(b, i, len, f);
    if (n == 0) {
        pend.n = len - i;
        memcpy(pend.b, b + i, static_cast<size_t>(pend.n));
    }
    return n;
}

// One character meets a tokenizer at position p: the letter f (folded), or, when f is 0, the
// separator whose first byte is c. False when the sink asked to stop.
using CharStep = bool (*)(unsigned char c, char f, int p, int &pos);

// The UTF-8 sequence the last buffer ended in meets this buffer's first bytes: its characters go
// to step at position 1. Answers the bytes of buf consumed, or -1 when step asked to stop; when
// buf ends before the sequence does, its bytes stay pending.
int resume_pending(Pending &pend, const unsigned char *buf, int len, CharStep step, int &pos);
// The text has ended: a sequence left pending was broken off, so its bytes are Latin-1 characters.
bool flush_pending(Pending &pend, CharStep step);

// The markup tokenizer's pending sequence and word, ended as the end of a file ends them.
void end_markup_pending();

#endif
