// Content detection: the content kind of a file from the signature of its first bytes.
// Stateless; runs on the indexing thread (and on the UI thread when a listing needs a kind).
#ifndef OLMAREST_IDX_TEXT_DETECT_H
#define OLMAREST_IDX_TEXT_DETECT_H

#include "idx/kinds.h"

// The formats (FORMAT_*) detection recognises; the rest are detected as before they were read.
// Set by the thread that starts a run, before it starts.
extern unsigned detect_formats;

// The content kind of len bytes at buf (len >= 0). Requires: buf != 0.
int detect_type(const char *buf, int len);
// The same, recognising only the given formats (0: none, as decoded data is detected).
int detect_type_with(const char *buf, int len, unsigned formats);

#endif
