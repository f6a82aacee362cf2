// Content detection: the content kind of a file from the signature of its first bytes.
// Stateless; runs on the indexing thread (and on the UI thread when a listing needs a kind).
#ifndef OLMAREST_IDX_DETECT_H
#define OLMAREST_IDX_DETECT_H

constexpr int KIND_RAR = -3, KIND_ZIP = -2, KIND_PRINT = -1, KIND_NONE = 0, KIND_UNKNOWN = 1,
              KIND_MARKUP = 2, KIND_AUDIO = 3, KIND_TEXT = 5;

// The content kind of len bytes at buf (len >= 0). Requires: buf != 0.
int detect_type(const char *buf, int len);

#endif
