#include "idx/extract.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "idx/check.h"
#include "idx/detect.h"
#include "os/os.h"

static const char UNIT[] = "idx/extract";

// ---- Character model ----

// Word characters, one bit per byte value: A-Z, a-z and the Latin-1 letters Ä Ö Ü ß ä ö ü
// (59 values). Everything else separates words.
static constexpr uint32_t WORD_CHARS[8] = {
    0,          // 0x00-0x1F
    0,          // 0x20-0x3F: digits and punctuation
    0x07FFFFFE, // 0x40-0x5F: A-Z
    0x07FFFFFE, // 0x60-0x7F: a-z
    0,
    0,
    0x90400010, // 0xC0-0xDF: Ä (C4), Ö (D6), Ü (DC), ß (DF)
    0x10400010, // 0xE0-0xFF: ä (E4), ö (F6), ü (FC)
};

static constexpr bool is_word_char(unsigned char c) { return (WORD_CHARS[c >> 5] >> (c & 31)) & 1; }

// Clearing 0x20 folds a-z to A-Z and ä ö ü to Ä Ö Ü, and leaves ß (0xDF) as it is.
static inline char fold(unsigned char c) { return static_cast<char>(c & ~0x20); }

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

// The tokenizer's per-byte lookup: the folded letter of a word character, 0 for a separator.
static constexpr auto make_folded() {
    struct Folded {
        char v[256];
    } t{};
    for (int c = 0; c < 256; c++)
        if (is_word_char(static_cast<unsigned char>(c))) t.v[c] = static_cast<char>(c & ~0x20);
    return t;
}
static constexpr auto FOLDED = make_folded();

static_assert([] {
    int n = 0;
    for (int c = 0; c < 256; c++) n += is_word_char(static_cast<unsigned char>(c));
    return n;
}() == 59);

// ---- Tokenizer state (one per process) ----

// What the tokenizers carry from one call to the next: the word pending at the end of the last
// buffer and the context it stands in. Owned by the thread that extracts: the indexing thread
// during a run, the UI thread for the stop list (before the run starts) and for queries.
struct TokState {
    char pword[MAX_WORD + 1]; // plain tokenizer: the pending word
    int plen;                 // its letters; 0 = none pending
    int phyph;                // 0 none, 1 "-" after the word, 2 "-" then CR/LF
    float bonus;              // context bonus of the current extract_plain call

    char mword[MAX_WORD + 1]; // markup tokenizer: the same three, plus the two flags
    int mlen;
    int mhyph;
    bool in_tag;
    bool in_entity;
};
static TokState tok;

// ---- Trigram table ----

// Loaded once, at the first plausibility test (or by load_trigrams), by the thread that extracts;
// read-only afterwards.
struct Trigrams {
    uint8_t table[TRIGRAM_SIZE]; // class of every letter trigram, 0 unknown
    bool tried;                  // a load was attempted
    bool loaded;                 // the file was opened: the filter is on
};
static Trigrams tri;

bool load_trigrams(const char *path) {
    tri.tried = true;
    tri.loaded = false;
    memset(tri.table, 0, sizeof tri.table);
    int fd = path ? os_open(path, OS_SEQUENTIAL) : -1;
    if (fd < 0) return false;
    // A short or failed read leaves zeros behind; the table still counts as loaded.
    os_read_at(fd, tri.table, TRIGRAM_SIZE, 0);
    os_close(fd);
    tri.loaded = true;
    return true;
}

// The table lives beside the program file. A directory too long for the name counts as no file.
static void load_default_trigrams() {
    static const char NAME[] = "/trigram_freqs.dat";
    char path[OS_PATH_MAX];
    if (!os_program_dir(path, sizeof path) || strlen(path) + sizeof NAME > sizeof path) {
        load_trigrams(nullptr);
        return;
    }
    strcat(path, NAME);
    load_trigrams(path);
}

