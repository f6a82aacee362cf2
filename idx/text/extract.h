// Word extraction: the plain tokenizer with its letter-trigram plausibility test, the markup
// tokenizer and the ID3v1 tag reader. One process-wide tokenizer state, used by one thread at a
// time: the indexing thread during a run, the UI thread for the stop list and queries.
#ifndef OLMAREST_IDX_TEXT_EXTRACT_H
#define OLMAREST_IDX_TEXT_EXTRACT_H

#include <cstdint>

constexpr int MAX_WORD = 31;       // longest word handed on; buffers hold MAX_WORD + 1 bytes
constexpr int TRIGRAM_SIZE = 32768; // bytes of trigram_freqs.dat

// ID3v1: the last TAG_SIZE bytes of an audio file, "TAG" then title, artist, album and comment
// fields of TAG_FIELD_LEN bytes at these offsets; the tokenizer scans the first TAG_FIELD_SCAN.
constexpr int TAG_SIZE = 128;
constexpr int TAG_FIELDS[] = {3, 33, 63, 97};
constexpr int TAG_FIELD_LEN = 30;
constexpr int TAG_FIELD_SCAN = 29;

// Where words go: add_word, unless a test or benchmark installs its own. Defined in idx/index.
using WordSink = int (*)(char *word, int len);
extern WordSink word_sink;

// Picks the tokenizer by content kind (KIND_MARKUP, KIND_AUDIO's tag, else plain; see
// idx/detect.h). Returns the 1-based position of the byte that ended the last word handed on, or 0.
int extract_words(const char *buf, int len, int kind);
int extract_plain(const char *buf, int len);
int extract_markup(const char *buf, int len);
int extract_audio_tag(const char *buf, int len);
bool word_plausible(const char *word, int len);

// The plain tokenizer over query text: no plausibility test (the user chose the words), and words
// of 1 to 3 letters are handed on too, so that the caller can say why they were not searched.
int extract_query(const char *buf, int len);
// The character at text[i] of a whole text of len bytes, read as the tokenizers read it: its
// folded letter goes to *f (0 for a separator); answers its length in bytes.
int extract_char(const char *text, int i, int len, char *f);
// Where the word last handed on by the plain tokenizer stood in that call's buffer: bytes
// [*start, *end); *start is -1 when the word began in an earlier call.
void extract_last_span(int *start, int *end);

// The current file's data has ended: a pending word is ended as if a separator followed it
// (same length floor and plausibility test) and every tokenizer state is cleared.
void extract_end_file();
// Clears every tokenizer state, handing nothing on.
void extract_reset();

// Loads the trigram table from path (normally done once, from beside the program file, at the
// first plausibility test). Returns true when the file was opened.
bool load_trigrams(const char *path);

#endif
