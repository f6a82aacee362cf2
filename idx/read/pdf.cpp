#include "idx/read/pdf.h"

#include <string>

#include "os/os.h"

int pdf_wall_ms = PDF_WALL_MS;

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

struct Taken {
    const TextPut *put;
    uint64_t cap;
    uint64_t bytes = 0;
    bool over = false;     // the text passed the cap
    bool any_text = false; // something besides white space and page breaks came
};

bool take(void *ctx, const char *data, size_t n) {
    auto *t = static_cast<Taken *>(ctx);
    if (t->bytes + n > t->cap) {
        n = static_cast<size_t>(t->cap - t->bytes);
        t->over = true;
    }
    t->bytes += n;
    for (size_t i = 0; i < n && !t->any_text; i++)
        t->any_text = static_cast<unsigned char>(data[i]) > ' ';
    return (*t->put)(data, n) && !t->over;
}

} // namespace

int read_pdf(const char *data, size_t n, uint64_t cap, const TextPut &put) {
    const char *helper = pdf_helper();
    if (!*helper) return OS_ERR_NO_READER;
    std::string cpu = "--cpu=" + std::to_string(PDF_CPU_SECONDS);
    std::string mem = "--memory=" + std::to_string(PDF_ADDRESS_SPACE);
    const char *argv[] = {helper, cpu.c_str(), mem.c_str(), nullptr};
    Taken t{&put, cap};
    int code = 0;
    switch (os_run_helper(argv, data, n, pdf_wall_ms, take, &t, &code)) {
    case OS_HELPER_STOPPED:
        return t.over ? OS_ERR_TOO_BIG : 0; // else the taker had what it wanted
    case OS_HELPER_NOT_RUN:
        return OS_ERR_NO_READER;
    case OS_HELPER_EXITED:
        if (code == 0) return t.any_text ? 0 : OS_ERR_NO_TEXT;
        if (code == PDFTEXT_ENCRYPTED) return OS_ERR_ENCRYPTED;
        if (code == PDFTEXT_DAMAGED) return OS_ERR_DAMAGED;
        return OS_ERR_READER_STOPPED;
    default:
        return OS_ERR_READER_STOPPED;
    }
}