bool word_plausible(const char *word, int len) {
    if (len < 4) return false;
    if (!tri.tried) load_default_trigrams();
    if (!tri.loaded) return true;
    const auto *w = reinterpret_cast<const unsigned char *>(word);
    // The score is a sum of small integers until the division, so an int holds it exactly.
    int sum = 2;
    unsigned x = (LETTER_CODE.v[w[0]] << 5) | LETTER_CODE.v[w[1]];
    for (int i = 2; i < len; i++) {
        x = ((x & 1023) << 5) | LETTER_CODE.v[w[i]];
        int v = tri.table[x];
        sum += v >= 3 ? v : v == 0 ? -60 : -7;
    }
    // Divided by the letters, not the trigrams, in single precision.
    float score = static_cast<float>(sum) / static_cast<float>(len);
    if (score > 15) {
        if (tok.bonus < -10) tok.bonus = -10;
        if (score > 25) tok.bonus += 4;
        tok.bonus += 3;
    } else {
        if (tok.bonus > 3) tok.bonus = 3;
        if (score < 8) tok.bonus -= 4;
        tok.bonus -= 2;
    }
    return score + tok.bonus > 13;
}

// ---- Plain tokenizer ----

// The position of the first word character at or after i, or len. Most bytes of binary-ish or
// numeric data are separators, so 16 at a time are ruled out when none of them can be a letter.
static inline int skip_separators(const unsigned char *b, int i, int len) {
    for (;;) {
#ifdef __SSE2__
        const __m128i fold_bit = _mm_set1_epi8(0x20), a = _mm_set1_epi8('a'), span = _mm_set1_epi8(25);
        for (; i + 16 <= len; i += 16) {
            __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
            // (c | 0x20) - 'a' <= 25 picks out A-Z and a-z; the sign bit the Latin-1 candidates.
            __m128i x = _mm_sub_epi8(_mm_or_si128(c, fold_bit), a);
            int m = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(x, span), _mm_setzero_si128())) |
                    _mm_movemask_epi8(c);
            if (m) {
                i += __builtin_ctz(static_cast<unsigned>(m));
                break;
            }
        }
#endif
        if (i >= len) return len;
        if (FOLDED.v[b[i]]) return i;
        i++;
    }
}

// Ends the pending plain word: hands it on when it is long enough and plausible. Returns the
// sink's answer, or 0 when the word was not handed on.
static inline int end_plain_word(int p, int &pos) {
    int r = 0;
    tok.pword[tok.plen] = 0;
    if (tok.plen >= 4 && word_plausible(tok.pword, tok.plen)) {
        pos = p;
        r = word_sink(tok.pword, tok.plen);
    }
    tok.plen = 0;
    tok.phyph = 0;
    return r;
}

int extract_plain(const char *buf, int len) {
    const auto *b = reinterpret_cast<const unsigned char *>(buf);
    tok.bonus = 0;
    int pos = 0;
    int i = 0;
    while (i < len) {
        if (tok.plen == 0) {
            // No word pending, so no hyphen state either: skip to the next letter.
            i = skip_separators(b, i, len);
            if (i == len) break;
        }
        if (tok.phyph == 0) {
            // Letters join the word until it is full or a non-letter comes.
            // A local length: stores into the char buffer could alias the global one and would
            // force it back to memory on every letter.
            int n = tok.plen;
            char f;
            while (i < len && n < MAX_WORD && (f = FOLDED.v[b[i]]) != 0) {
                tok.pword[n++] = f;
                i++;
            }
            tok.plen = n;
            if (i == len) break;
        }
        // Byte i meets a pending word: it is a non-letter, the 32nd letter, or any byte after "-".
        unsigned char c = b[i];
        bool wc = is_word_char(c);
        if (c == '-') {
            tok.phyph = 1;
        } else if (tok.phyph > 0 && (c == 10 || c == 13)) {
            tok.phyph = 2;
        } else if (!wc || tok.phyph == 1 || tok.plen >= MAX_WORD) {
            if (end_plain_word(i + 1, pos) == -1) return pos;
        }
        if (wc) tok.pword[tok.plen++] = fold(c);
        i++;
    }
    return pos;
}

// ---- Markup tokenizer ----

