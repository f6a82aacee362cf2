// olmarest-pdftext: writes the text of the PDF file on standard input to standard output, page by
// page, a form feed after each. Run by the indexer, one file at a time, so that a PDF that crashes
// or exhausts its reader ends only this process. Exit codes: 0, 3 encrypted, 4 not a readable PDF,
// 5 bad usage or no memory.
//
//     olmarest-pdftext [--cpu=SECONDS] [--memory=BYTES] [--part=K/N] < file.pdf
//
// --part=K/N: only the K-th of N equal runs of pages (K from 0), for helpers that share a file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include "idx/read/pdf.h"
#include "os/os.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PDFTEXT_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PDFTEXT_SANITIZED 1
#endif

static void quiet(const std::string &, void *) {}

static bool write_all(const char *p, size_t n) {
    return fwrite(p, 1, n, stdout) == n;
}

int main(int argc, char **argv) {
    int cpu = 0;
    unsigned long long memory = 0;
    long part = 0, parts = 1;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--cpu=", 6) == 0)
            cpu = atoi(argv[i] + 6);
        else if (strncmp(argv[i], "--part=", 7) == 0 && sscanf(argv[i] + 7, "%ld/%ld", &part, &parts) == 2 &&
                 parts >= 1 && part >= 0 && part < parts)
            continue;
        else if (strncmp(argv[i], "--memory=", 9) == 0)
            memory = strtoull(argv[i] + 9, nullptr, 10);
        else
            return PDFTEXT_USAGE;
    }
#ifdef PDFTEXT_SANITIZED
    memory = 0; // the sanitizers reserve terabytes of address space up front
#endif
    os_limit_self(cpu, memory);
    poppler::set_debug_error_function(quiet, nullptr);

    std::vector<char> data;
    try {
        char buf[65536];
        for (;;) {
            ssize_t k = read(0, buf, sizeof buf);
            if (k == 0) break;
            if (k < 0) return PDFTEXT_DAMAGED;
            data.insert(data.end(), buf, buf + k);
        }
    } catch (const std::bad_alloc &) {
        return PDFTEXT_USAGE;
    }
    if (data.empty() || data.size() > 0x7FFFFFFF) return PDFTEXT_DAMAGED;
    std::unique_ptr<poppler::document> doc(
        poppler::document::load_from_raw_data(data.data(), static_cast<int>(data.size())));
    if (!doc) {
        // poppler answers null for a file locked by a password too: tell the two apart by its
        // trailer, which names an /Encrypt dictionary.
        static const char ENCRYPT[] = "/Encrypt";
        auto it = std::search(data.begin(), data.end(), ENCRYPT, ENCRYPT + sizeof ENCRYPT - 1);
        return it != data.end() ? PDFTEXT_ENCRYPTED : PDFTEXT_DAMAGED;
    }
    if (doc->is_locked()) return PDFTEXT_ENCRYPTED;
    const char *test = getenv("OLMAREST_PDFTEXT_TEST"); // "hang" or "crash" after the first page
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    long pages = doc->pages();
    long from = pages * part / parts, to = pages * (part + 1) / parts;
    for (long i = from; i < to; i++) {
        std::unique_ptr<poppler::page> page(doc->create_page(static_cast<int>(i)));
        bool text_empty = true, ends_with_break = false;
        if (page) {
            poppler::byte_array text = page->text(poppler::rectf(), poppler::page::raw_order_layout).to_utf8();
            text_empty = text.empty();
            ends_with_break = !text_empty && text.back() == '\f';
            if (!text_empty && !write_all(text.data(), text.size())) return 0;
        }
        // poppler ends a page's text with a page break of its own; one is all it takes.
        if ((text_empty || !ends_with_break) && !write_all("\f", 1)) return 0;
        // Each page goes out whole as soon as it is read: an excerpt stops the helper at the page
        // it needs.
        fflush(stdout);
        if (test && i == from) {
            if (strcmp(test, "hang") == 0)
                for (;;) pause();
            if (strcmp(test, "crash") == 0) abort();
        }
    }
    fflush(stdout);
    return 0;
}
