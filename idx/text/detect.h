// Content detection: the content kind of a file from the signature of its first bytes.
// Stateless; runs on the indexing thread (and on the UI thread when a listing needs a kind).
#ifndef OLMAREST_IDX_TEXT_DETECT_H
#define OLMAREST_IDX_TEXT_DETECT_H

#include "idx/kinds.h"

// The content kind of len bytes at buf (len >= 0). Requires: buf != 0.
int detect_type(const char *buf, int len);

#endif
