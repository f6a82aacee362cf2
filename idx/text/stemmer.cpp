#include "idx/text/stemmer.h"

#include <cstring>

// Work area of the word being stemmed, set at the start of every call. Process-wide and unlocked:
// owned by the thread that stems words (during a run the indexing thread, or its recording thread
// when there are two; the UI thread for the stop list and queries), one word at a time. The first letter is index 0.
struct StemWork {
    char *b; // the word
    int k;   // index of its current last letter
    int j;   // last letter of the stem in front of the suffix last matched
};
static StemWork sw;

// Consonant class of a letter, given whether the letter before it is a consonant. Ä, Ö, Ü and ß fall to
// the default like every other letter that is not a vowel.
static inline bool cons_after(char ch, bool prev_cons) {
    switch (ch) {
    case 'A':
    case 'E':
    case 'I':
    case 'O':
    case 'U':
        return false;
    case 'Y':
        return !prev_cons;
    default:
        return true;
    }
}

// A Y at the start is a consonant: as if a vowel stood before it.
static bool is_cons(int i) {
    return cons_after(sw.b[i], i > 0 && is_cons(i - 1));
}

// Number of vowel-run-then-consonant pairs in letters 0..j: each starts where a consonant follows a vowel.
static int measure() {
    if (sw.j < 0) return 0;
    int m = 0;
    bool prev = cons_after(sw.b[0], false);
    for (int i = 1; i <= sw.j; i++) {
        bool c = cons_after(sw.b[i], prev);
        m += c && !prev;
        prev = c;
    }
    return m;
}

static bool vowel_in_stem() {
    bool prev = false;
    for (int i = 0; i <= sw.j; i++) {
        prev = cons_after(sw.b[i], prev);
        if (!prev) return true;
    }
    return false;
}

static bool double_cons(int i) {
    return i >= 1 && sw.b[i] == sw.b[i - 1] && is_cons(i);
}

// Consonant-vowel-consonant ending at i, the last not W, X or Y: where a lost E is put back (HOP(E)).
static bool cvc(int i) {
    if (i < 2 || !is_cons(i) || is_cons(i - 1) || !is_cons(i - 2)) return false;
    return sw.b[i] != 'W' && sw.b[i] != 'X' && sw.b[i] != 'Y';
}

// Does the word end in s? On success j marks the letter in front of it. The last letter is compared
// first: nearly every test fails there, before the length check and the full comparison.
template <int N> static inline bool ends(const char (&s)[N]) {
    constexpr int n = N - 1;
    if (sw.b[sw.k] != s[n - 1] || n > sw.k + 1 || std::memcmp(sw.b + sw.k - n + 1, s, n) != 0) return false;
    sw.j = sw.k - n;
    return true;
}

// Replaces the suffix last matched by s.
template <int N> static inline void set_to(const char (&s)[N]) {
    std::memcpy(sw.b + sw.j + 1, s, N - 1);
    sw.k = sw.j + N - 1;
}

template <int N> static inline void replace_if_measured(const char (&s)[N]) {
    if (measure() > 0) set_to(s);
}

// Plurals, then -ED and -ING.
static void step1ab() {
    if (sw.b[sw.k] == 'S') {
        if (ends("SSES"))
            sw.k -= 2;
        else if (ends("IES"))
            set_to("I");
        else if (sw.b[sw.k - 1] != 'S')
            sw.k--;
    }
    if (ends("EED")) {
        if (measure() > 0) sw.k--;
    } else if ((ends("ED") || ends("ING")) && vowel_in_stem()) {
        sw.k = sw.j;
        // From here on j == k, so measure() covers the whole shortened word.
        if (ends("AT"))
            set_to("ATE");
        else if (ends("BL"))
            set_to("BLE");
        else if (ends("IZ"))
            set_to("IZE");
        else if (double_cons(sw.k)) {
            if (sw.b[sw.k] != 'L' && sw.b[sw.k] != 'S' && sw.b[sw.k] != 'Z') sw.k--;
        } else if (measure() == 1 && cvc(sw.k))
            set_to("E");
    }
}

static void step1c() {
    if (ends("Y") && vowel_in_stem()) sw.b[sw.k] = 'I';
}

