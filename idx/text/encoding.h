// Text at the edges of the engine. The index, file names and excerpts are bytes (words in
// Latin-1); people type and read UTF-8. Both front ends convert through these functions.
// Pure functions, any thread.
#ifndef OLMAREST_IDX_TEXT_ENCODING_H
#define OLMAREST_IDX_TEXT_ENCODING_H

#include <cstddef>
#include <string>

// The n bytes as UTF-8 for display: kept as they are when they are valid UTF-8, otherwise every
// byte read as Latin-1.
std::string display_utf8(const char *bytes, size_t n);
inline std::string to_display(const std::string &bytes) { return display_utf8(bytes.data(), bytes.size()); }

// A name (of a file, a folder, a path, or a message that carries one) as UTF-8 for display, as
// display_utf8 converts it, with every control character escaped: \n, \t, \r, \\ for the
// backslash itself, \xNN for the rest of C0 and DEL, \u00NN for C1. So a name can neither move
// the cursor, recolour a terminal nor fake a line of output.
std::string display_name(const char *bytes, size_t n);
inline std::string display_name(const std::string &bytes) { return display_name(bytes.data(), bytes.size()); }

// Whether the n bytes are valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool valid_utf8(const char *bytes, size_t n);

// Appends code point cp (at most U+10FFFF) to out as UTF-8.
void append_utf8(std::string &out, unsigned cp);

// A name of UTF-16 units in big-endian order (a Joliet identifier, n bytes; an odd last byte is
// ignored) as UTF-8. Surrogate pairs become their character; an unpaired surrogate and a control
// character (U+0000-U+001F, U+007F-U+009F) become U+FFFD. At most 3 output bytes per unit.
std::string utf16be_to_utf8(const unsigned char *units, size_t n);

// A typed word as the index's Latin-1: valid UTF-8 is converted (characters beyond Latin-1
// become '?'); anything else is taken as the bytes it already is.
std::string to_latin1(const std::string &text);

// An excerpt as UTF-8 for display. Excerpts are pieces cut at byte positions and joined by
// " ... ", so a piece may begin or end inside a character: such cut characters are dropped when
// the rest is valid UTF-8 with at least one character beyond ASCII; otherwise the whole text is
// read as Latin-1.
std::string excerpt_to_display(const std::string &bytes);

#endif
