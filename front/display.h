// What the front ends show of the engine's bytes: names and excerpts as UTF-8, markup excerpts as
// the text a browser shows, control characters made harmless, and the per-word reasons of a query.
#ifndef OLMAREST_FRONT_DISPLAY_H
#define OLMAREST_FRONT_DISPLAY_H

#include <string>
#include <utility>
#include <vector>

// An excerpt text as next_result gives it (excerpts each followed by " ... "), made readable:
// UTF-8 (bytes that are not read as Latin-1), tabs, line breaks and other control characters as
// spaces, and for a markup file tags removed and entities decoded.
std::string display_excerpt(const char *text, bool markup);

// A shown excerpt (display_excerpt's text) for reading in a list: each piece between " ... " loses
// the partial words its fixed window cut at either edge, so that it starts and ends on whole words.
std::string whole_word_excerpt(const std::string &shown);

// Where the words of the last query stand in a shown excerpt: byte ranges [first, second) of every
// word whose letters, folded as the index folds them, begin with a searched stem, in order.
std::vector<std::pair<size_t, size_t>> query_word_marks(const std::string &shown);

// A name or path from the engine (bytes as the file system or the volume gave them) as UTF-8.
std::string display_bytes(const char *bytes);
// The same with its control characters shown escaped (\n, \t, \x1b, ...) and a backslash as \\,
// so that no name can act on a terminal or fake a line of output.
std::string escaped_name(const std::string &bytes);

// One line for each word of the last query that found nothing, saying why, as UTF-8.
std::vector<std::string> word_reason_lines();

#endif