// Ends the pending markup word and hands it on whatever its length (add_word has its own floor).
static inline int end_markup_word(int p, int &pos) {
    tok.mword[tok.mlen] = 0;
    pos = p;
    int r = word_sink(tok.mword, tok.mlen);
    tok.mlen = 0;
    tok.mhyph = 0;
    return r;
}

static inline bool ends_with(const char *suffix, int n) {
    return tok.mlen >= n && memcmp(tok.mword + tok.mlen - n, suffix, n) == 0;
}

// The word's tail spells an entity name: "&uuml;" has put UUML into the word. Returns the letter
// the ";" stands for, or the ";" itself.
static unsigned char decode_entity(unsigned char c) {
    static const struct {
        char name[5];
        unsigned char letter; // 0: the entity only separates
    } ENTITIES[] = {{"NBSP", 0}, {"QUOT", 0}, {"AUML", 0xC4}, {"OUML", 0xD6}, {"UUML", 0xDC}};
    for (const auto &e : ENTITIES) {
        if (ends_with(e.name, 4)) {
            tok.mlen -= 4;
            if (e.letter) c = e.letter;
            break;
        }
    }
    if (ends_with("SZLIG", 5)) {
        tok.mlen -= 5;
        c = 0xDF;
    }
    return c;
}

int extract_markup(const char *buf, int len) {
    const auto *b = reinterpret_cast<const unsigned char *>(buf);
    int pos = 0;
    for (int i = 0; i < len; i++) {
        unsigned char c = b[i];
        if (c == '&') {
            tok.in_entity = true;
            continue;
        }
        if (c == '<') {
            if (tok.mlen > 0 && end_markup_word(i + 1, pos) == -1) return pos;
            tok.in_tag = true;
            continue; // "<" is no letter and no word is pending any more
        }
        if (c == '>') tok.in_tag = false;
        if (c == ';' && tok.in_entity) {
            c = decode_entity(c);
            tok.in_entity = false;
        }
        bool wc = is_word_char(c);
        if (tok.in_tag) continue;
        if (tok.mlen > 0) {
            if (c == '-') {
                tok.mhyph = 1;
            } else if (tok.mhyph > 0 && (c == 10 || c == 13)) {
                tok.mhyph = 2;
            } else if (c != 0 && (!wc || tok.mhyph == 1 || tok.mlen >= MAX_WORD)) {
                if (end_markup_word(i + 1, pos) == -1) return pos;
            }
        }
        if (wc) tok.mword[tok.mlen++] = fold(c);
    }
    return pos;
}

// ---- Audio tag and dispatch ----

// Ends a word still pending in the plain tokenizer, as a separator after it would.
static void end_plain_pending() {
    int pos = 0;
    if (tok.plen > 0) end_plain_word(0, pos);
    tok.phyph = 0;
}

int extract_audio_tag(const char *buf, int len) {
    IDX_ASSERT(buf != 0);
    if (len < TAG_SIZE) return extract_plain(buf, len);
    const char *tag = buf + len - TAG_SIZE;
    if (memcmp(tag, "TAG", 3) != 0) return 0;
    // Title, artist, album, comment: each its own text, scanned over its first 29 bytes. Nothing
    // pending before the tag belongs to it, and no field's last word runs on into the next.
    tok.plen = 0;
    tok.phyph = 0;
    for (int f : TAG_FIELDS) {
        extract_plain(tag + f, TAG_FIELD_SCAN);
        end_plain_pending();
    }
    return 0;
}

int extract_words(const char *buf, int len, int kind) {
    if (kind == KIND_MARKUP) return extract_markup(buf, len);
    if (kind == KIND_AUDIO) return extract_audio_tag(buf, len);
    return extract_plain(buf, len);
}

void extract_end_file() {
    end_plain_pending();
    if (tok.mlen > 0 && !tok.in_tag) {
        int pos = 0;
        end_markup_word(0, pos);
    }
    extract_reset();
}

void extract_reset() {
    // The bonus belongs to one extract_plain call, which sets it first; the rest is cleared.
    float bonus = tok.bonus;
    tok = TokState{};
    tok.bonus = bonus;
}
