// Content kinds: what a file's first bytes say it holds. Kept in every file table entry; only kinds
// above KIND_NONE are read for words.
#ifndef OLMAREST_IDX_KINDS_H
#define OLMAREST_IDX_KINDS_H

constexpr int KIND_RAR = -3, KIND_ZIP = -2, KIND_PRINT = -1, KIND_NONE = 0, KIND_UNKNOWN = 1,
              KIND_MARKUP = 2, KIND_AUDIO = 3, KIND_TEXT = 5;
// Kinds whose words are read from decoded data: a gzip stream, UTF-16 text (little or big endian).
constexpr int KIND_GZIP = 6, KIND_UTF16LE = 7, KIND_UTF16BE = 8;
// Documents read whole once their last byte has arrived: ZIP archives of XML (OpenDocument, Office
// Open XML, EPUB) and PDF.
constexpr int KIND_ODF = 9, KIND_OOXML = 10, KIND_EPUB = 11, KIND_PDF = 12;

// Formats a run may decode (a set of bits); the others are passed over as they always were.
constexpr unsigned FORMAT_GZIP = 1, FORMAT_UTF16 = 2, FORMAT_OFFICE = 4, FORMAT_PDF = 8,
                   FORMATS_ALL = FORMAT_GZIP | FORMAT_UTF16 | FORMAT_OFFICE | FORMAT_PDF;

#endif