// Double suffixes to single ones. The first suffix that matches decides, even when m is 0.
static void step2() {
    if (sw.k < 1) return;
    switch (sw.b[sw.k - 1]) {
    case 'A':
        if (ends("ATIONAL"))
            replace_if_measured("ATE");
        else if (ends("TIONAL"))
            replace_if_measured("TION");
        break;
    case 'C':
        if (ends("ENCI"))
            replace_if_measured("ENCE");
        else if (ends("ANCI"))
            replace_if_measured("ANCE");
        break;
    case 'E':
        if (ends("IZER")) replace_if_measured("IZE");
        break;
    case 'G':
        if (ends("LOGI")) replace_if_measured("LOG");
        break;
    case 'L':
        // BLI, not ABLI: it also catches -IBLI (POSSIBLI -> POSSIBLE).
        if (ends("BLI"))
            replace_if_measured("BLE");
        else if (ends("ALLI"))
            replace_if_measured("AL");
        else if (ends("ENTLI"))
            replace_if_measured("ENT");
        else if (ends("ELI"))
            replace_if_measured("E");
        else if (ends("OUSLI"))
            replace_if_measured("OUS");
        break;
    case 'O':
        if (ends("IZATION"))
            replace_if_measured("IZE");
        else if (ends("ATION"))
            replace_if_measured("ATE");
        else if (ends("ATOR"))
            replace_if_measured("ATE");
        break;
    case 'S':
        if (ends("ALISM"))
            replace_if_measured("AL");
        else if (ends("IVENESS"))
            replace_if_measured("IVE");
        else if (ends("FULNESS"))
            replace_if_measured("FUL");
        else if (ends("OUSNESS"))
            replace_if_measured("OUS");
        break;
    case 'T':
        if (ends("ALITI"))
            replace_if_measured("AL");
        else if (ends("IVITI"))
            replace_if_measured("IVE");
        else if (ends("BILITI"))
            replace_if_measured("BLE");
        break;
    }
}

// -IC-, -FULL, -NESS and the like.
static void step3() {
    switch (sw.b[sw.k]) {
    case 'E':
        if (ends("ICATE"))
            replace_if_measured("IC");
        else if (ends("ATIVE"))
            replace_if_measured("");
        else if (ends("ALIZE"))
            replace_if_measured("AL");
        break;
    case 'I':
        if (ends("ICITI")) replace_if_measured("IC");
        break;
    case 'L':
        if (ends("ICAL"))
            replace_if_measured("IC");
        else if (ends("FUL"))
            replace_if_measured("");
        break;
    case 'S':
        if (ends("NESS")) replace_if_measured("");
        break;
    }
}

// Single suffixes, removed from stems of measure 2 or more.
static void step4() {
    if (sw.k < 1) return;
    switch (sw.b[sw.k - 1]) {
    case 'A':
        if (ends("AL")) break;
        return;
    case 'C':
        if (ends("ANCE") || ends("ENCE")) break;
        return;
    case 'E':
        if (ends("ER")) break;
        return;
    case 'I':
        if (ends("IC")) break;
        return;
    case 'L':
        if (ends("ABLE") || ends("IBLE")) break;
        return;
    case 'N':
        // EMENT before MENT before ENT: the longest decides, and its measure alone counts.
        if (ends("ANT") || ends("EMENT") || ends("MENT") || ends("ENT")) break;
        return;
    case 'O':
        if (ends("ION") && sw.j >= 0 && (sw.b[sw.j] == 'S' || sw.b[sw.j] == 'T')) break;
        if (ends("OU")) break;
        return;
    case 'S':
        if (ends("ISM")) break;
        return;
    case 'T':
        if (ends("ATE") || ends("ITI")) break;
        return;
    case 'U':
        if (ends("OUS")) break;
        return;
    case 'V':
        if (ends("IVE")) break;
        return;
    case 'Z':
        if (ends("IZE")) break;
        return;
    default:
        return;
    }
    if (measure() > 1) sw.k = sw.j;
}

// A final -E, and -LL to -L, on long words. A final vowel leaves the measure alone, so one measure
// of the whole word serves both tests.
static void step5() {
    sw.j = sw.k;
    if (sw.b[sw.k] != 'E' && sw.b[sw.k] != 'L') return;
    int m = measure();
    if (sw.b[sw.k] == 'E' && (m > 1 || (m == 1 && !cvc(sw.k - 1)))) sw.k--;
    if (sw.b[sw.k] == 'L' && double_cons(sw.k) && m > 1) sw.k--;
}

int stem_word(char *word, int &len) {
    word[len] = 0;
    sw.b = word;
    sw.k = len - 1;
    sw.j = 0;
    step1ab();
    step1c();
    step2();
    step3();
    step4();
    step5();
    len = sw.k + 1;
    word[len] = 0;
    return len;
}
