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
#include "idx/text/tokens.h"
#include "idx/text/detect.h"
#include "os/os.h"

static const char UNIT[] = "idx/extract";

TokState tok;

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

// ---- Pending UTF-8 sequences ----

// The UTF-8 sequence the last buffer ended in meets this buffer's first bytes: its characters go
// to step at position 1. Answers the bytes of buf consumed, or -1 when step asked to stop; when
// buf ends before the sequence does, its bytes stay pending.
int resume_pending(Pending &pend, const unsigned char *buf, int len, CharStep step, int &pos) {
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
bool flush_pending(Pending &pend, CharStep step) {
    int pos = 0, n = pend.n;
    pend.n = 0;
    for (int k = 0; k < n; k++)
        if (!step(pend.b[k], LATIN1_FOLD.v[pend.b[k]], 0, pos)) return false;
    return true;
}

// ---- Plain tokenizer ----

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
    end_markup_pending();
    extract_reset();
}

void extract_reset() {
    // The bonus belongs to one extract_plain call, which sets it first; the rest is cleared.
    float bonus = tok.bonus;
    tok = TokState{};
    tok.bonus = bonus;
}
