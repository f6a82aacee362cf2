#include "idx/stemmer.h"

// Placeholder until the Porter stemmer lands: words pass unchanged.
int stem_word(char *word, int &len) {
    word[len] = 0;
    return len;
}
