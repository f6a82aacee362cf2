#include "idx/text/extract.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "idx/check.h"
#include "idx/text/detect.h"
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
// Clearing 0x20 folds a-z to A-Z and ä ö ü to Ä Ö Ü, and leaves ß (0xDF) as it is.
static constexpr auto make_folded() {
    struct Folded {
        char v[256];
    } t{};
    for (int c = 0; c < 256; c++)
        if (is_word_char(static_cast<unsigned char>(c))) t.v[c] = static_cast<char>(c & ~0x20);
    return t;
}
static constexpr auto FOLDED = make_folded();

// UTF-8 text spells the seven letters as C3 and a second byte: C3 84 Ä, C3 96 Ö, C3 9C Ü, C3 9F ß,
// C3 A4 ä, C3 B6 ö, C3 BC ü. The second byte plus 0x40 is the Latin-1 letter. A C3 followed by
// anything else separates, as it does in Latin-1 text, where it is "Ã".
constexpr unsigned char UTF8_LEAD = 0xC3;
static inline char utf8_letter(unsigned char second) {
    return (second & 0xC0) == 0x80 ? FOLDED.v[second + 0x40] : 0;
}

static_assert([] {
    int n = 0;
    for (int c = 0; c < 256; c++) n += is_word_char(static_cast<unsigned char>(c));
    return n;
}() == 59);

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

    bool plead;               // the last buffer ended in C3: the next byte decides
    bool query;               // query text: no filter, short words handed on too
    int pstart;               // where the pending word began in this buffer; -1 in an earlier one
    int span_start, span_end; // bytes of the word last handed on (extract_last_span)

    char mword[MAX_WORD + 1]; // markup tokenizer: the same four, plus the tag and entity state
    int mlen;
    int mhyph;
    bool mlead;
    bool in_tag;
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
    // Between the words of running text there are one or two separators: look at those first.
    for (int k = 0; k < 2; k++, i++)
        if (i >= len || FOLDED.v[b[i]] || b[i] == UTF8_LEAD) return i;
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
        if (FOLDED.v[b[i]] || b[i] == UTF8_LEAD) return i;
        i++;
    }
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
// the separator byte c. False when the sink asked to stop.
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

int extract_plain(const char *buf, int len) {
    const auto *b = reinterpret_cast<const unsigned char *>(buf);
    tok.bonus = 0;
    int pos = 0;
    int i = 0;
    tok.pstart = -1;
    if (tok.plead && len > 0) {
        // The last buffer ended in C3; this first byte makes it a letter or leaves it a separator.
        tok.plead = false;
        char f = utf8_letter(b[0]);
        if (!plain_char(UTF8_LEAD, f, 1, pos)) return pos;
        if (f) i = 1;
    }
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
            if (n == 0) tok.pstart = i;
            char f;
            while (i < len && n < MAX_WORD && (f = FOLDED.v[b[i]]) != 0) {
                tok.pword[n++] = f;
                i++;
            }
            tok.plen = n;
            if (i == len) break;
        }
        // Byte i meets a pending word: it is a non-letter, the 32nd letter, any byte after "-", or
        // the start of a two-byte letter.
        unsigned char c = b[i];
        char f = FOLDED.v[c];
        int n = 1;
        if (c == UTF8_LEAD) {
            if (i + 1 == len) {
                tok.plead = true; // decided by the next buffer's first byte
                break;
            }
            f = utf8_letter(b[i + 1]);
            if (f) n = 2;
        }
        if (!plain_char(c, f, i + 1, pos)) return pos;
        i += n;
    }
    return pos;
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

// The letter a numeric character reference names, when it is one of the seven; 0 otherwise.
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
    return is_word_char(static_cast<unsigned char>(v)) && v >= 0x80 ? static_cast<unsigned char>(v) : 0;
}

// The entity's ";" has come: "&uuml;" has put UUML into the word. The entity's letters leave the
// word again; the answer is the letter the entity stands for, or the ";" when it only separates.
static unsigned char decode_entity(unsigned char c) {
    static const struct {
        char name[6];
        unsigned char letter; // 0: the entity only separates
    } NAMED[] = {{"NBSP", 0}, {"QUOT", 0}, {"AUML", 0xC4}, {"OUML", 0xD6}, {"UUML", 0xDC}, {"SZLIG", 0xDF}};
    const char *name = tok.ent_name;
    int n = tok.ent_len;
    unsigned char letter = 0;
    if (n > 0 && name[0] == '#') {
        letter = numeric_letter(name, n);
    } else {
        char up[ENTITY_MAX + 1];
        for (int i = 0; i < n; i++) up[i] = static_cast<char>(name[i] & ~0x20);
        up[n] = 0;
        for (const auto &e : NAMED)
            if (strcmp(up, e.name) == 0) letter = e.letter;
    }
    if (tok.mlen > tok.ent_start) tok.mlen = tok.ent_start;
    return letter ? letter : c;
}

