#include "front/display.h"

#include <cstdlib>

#include "idx/engine.h"
#include "idx/text/encoding.h"

// Named entities a page may use for the characters of Latin-1 and a few common others.
struct Entity {
    const char *name;
    unsigned cp;
};
static const char *const LATIN1_NAMES[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",
    "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",
    "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12",
    "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde",
    "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",
    "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",
    "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};
static const Entity OTHER_ENTITIES[] = {
    {"quot", 34},     {"amp", 38},      {"apos", 39},     {"lt", 60},       {"gt", 62},
    {"euro", 0x20AC}, {"ndash", 0x2013}, {"mdash", 0x2014}, {"lsquo", 0x2018}, {"rsquo", 0x2019},
    {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"bull", 0x2022}, {"hellip", 0x2026}, {"trade", 0x2122}};

// The code point of the entity body between '&' and ';' ("amp", "#228", "#xE4"), or 0.
static unsigned entity_code(const std::string &body) {
    if (body.size() > 1 && body[0] == '#') {
        bool hex = body[1] == 'x' || body[1] == 'X';
        const char *digits = body.c_str() + (hex ? 2 : 1);
        if (!*digits) return 0;
        char *end;
        unsigned long cp = strtoul(digits, &end, hex ? 16 : 10);
        bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        return *end || cp == 0 || cp > 0x10FFFF || surrogate ? 0 : static_cast<unsigned>(cp);
    }
    for (int i = 0; i < 96; i++)
        if (body == LATIN1_NAMES[i]) return 0xA0u + static_cast<unsigned>(i);
    for (const Entity &e : OTHER_ENTITIES)
        if (body == e.name) return e.cp;
    return 0;
}

// A markup excerpt (already UTF-8) as the text a browser shows. The window may start inside a
// tag ("...class=x>text") or end inside one ("text</p"): both fragments are dropped.
static std::string markup_text(const std::string &s) {
    std::string out;
    size_t i = 0;
    size_t first_lt = s.find('<'), first_gt = s.find('>');
    if (first_gt != std::string::npos && first_gt < first_lt) i = first_gt + 1;
    while (i < s.size()) {
        char c = s[i];
        if (c == '<') {
            size_t close = s.find('>', i);
            if (close == std::string::npos) break;
            out += ' '; // a tag separates words like a space; runs of spaces are folded below
            i = close + 1;
        } else if (c == '&') {
            size_t semi = s.find(';', i);
            unsigned cp = semi != std::string::npos && semi - i <= 9 ? entity_code(s.substr(i + 1, semi - i - 1)) : 0;
            if (cp) {
                append_utf8(out, cp);
                i = semi + 1;
            } else {
                out += c;
                i++;
            }
        } else {
            out += c;
            i++;
        }
    }
    return out;
}

// Tabs, line breaks and other control characters (C0, DEL and the C1 range, which terminals may
// act on) become spaces; in markup, runs of spaces become one, as a browser shows them.
static std::string spaces_for_controls(const std::string &s, bool fold) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        bool control = c < 0x20 || c == 0x7F;
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            control = true; // U+0080 to U+009F
            i++;
        }
        char ch = control ? ' ' : static_cast<char>(c);
        if (fold && ch == ' ' && !out.empty() && out.back() == ' ') continue;
        out += ch;
    }
    return out;
}

std::string display_excerpt(const char *text, bool markup) {
    static const char SEP[] = " ... ";
    std::string all = text, result;
    for (size_t start = 0; start < all.size();) {
        size_t sep = all.find(SEP, start);
        size_t end = sep == std::string::npos ? all.size() : sep;
        std::string piece = excerpt_to_display(all.substr(start, end - start));
        if (markup) piece = markup_text(piece);
        piece = spaces_for_controls(piece, markup);
        if (markup) {
            // What a tag cut at either edge leaves is a space, which the separator has already.
            size_t a = piece.find_first_not_of(' '), b = piece.find_last_not_of(' ');
            piece = a == std::string::npos ? "" : piece.substr(a, b - a + 1);
        }
        result += piece;
        if (sep == std::string::npos) break;
        result += SEP;
        start = sep + 5;
    }
    return result;
}

// A byte of a word in shown text: an ASCII letter or any byte of a UTF-8 character beyond ASCII.
static bool word_byte(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z' ? true : c >= 0x80; }

std::string whole_word_excerpt(const std::string &shown) {
    static const std::string SEP = " ... ";
    std::string out;
    for (size_t start = 0; start < shown.size();) {
        size_t sep = shown.find(SEP, start);
        size_t end = sep == std::string::npos ? shown.size() : sep;
        std::string piece = shown.substr(start, end - start);
        // The window's edges may cut a word; a searched word there is kept whole or cut.
        std::vector<std::pair<size_t, size_t>> marks = query_word_marks(piece);
        size_t a = 0, b = piece.size();
        if (marks.empty() || marks.front().first > 0)
            while (a < b && word_byte(static_cast<unsigned char>(piece[a]))) a++;
        if (marks.empty() || marks.back().second < b)
            while (b > a && word_byte(static_cast<unsigned char>(piece[b - 1]))) b--;
        while (a < b && piece[a] == ' ') a++;
        while (b > a && piece[b - 1] == ' ') b--;
        if (a < b) {
            if (!out.empty()) out += SEP;
            out.append(piece, a, b - a);
        }
        if (sep == std::string::npos) break;
        start = sep + SEP.size();
    }
    return out.empty() ? shown : out + SEP;
}

std::vector<std::pair<size_t, size_t>> query_word_marks(const std::string &shown) {
    std::vector<std::string> stems;
    for (const QueryWordInfo &w : query_words())
        if (w.state == QueryWordState::found && !w.stem.empty()) stems.push_back(w.stem);
    std::vector<std::pair<size_t, size_t>> marks;
    for (size_t i = 0; i < shown.size();) {
        if (!word_byte(static_cast<unsigned char>(shown[i]))) {
            i++;
            continue;
        }
        size_t j = i;
        while (j < shown.size() && word_byte(static_cast<unsigned char>(shown[j]))) j++;
        std::string letters = folded_letters(shown.substr(i, j - i));
        for (const std::string &stem : stems)
            if (letters.compare(0, stem.size(), stem) == 0) {
                marks.emplace_back(i, j);
                break;
            }
        i = j;
    }
    return marks;
}

std::vector<std::string> word_reason_lines() {
    std::vector<std::string> lines;
    for (const QueryWordInfo &w : query_words()) {
        if (w.state == QueryWordState::found && w.files > 0) continue;
        // The words were looked up in Latin-1; the lines are read as UTF-8.
        std::string line;
        for (unsigned char c : query_word_reason(w)) append_utf8(line, c);
        lines.push_back(line);
    }
    return lines;
}

std::string display_bytes(const char *bytes) { return to_display(bytes); }

std::string escaped_name(const std::string &bytes) { return display_name(bytes); }
