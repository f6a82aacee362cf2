#include "idx/extract.h"

#include "idx/index.h"

// Placeholder until the tokenizers land: ASCII letters only, no plausibility test.
WordSink word_sink = add_word;

static char word[MAX_WORD + 1];
static int wlen = 0;

static int end_word(int p, int &pos) {
    int r = 0;
    if (wlen >= 4) {
        word[wlen] = 0;
        pos = p;
        r = word_sink(word, wlen);
    }
    wlen = 0;
    return r;
}

int extract_plain(const char *buf, int len) {
    int pos = 0;
    for (int i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(buf[i]);
        bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
        if (wlen > 0 && (!letter || wlen >= MAX_WORD) && end_word(i + 1, pos) == -1) return pos;
        if (letter) word[wlen++] = static_cast<char>(c & ~0x20);
    }
    return pos;
}

int extract_markup(const char *buf, int len) { return extract_plain(buf, len); }
int extract_audio_tag(const char *, int) { return 0; }
int extract_words(const char *buf, int len, int kind) {
    return kind == 3 ? extract_audio_tag(buf, len) : extract_plain(buf, len);
}
bool word_plausible(const char *, int len) { return len >= 4; }
void extract_end_file() {
    int pos = 0;
    if (wlen > 0) end_word(0, pos);
}
void extract_reset() { wlen = 0; }
bool load_trigrams(const char *) { return false; }
