// Content kinds: what a file's first bytes say it holds. Kept in every file table entry; only kinds
// above KIND_NONE are read for words.
#ifndef OLMAREST_IDX_KINDS_H
#define OLMAREST_IDX_KINDS_H

constexpr int KIND_RAR = -3, KIND_ZIP = -2, KIND_PRINT = -1, KIND_NONE = 0, KIND_UNKNOWN = 1,
              KIND_MARKUP = 2, KIND_AUDIO = 3, KIND_TEXT = 5;

#endif
