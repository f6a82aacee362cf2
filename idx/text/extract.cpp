#include "idx/text/extract.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "idx/check.h"
#include "idx/text/detect.h"
#include "os/os.h"

static const char UNIT[] = "idx/extract";

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

// The table lives beside the program file (the build tree), or in share/olmarest beside the
// program's bin directory (an installation). A directory too long for the name counts as no file.
static void load_default_trigrams() {
    char dir[OS_PATH_MAX];
    if (os_program_dir(dir, sizeof dir)) {
        for (const char *rel : {"/trigram_freqs.dat", "/../share/olmarest/trigram_freqs.dat"}) {
            char path[OS_PATH_MAX];
            int n = snprintf(path, sizeof path, "%s%s", dir, rel);
            if (n > 0 && n < static_cast<int>(sizeof path) && load_trigrams(path)) return;
        }
    }
    load_trigrams(nullptr);
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

// Ends the pending plain word: hands it on when it is long enough and plausible. Returns the
// sink's answer, or 0 when the word was not handed on.
static inline int end_plain_word(int p, int &pos) {
    int r = 0;
    tok.pword[tok.plen] = 0;
    if (tok.query || (tok.plen >= 4 && word_plausible(tok.pword, tok.plen))) {
        pos = p;
        tok.span_start = tok.pstart;
        tok.span_end = p - 1;
        r = word_sink(tok.pword, tok.plen);
    }
    tok.plen = 0;
    tok.phyph = 0;
    return r;
}

// One character meets the plain tokenizer at position p: the letter f (folded), or, when f is 0,
// the separator whose first byte is c. False when the sink asked to stop.
static inline bool plain_char(unsigned char c, char f, int p, int &pos) {
    if (tok.plen > 0) {
        if (c == '-') {
            tok.phyph = 1;
        } else if (tok.phyph > 0 && (c == 10 || c == 13)) {
            tok.phyph = 2;
        } else if (!f || tok.phyph == 1 || tok.plen >= MAX_WORD) {
            if (end_plain_word(p, pos) == -1) return false;
        }
    }
    if (f) {
        if (tok.plen == 0) tok.pstart = p - 1;
        tok.pword[tok.plen++] = f;
    }
    return true;
}

using CharStep = bool (*)(unsigned char c, char f, int p, int &pos);

// The UTF-8 sequence the last buffer ended in meets this buffer's first bytes: its characters go
// to step at position 1. Answers the bytes of buf consumed, or -1 when step asked to stop; when
// buf ends before the sequence does, its bytes stay pending.
static int resume_pending(Pending &pend, const unsigned char *buf, int len, CharStep step, int &pos) {
    unsigned char t[8];
    int n = pend.n;
    memcpy(t, pend.b, static_cast<size_t>(n));
    int extra = len < 4 ? len : 4;
    memcpy(t + n, buf, static_cast<size_t>(extra));
    int tlen = n + extra;
    pend.n = 0;
    int k = 0;
    while (k < n) {
        char f;
        int m = read_char(t, k, tlen, &f);
        if (m == 0) {
            // Still unfinished: buf was short and went whole into the sequence.
            pend.n = tlen - k;
            memcpy(pend.b, t + k, static_cast<size_t>(pend.n));
            return len;
        }
        if (!step(t[k], f, 1, pos)) return -1;
        k += m;
    }
    return k - n;
}

// The text has ended: a sequence left pending was broken off, so its bytes are Latin-1 characters.
static bool flush_pending(Pending &pend, CharStep step) {
    int pos = 0, n = pend.n;
    pend.n = 0;
    for (int k = 0; k < n; k++)
        if (!step(pend.b[k], LATIN1_FOLD.v[pend.b[k]], 0, pos)) return false;
    return true;
}

int extract_plain(const char *buf, int len) {
    const auto *b = reinterpret_cast<const unsigned char *>(buf);
    tok.bonus = 0;
    int pos = 0;
    int i = 0;
    tok.pstart = -1;
    if (tok.ppend.n > 0 && len > 0) {
        i = resume_pending(tok.ppend, b, len, plain_char, pos);
        if (i < 0) return pos;
    }
    while (i < len) {
        if (tok.plen == 0) {
            // No word pending, so no hyphen state either: skip to the next letter.
            i = skip_separators<false>(b, i, len);
            if (i == len) break;
        }
        if (tok.phyph == 0) {
            // Letters join the word until it is full or a non-letter comes.
            if (tok.plen == 0) tok.pstart = i;
            tok.plen = take_letters(b, i, len, tok.pword, tok.plen);
            if (i == len) break;
        }
        // Byte i meets a pending word: it is an ASCII non-letter, the 32nd letter, any byte after
        // "-", or a byte of 0x80 or more, which begins a character of one to four bytes.
        unsigned char c = b[i];
        char f = FOLDED.v[c];
        int n = 1;
        if (c >= 0x80) {
            n = read_or_keep(b, i, len, &f, tok.ppend);
            if (n == 0) break; // decided by the next buffer's first bytes
        }
        if (!plain_char(c, f, i + 1, pos)) return pos;
        i += n;
    }
    return pos;
}

int extract_char(const char *text, int i, int len, char *f) {
    const auto *b = reinterpret_cast<const unsigned char *>(text);
    if (b[i] < 0x80) {
        *f = FOLDED.v[b[i]];
        return 1;
    }
    int n = read_char(b, i, len, f);
    if (n == 0) {
        // The text ends inside the sequence: its lead byte is a Latin-1 character.
        *f = LATIN1_FOLD.v[b[i]];
        n = 1;
    }
    return n;
}

int extract_query(const char *buf, int len) {
    tok.query = true;
    int r = extract_plain(buf, len);
    tok.query = false;
    return r;
}

void extract_last_span(int *start, int *end) {
    *start = tok.span_start;
    *end = tok.span_end;
}

// ---- Markup tokenizer ----

// Ends the pending markup word and hands it on whatever its length (add_word has its own floor).
static inline int end_markup_word(int p, int &pos) {
    tok.mword[tok.mlen] = 0;
    pos = p;
    int r = word_sink(tok.mword, tok.mlen);
    tok.mlen = 0;
    tok.mhyph = 0;
    tok.ent_start = 0;
    return r;
}

// The letter a numeric character reference names, when it is a Latin-1 letter beyond ASCII; 0
// otherwise.
static unsigned char numeric_letter(const char *name, int n) {
    int i = 1; // past the "#"
    int base = 10;
    if (i < n && (name[i] == 'x' || name[i] == 'X')) {
        base = 16;
        i++;
    }
    if (i == n) return 0;
    unsigned v = 0;
    for (; i < n; i++) {
        char ch = name[i];
        unsigned d = ch >= '0' && ch <= '9'   ? static_cast<unsigned>(ch - '0')
                     : ch >= 'a' && ch <= 'f' ? static_cast<unsigned>(ch - 'a' + 10)
                     : ch >= 'A' && ch <= 'F' ? static_cast<unsigned>(ch - 'A' + 10)
                                              : 99u;
        if (d >= static_cast<unsigned>(base)) return 0;
        v = v * static_cast<unsigned>(base) + d;
        if (v > 0xFF) return 0;
    }
    return v >= 0x80 && LATIN1_FOLD.v[v] ? static_cast<unsigned char>(v) : 0;
}

// The entity's ";" has come: "&uuml;" has put UUML into the word. The entity's letters leave the
// word again; the answer is the letter the entity stands for, or the ";" when it only separates.
static unsigned char decode_entity(unsigned char c) {
    struct Named {
        char name[7];
        unsigned char letter; // 0: the entity only separates
    };
    // The umlauts, sharp s, no-break space and quote are known in any letter case.
    static const Named ANY_CASE[] = {{"NBSP", 0},    {"QUOT", 0},    {"AUML", 0xC4},
                                     {"OUML", 0xD6}, {"UUML", 0xDC}, {"SZLIG", 0xDF}};
    // The other letters by their names as written, case included (&Yuml; is another letter);
    // sorted by strcmp for the binary search.
    static const Named EXACT[] = {
        {"Aacute", 0xC1}, {"Acirc", 0xC2}, {"Agrave", 0xC0}, {"Aring", 0xC5}, {"Atilde", 0xC3},
        {"Ccedil", 0xC7}, {"ETH", 0xD0}, {"Eacute", 0xC9}, {"Ecirc", 0xCA}, {"Egrave", 0xC8},
        {"Euml", 0xCB}, {"Iacute", 0xCD}, {"Icirc", 0xCE}, {"Igrave", 0xCC}, {"Iuml", 0xCF},
        {"Ntilde", 0xD1}, {"Oacute", 0xD3}, {"Ocirc", 0xD4}, {"Ograve", 0xD2}, {"Oslash", 0xD8},
        {"Otilde", 0xD5}, {"Uacute", 0xDA}, {"Ucirc", 0xDB}, {"Ugrave", 0xD9}, {"Yacute", 0xDD},
        {"aacute", 0xE1}, {"acirc", 0xE2}, {"agrave", 0xE0}, {"aring", 0xE5}, {"atilde", 0xE3},
        {"ccedil", 0xE7}, {"eacute", 0xE9}, {"ecirc", 0xEA}, {"egrave", 0xE8}, {"eth", 0xF0},
        {"euml", 0xEB}, {"iacute", 0xED}, {"icirc", 0xEE}, {"igrave", 0xEC}, {"iuml", 0xEF},
        {"ntilde", 0xF1}, {"oacute", 0xF3}, {"ocirc", 0xF4}, {"ograve", 0xF2}, {"oslash", 0xF8},
        {"otilde", 0xF5}, {"uacute", 0xFA}, {"ucirc", 0xFB}, {"ugrave", 0xF9}, {"yacute", 0xFD},
        {"yuml", 0xFF}};
    const char *name = tok.ent_name;
    int n = tok.ent_len;
    unsigned char letter = 0;
    if (n > 0 && name[0] == '#') {
        letter = numeric_letter(name, n);
    } else if (n <= 6) {
        char as[8], up[8];
        for (int i = 0; i < n; i++) {
            as[i] = name[i];
            up[i] = static_cast<char>(name[i] & ~0x20);
        }
        as[n] = up[n] = 0;
        const Named *e = std::find_if(std::begin(ANY_CASE), std::end(ANY_CASE),
                                      [&](const Named &x) { return strcmp(x.name, up) == 0; });
        if (e == std::end(ANY_CASE)) {
            e = std::lower_bound(std::begin(EXACT), std::end(EXACT), as,
                                 [](const Named &x, const char *k) { return strcmp(x.name, k) < 0; });
            if (e != std::end(EXACT) && strcmp(e->name, as) != 0) e = std::end(EXACT);
        }
        if (e != std::end(ANY_CASE) && e != std::end(EXACT)) letter = e->letter;
    }
    if (tok.mlen > tok.ent_start) tok.mlen = tok.ent_start;
    return letter ? letter : c;
}

static inline bool is_entity_char(unsigned char c) {
    return (c >= '0' && c <= '9') || c == '#' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// One character meets the markup tokenizer outside tags: the letter f (folded), or, when f is 0,
// the separator whose first byte is c. False when the sink asked to stop.
static inline bool markup_char(unsigned char c, char f, int p, int &pos) {
    if (tok.mlen > 0) {
        if (c == '-') {
            tok.mhyph = 1;
        } else if (tok.mhyph > 0 && (c == 10 || c == 13)) {
            tok.mhyph = 2;
        } else if (c != 0 && (!f || tok.mhyph == 1 || tok.mlen >= MAX_WORD)) {
            if (end_markup_word(p, pos) == -1) return false;
        }
    }
    if (f) tok.mword[tok.mlen++] = f;
    return true;
}

// Elements whose content is code, not prose: from the end of the start tag through the end tag's
// ">", nothing is a word.
constexpr int RAW_SCRIPT = 1, RAW_STYLE = 2;
static constexpr std::string_view RAW_END[] = {"", "</script", "</style"};

static inline bool is_tag_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
static inline unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c | 0x20 : c; }

// Reads the name of the tag being read from b[i]; the answer is where its reading stopped: at the
// byte that ended the name (white space, "/" or ">"), or len.
static int read_tag_name(const unsigned char *b, int i, int len) {
    for (; i < len; i++) {
        unsigned char c = b[i];
        if (is_tag_space(c) || c == '/' || c == '>') {
            std::string_view name(tok.tag_buf, static_cast<size_t>(tok.tag_name < 7 ? tok.tag_name : 0));
            tok.raw = name == "script" ? RAW_SCRIPT : name == "style" ? RAW_STYLE : 0;
            tok.raw_match = 0;
            tok.tag_name = -1;
            return i;
        }
        if (tok.tag_name < 6) tok.tag_buf[tok.tag_name] = static_cast<char>(lower(c));
        if (tok.tag_name < 7) tok.tag_name++; // 7: longer than any name looked for
    }
    return len;
}

// The element a start tag opens when its name, at p with at least 7 bytes there, is script or
// style: RAW_SCRIPT, RAW_STYLE, or 0. Settles most tags at their first letter.
static inline int raw_element(const unsigned char *p) {
    if (lower(p[0]) != 's') return 0;
    auto ends = [](unsigned char c) { return is_tag_space(c) || c == '/' || c == '>'; };
    if (lower(p[1]) == 'c' && lower(p[2]) == 'r' && lower(p[3]) == 'i' && lower(p[4]) == 'p' &&
        lower(p[5]) == 't' && ends(p[6]))
        return RAW_SCRIPT;
    if (lower(p[1]) == 't' && lower(p[2]) == 'y' && lower(p[3]) == 'l' && lower(p[4]) == 'e' && ends(p[5]))
        return RAW_STYLE;
    return 0;
}

// Skips the content of a script or style element from b[i]: the answer is the position just past
// its end tag's name ("</script"), or len when this buffer holds none of it.
static int skip_raw(const unsigned char *b, int i, int len) {
    std::string_view end = RAW_END[tok.raw];
    while (i < len) {
        if (tok.raw_match == 0) {
            const void *lt = memchr(b + i, '<', static_cast<size_t>(len - i));
            if (!lt) return len;
            i = static_cast<int>(static_cast<const unsigned char *>(lt) - b) + 1;
            tok.raw_match = 1;
            continue;
        }
        unsigned char c = b[i++];
        if (lower(c) == static_cast<unsigned char>(end[tok.raw_match])) {
            if (++tok.raw_match == static_cast<int>(end.size())) return i;
        } else {
            tok.raw_match = c == '<' ? 1 : 0;
        }
    }
    return len;
}

int extract_markup(const char *buf, int len) {
    const auto *b = reinterpret_cast<const unsigned char *>(buf);
    int pos = 0;
    int i = 0;
    if (tok.mpend.n > 0 && len > 0) {
        i = resume_pending(tok.mpend, b, len, markup_char, pos);
        if (i < 0) return pos;
    }
    for (; i < len; i++) {
        if (tok.in_tag) {
            if (tok.tag_name >= 0) {
                i = read_tag_name(b, i, len);
                if (i == len) break;
            }
            // Inside a tag only its end matters.
            const void *end = memchr(b + i, '>', static_cast<size_t>(len - i));
            if (!end) break;
            i = static_cast<int>(static_cast<const unsigned char *>(end) - b);
            tok.in_tag = false;
            continue;
        }
        if (tok.raw) {
            i = skip_raw(b, i, len);
            if (i == len && tok.raw_match < static_cast<int>(RAW_END[tok.raw].size())) break;
            // The end tag's name is matched: the rest of it up to ">" is a tag like any other.
            tok.raw = 0;
            tok.raw_match = 0;
            tok.in_tag = true;
            tok.tag_name = -1;
            i--;
            continue;
        }
        if (tok.mlen == 0 && tok.mhyph == 0 && !tok.in_entity) {
            // No word pending: bytes other than letters, "<" and "&" change nothing.
            i = skip_separators<true>(b, i, len);
            if (i == len) break;
        }
        if (!tok.in_entity && tok.mhyph != 1) {
            // Letters of running text join the word until it is full or something else comes.
            tok.mlen = take_letters(b, i, len, tok.mword, tok.mlen);
            if (i == len) break;
        }
        unsigned char c = b[i];
        if (tok.in_entity) {
            if (is_entity_char(c) && tok.ent_len < ENTITY_MAX) {
                tok.ent_name[tok.ent_len++] = static_cast<char>(c);
                // Letters join the word, as text would, until the ";" shows them to be a name;
                // digits and "#" wait for it without ending the word.
                if (!FOLDED.v[c]) continue;
            } else if (c != ';') {
                tok.in_entity = false; // no entity after all: its letters stay text
            }
        }
        if (c == '&') {
            if (!tok.in_tag) {
                tok.in_entity = true;
                tok.ent_start = tok.mlen;
                tok.ent_len = 0;
            }
            continue;
        }
        if (c == '<') {
            if (tok.mlen > 0 && end_markup_word(i + 1, pos) == -1) return pos;
            tok.in_tag = true;
            if (len - i > 7) {
                // The whole name is in this buffer, or at least enough of it to tell.
                tok.raw = raw_element(b + i + 1);
                tok.raw_match = 0;
                tok.tag_name = -1;
            } else {
                tok.tag_name = 0; // read byte by byte, into the next buffer if need be
            }
            continue; // "<" is no letter and no word is pending any more
        }
        int p = i + 1;
        char f = FOLDED.v[c];
        if (c == ';' && tok.in_entity) {
            c = decode_entity(c);
            f = LATIN1_FOLD.v[c];
            tok.in_entity = false;
        } else if (c >= 0x80) {
            int n = read_or_keep(b, i, len, &f, tok.mpend);
            if (n == 0) break; // decided by the next buffer's first bytes
            i += n - 1;
        }
        if (!markup_char(c, f, p, pos)) return pos;
    }
    return pos;
}

// ---- Audio tag and dispatch ----

// Ends a word still pending in the plain tokenizer, as a separator after it would.
static void end_plain_pending() {
    int pos = 0;
    flush_pending(tok.ppend, plain_char); // a sequence cut off by the end of the text
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
    tok.ppend.n = 0;
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
    flush_pending(tok.mpend, markup_char);
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
