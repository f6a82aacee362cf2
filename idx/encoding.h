// Text encodings at the edge of the engine. The index and the files it reads are 8-bit bytes
// (Latin-1); people read and type UTF-8. Pure functions, any thread.
#ifndef OLMAREST_IDX_ENCODING_H
#define OLMAREST_IDX_ENCODING_H

#include <cstddef>
#include <string>

// The n bytes as UTF-8 for display: kept as they are when they are valid UTF-8, otherwise every
// byte read as Latin-1.
std::string display_utf8(const char *bytes, size_t n);

// Whether the n bytes are valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool valid_utf8(const char *bytes, size_t n);

// Appends code point cp (at most U+10FFFF) to out as UTF-8.
void append_utf8(std::string &out, unsigned cp);

#endif
