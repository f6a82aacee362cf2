// Documents that are ZIP archives of XML: OpenDocument (content.xml), Office Open XML (the text of
// word/document.xml, the slides in their order, the shared strings of a workbook) and EPUB (the
// XHTML chapters in spine order). The archive is read from memory through libarchive and its XML
// through expat; no entity declared in a document is ever expanded.
#ifndef OLMAREST_IDX_READ_ZIPDOC_H
#define OLMAREST_IDX_READ_ZIPDOC_H

#include <cstddef>
#include <cstdint>
#include <functional>

constexpr uint64_t MEMBER_CAP = uint64_t{64} << 20; // inflated bytes read of one member
extern uint64_t member_cap;                          // MEMBER_CAP; tests lower it

// Takes the next piece of the document's text; false to stop.
using TextPut = std::function<bool(const char *p, size_t n)>;

// Reads the words of a document of kind KIND_ODF, KIND_OOXML or KIND_EPUB held whole in memory.
// ODF and OOXML give plain UTF-8 text, a line break after every paragraph, heading and cell, the
// runs of one paragraph joined without a separator; EPUB gives its chapters' markup one after the
// other. At most `cap` inflated bytes are read over all members. Answers 0, or the OS_ERR_* code
// that says why the text is incomplete.
int read_zip_document(int kind, const char *data, size_t n, uint64_t cap, const TextPut &put);

#endif