static inline bool is_entity_char(unsigned char c) {
    return (c >= '0' && c <= '9') || c == '#' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// The position of the first letter, C3, "<" or "&" at or after i, or len: what the markup
// tokenizer must look at when no word is pending.
static inline bool markup_stop(unsigned char c) { return FOLDED.v[c] || c == UTF8_LEAD || c == '<' || c == '&'; }

static inline int skip_markup_separators(const unsigned char *b, int i, int len) {
    // Between the words of running text there are one or two separators: look at those first.
    for (int k = 0; k < 2; k++, i++)
        if (i >= len || markup_stop(b[i])) return i;
    for (;;) {
#ifdef __SSE2__
        const __m128i fold_bit = _mm_set1_epi8(0x20), a = _mm_set1_epi8('a'), span = _mm_set1_epi8(25);
        const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
        for (; i + 16 <= len; i += 16) {
            __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
            __m128i x = _mm_sub_epi8(_mm_or_si128(c, fold_bit), a);
            __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(_mm_subs_epu8(x, span), _mm_setzero_si128()),
                                       _mm_or_si128(_mm_cmpeq_epi8(c, lt), _mm_cmpeq_epi8(c, amp)));
            int m = _mm_movemask_epi8(hit) | _mm_movemask_epi8(c);
            if (m) {
                i += __builtin_ctz(static_cast<unsigned>(m));
                break;
            }
        }
#endif
        if (i >= len) return len;
        if (markup_stop(b[i])) return i;
        i++;
    }
}

// One character meets the markup tokenizer outside tags: the letter f (folded), or, when f is 0,
// the byte c. False when the sink asked to stop.
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

int extract_markup(const char *buf, int len) {
    const auto *b = reinterpret_cast<const unsigned char *>(buf);
    int pos = 0;
    int i = 0;
    if (tok.mlead && len > 0) {
        // The last buffer ended in C3 outside a tag; this first byte decides what it was.
        tok.mlead = false;
        char f = utf8_letter(b[0]);
        if (!markup_char(UTF8_LEAD, f, 1, pos)) return pos;
        if (f) i = 1;
    }
    for (; i < len; i++) {
        if (tok.in_tag) {
            // Inside a tag only its end matters.
            const void *end = memchr(b + i, '>', static_cast<size_t>(len - i));
            if (!end) break;
            i = static_cast<int>(static_cast<const unsigned char *>(end) - b);
            tok.in_tag = false;
            continue;
        }
        if (tok.mlen == 0 && tok.mhyph == 0 && !tok.in_entity) {
            // No word pending: bytes other than letters, "<" and "&" change nothing.
            i = skip_markup_separators(b, i, len);
            if (i == len) break;
        }
        if (!tok.in_entity && tok.mhyph != 1) {
            // Letters of running text join the word until it is full or something else comes.
            int n = tok.mlen;
            char f;
            while (i < len && n < MAX_WORD && (f = FOLDED.v[b[i]]) != 0) {
                tok.mword[n++] = f;
                i++;
            }
            tok.mlen = n;
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
            continue; // "<" is no letter and no word is pending any more
        }
        if (c == '>') tok.in_tag = false;
        if (tok.in_tag) continue;
        int p = i + 1;
        char f = FOLDED.v[c];
        if (c == ';' && tok.in_entity) {
            c = decode_entity(c);
            f = FOLDED.v[c];
            tok.in_entity = false;
        } else if (c == UTF8_LEAD) {
            if (i + 1 == len) {
                tok.mlead = true; // decided by the next buffer's first byte
                break;
            }
            f = utf8_letter(b[i + 1]);
            if (f) i++;
        }
        if (!markup_char(c, f, p, pos)) return pos;
    }
    return pos;
}

// ---- Audio tag and dispatch ----

// Ends a word still pending in the plain tokenizer, as a separator after it would.
static void end_plain_pending() {
    int pos = 0;
    if (tok.plen > 0) end_plain_word(0, pos);
    tok.phyph = 0;
    tok.plead = false; // a C3 with nothing after it is no letter
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
    tok.plead = false;
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
