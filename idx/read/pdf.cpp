#include "idx/read/pdf.h"

#include <atomic>
#include <string>

#include "idx/run.h"
#include "os/os.h"

int pdf_wall_ms = PDF_WALL_MS;
uint64_t pdf_split_min = PDF_SPLIT_MIN;

const char *pdf_helper() {
    // Found once: the program file does not move while it runs.
    static const std::string path = [] {
        char dir[OS_PATH_MAX];
        if (os_program_dir(dir, sizeof dir)) {
            std::string p = std::string(dir) + "/olmarest-pdftext";
            if (os_can_run(p.c_str())) return p;
        }
#ifdef OLMAREST_INSTALL_BINDIR
        std::string p = OLMAREST_INSTALL_BINDIR "/olmarest-pdftext";
        if (os_can_run(p.c_str())) return p;
#endif
        return std::string();
    }();
    return path.c_str();
}

namespace {

// One helper's run over one part of the pages.
struct Part {
    Part(const char *d, size_t size, int i, int count, const TextPut *p, uint64_t c, std::atomic<bool> *a)
        : data(d), n(size), index(i), parts(count), put(p), cap(c), abandon(a) {}
    const char *data;
    size_t n;
    int index, parts;     // pages [pages * index / parts, pages * (index + 1) / parts)
    const TextPut *put;   // where the text goes as it comes; null: kept in `text`
    uint64_t cap;
    std::atomic<bool> *abandon; // set when the other part's text is no longer wanted
    std::string text;
    uint64_t bytes = 0;
    bool over = false;     // the text passed the cap
    bool any_text = false; // something besides white space and page breaks came
    bool cancelled = false; // stopped for a cancelled run
    int end = OS_HELPER_NOT_RUN;
    int code = -1;
};

bool take(void *ctx, const char *data, size_t n) {
    auto *t = static_cast<Part *>(ctx);
    // A cancelled run does not wait for the helper, nor a half whose text is no longer wanted.
    if (n == 0) {
        t->cancelled = cancel_requested.load(std::memory_order_relaxed);
        return !t->cancelled && !(t->abandon->load(std::memory_order_relaxed) && !t->put);
    }
    if (t->bytes + n > t->cap) {
        n = static_cast<size_t>(t->cap - t->bytes);
        t->over = true;
    }
    t->bytes += n;
    for (size_t i = 0; i < n && !t->any_text; i++)
        t->any_text = static_cast<unsigned char>(data[i]) > ' ';
    if (t->put) return (*t->put)(data, n) && !t->over;
    if (t->abandon->load(std::memory_order_relaxed)) return false;
    t->text.append(data, n);
    return !t->over;
}

void run_part(void *arg) {
    auto *t = static_cast<Part *>(arg);
    std::string cpu = "--cpu=" + std::to_string(PDF_CPU_SECONDS);
    std::string mem = "--memory=" + std::to_string(PDF_ADDRESS_SPACE);
    std::string part = "--part=" + std::to_string(t->index) + "/" + std::to_string(t->parts);
    const char *argv[] = {pdf_helper(), cpu.c_str(), mem.c_str(), part.c_str(), nullptr};
    t->end = os_run_helper(argv, t->data, t->n, pdf_wall_ms, take, t, &t->code);
}

// Why a part's text is incomplete or missing (0: it is whole).
int part_problem(const Part &t) {
    switch (t.end) {
    case OS_HELPER_STOPPED:
        if (t.over) return OS_ERR_TOO_BIG;
        // Stopped by a cancel that came too late to end the run: named, not passed off as whole.
        if (t.cancelled) return OS_ERR_READER_STOPPED;
        return 0; // the taker had what it wanted
    case OS_HELPER_NOT_RUN:
        return OS_ERR_NO_READER;
    case OS_HELPER_EXITED:
        if (t.code == 0) return 0;
        if (t.code == PDFTEXT_ENCRYPTED) return OS_ERR_ENCRYPTED;
        if (t.code == PDFTEXT_DAMAGED) return OS_ERR_DOC_DAMAGED;
        return OS_ERR_READER_STOPPED;
    default:
        return OS_ERR_READER_STOPPED;
    }
}

} // namespace

int read_pdf(const char *data, size_t n, uint64_t cap, const TextPut &put, bool parallel) {
    if (!*pdf_helper()) return OS_ERR_NO_READER;
    std::atomic<bool> abandon{false};
    Part first(data, n, 0, 1, &put, cap, &abandon);
    // With two cores a large file's pages are read in two halves at once: the second half's text
    // is kept until the first's has gone out, so the text is the same as from one helper.
    OsThread *other = nullptr;
    Part second(data, n, 1, 2, nullptr, cap, &abandon);
    if (parallel && n >= pdf_split_min && threads_wanted() >= 2) {
        first.parts = 2;
        other = os_thread_start(run_part, &second);
        if (!other) first.parts = 1;
    }
    run_part(&first);
    int problem = part_problem(first);
    bool wanted = first.end == OS_HELPER_EXITED && problem == 0;
    if (other) {
        if (!wanted) abandon.store(true, std::memory_order_relaxed);
        os_thread_join(other);
        if (wanted) {
            problem = part_problem(second);
            uint64_t room = cap - first.bytes;
            if (second.text.size() > room) {
                second.text.resize(static_cast<size_t>(room));
                problem = OS_ERR_TOO_BIG;
            }
            // A taker that wants no more (an excerpt found) is no problem.
            put(second.text.data(), second.text.size());
        }
    }
    if (problem == 0 && !first.any_text && !(other && second.any_text)) return OS_ERR_NO_TEXT;
    return problem;
}
