// PDF files, read by a helper process of ours (olmarest-pdftext, beside the program) so that a
// damaged or hostile file can crash, loop or swell only the helper: it runs with limits on its
// processor time and address space, its output is capped, and it is killed after a wall-clock time.
#ifndef OLMAREST_IDX_READ_PDF_H
#define OLMAREST_IDX_READ_PDF_H

#include <cstddef>
#include <cstdint>

#include "idx/read/zipdoc.h"

constexpr int PDF_WALL_MS = 120000;                    // a helper running longer is killed
constexpr int PDF_CPU_SECONDS = 60;                    // its processor time
constexpr uint64_t PDF_ADDRESS_SPACE = uint64_t{1} << 30; // and address space
extern int pdf_wall_ms;                                // PDF_WALL_MS; tests lower it
// From this size on, and with two threads wanted, two helpers read a file, each half of its pages.
constexpr uint64_t PDF_SPLIT_MIN = uint64_t{256} << 10;
extern uint64_t pdf_split_min;                         // PDF_SPLIT_MIN; tests lower it

// The helper's exit codes besides 0.
constexpr int PDFTEXT_ENCRYPTED = 3, PDFTEXT_DAMAGED = 4, PDFTEXT_USAGE = 5;

// The text of a PDF held whole in memory, page by page (a form feed after each page), to put; at
// most cap bytes. 0, or the OS_ERR_* code that says why there is none or not all of it: encrypted,
// no text, damaged, the helper stopped or missing.
// With `parallel` (an indexing run, not an excerpt, which seldom needs the later pages) a large
// file may be read by two helpers.
int read_pdf(const char *data, size_t n, uint64_t cap, const TextPut &put, bool parallel = false);

// Where the helper is: beside the program file, else in the installation's program directory.
// "" when neither holds it.
const char *pdf_helper();

#endif
