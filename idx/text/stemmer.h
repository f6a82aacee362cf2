// Porter stemming of upper-case words, in place, without allocation. One word at a time.
#ifndef OLMAREST_IDX_TEXT_STEMMER_H
#define OLMAREST_IDX_TEXT_STEMMER_H

// Stems word[0..len-1] in place (len >= 4, room for len + 1 bytes): stores the new length in
// len, writes a NUL after the stem and returns the new length (1 to the old one).
int stem_word(char *word, int &len);

#endif
