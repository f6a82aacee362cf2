// The markup tokenizer: the words of HTML and XML text outside tags, entities read as the letters
// they name, and the content of script and style elements skipped.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "idx/text/extract.h"
#include "idx/text/tokens.h"

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

void end_markup_pending() {
    flush_pending(tok.mpend, markup_char);
    if (tok.mlen > 0 && !tok.in_tag) {
        int pos = 0;
        end_markup_word(0, pos);
    }
}
