#include "cli/commands.h"

#include <csignal>
#include <cstring>
#include <string>

#include <unistd.h>

#include "idx/index.h"
#include "idx/read.h"
#include "os/os.h"

static const char USAGE[] =
    "Usage: olmarest-cli index [--verbose] PATH\n"
    "       olmarest-cli search [--no-excerpts] WORD...\n"
    "       olmarest-cli --help | --version\n"
    "\n"
    "index   builds idx.dat in the current directory from every file below PATH, a\n"
    "        directory, an ISO 9660 image or a directory inside one (disc.iso/docs)\n"
    "        (stop words from ./stopwords.txt when present)\n"
    "search  lists the files of ./idx.dat holding up to three words, best first:\n"
    "        frequency, tab, path, tab, excerpt\n";

static volatile sig_atomic_t interrupted = 0;

static void on_interrupt(int) { interrupted = 1; }

static constexpr double MB = 1048576.0;

// The files the run could not read: how many, the first few by name with the reason.
static void report_unread(FILE *out) {
    if (unread_count == 0) return;
    fprintf(out, "Note: %d file%s could not be read:\n", unread_count, unread_count == 1 ? "" : "s");
    for (const UnreadFile &u : unread_files) fprintf(out, "  %s: %s\n", u.path.c_str(), os_error_text(u.error));
    if (unread_count > static_cast<int>(unread_files.size()))
        fprintf(out, "  and %d more\n", unread_count - static_cast<int>(unread_files.size()));
}

int cmd_index(const char *path, bool verbose, FILE *out, FILE *err) {
    if (!valid_index_path(path)) {
        fprintf(err, "Please enter a valid pathname !\n");
        return 2;
    }
    pass_log = verbose;
    std::string keep = path; // create_idx hands this very string to the indexing thread
    double start = get_seconds();
    float max_throughput = 0;
    interrupted = 0;
    struct sigaction sa {}, old_sa{};
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, &old_sa);
    bool tty = isatty(fileno(out));
    bool aborted = false;
    if (create_idx(keep.c_str()) == -1)
        fprintf(out, "ERROR: Can not initialize indexscan !\n");
    else
        fprintf(out, "Scanning ...\n");
    int status;
    int ticks = 0;
    while ((status = status_idx()) == 1) {
        if (interrupted && !aborted) {
            aborted = true;
            fprintf(out, cancel_idx() == -1 ? "%sCancel failed!\n" : "%sScan aborted!\n", tty ? "\n" : "");
            while (status_idx() == 1) os_sleep_ms(10);
            continue;
        }
        float tp = cur_throughput.load(std::memory_order_relaxed);
        if (tp > max_throughput) max_throughput = tp;
        if (tty && ticks++ % 10 == 0) {
            uint64_t total = total_bytes.load(std::memory_order_relaxed);
            uint64_t done = total_bytes_read.load(std::memory_order_relaxed);
            int s = static_cast<int>(get_seconds() - start);
            fprintf(out, "\r%3d%%  %.2f MB of %.2f MB  %.2f MB/s  %d:%02d ",
                    total ? static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total)) : 0,
                    static_cast<double>(done) / MB, static_cast<double>(total) / MB, tp / MB, s / 60, s % 60);
            fflush(out);
        }
        os_sleep_ms(20);
    }
    sigaction(SIGINT, &old_sa, nullptr);
    if (tty) fprintf(out, "\n");
    double elapsed = get_seconds() - start;
    int s = static_cast<int>(elapsed);
    if (status == 2) {
        fprintf(out, "Index complete ! :-)\n");
        fprintf(out, "----------------------------------------------\n");
        fprintf(out, "Statistics:\n");
        fprintf(out, "  Time for Scan: %d:%02d\n", s / 60, s % 60);
        fprintf(out, "  total files: %d \n", num_files.load());
        fprintf(out, "  average throughput: %.2f MB/s\n",
                elapsed > 0 ? static_cast<double>(total_bytes_read.load()) / elapsed / MB : 0.0);
        fprintf(out, "  maximum throughput: %.2f MB/s\n", max_throughput / MB);
        fprintf(out, " unique words: %d; text processed: %d; total words: %d \n",
                static_cast<int>(static_cast<uint32_t>(unique_words.load())),
                static_cast<int>(static_cast<uint32_t>(text_processed.load())),
                static_cast<int>(static_cast<uint32_t>(total_words.load())));
        if (files_capped)
            fprintf(out, "Note: only the first %d files of the folder were indexed.\n", MAX_FILES);
        report_unread(out);
    } else {
        fprintf(out, "SCAN FAILED !\n");
        if (*idx_reason()) fprintf(err, "%s\n", idx_reason());
        report_unread(out);
    }
    fflush(out);
    if (aborted) return 130;
    return status == 2 ? 0 : 1;
}

// The index holds Latin-1 words. A terminal hands us UTF-8, so a word that is valid UTF-8 is
// turned into Latin-1 as the desktop program does with its word box (characters beyond Latin-1
// become '?'); anything else is taken as the bytes it already is.
std::string to_latin1(const std::string &arg) {
    std::string out;
    for (size_t i = 0; i < arg.size();) {
        auto c = static_cast<unsigned char>(arg[i]);
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= arg.size() + (extra == 0 ? 1 : 0)) return arg;
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; k++) {
            auto d = static_cast<unsigned char>(arg[i + static_cast<size_t>(k)]);
            if ((d & 0xC0) != 0x80) return arg;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms are not UTF-8 either.
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)) return arg;
        out += cp < 0x100 ? static_cast<char>(cp) : '?';
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

// The query text was Latin-1 (to_latin1); the words echoed back go to a UTF-8 terminal.
static std::string latin1_to_utf8(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// One line per query word that found nothing, saying why, after the match count.
static void print_word_reasons(FILE *err) {
    for (const QueryWordInfo &w : query_words()) {
        if (w.state == QueryWordState::found && w.files > 0) continue;
        fprintf(err, "%s\n", latin1_to_utf8(query_word_reason(w)).c_str());
    }
}

int cmd_search(int nwords, char **words, bool excerpts, FILE *out, FILE *err) {
    if (read_idx() != 0) {
        fprintf(err, "No index loaded\n");
        if (*idx_reason()) fprintf(err, "%s\n", idx_reason());
        return 1;
    }
    std::string text;
    for (int i = 0; i < nwords; i++) {
        if (i) text += ' ';
        text += to_latin1(words[i]);
    }
    query_idx(text.c_str());
    char *path;
    char *excerpt = nullptr;
    int freq;
    int rows = 0;
    // The first pass gives paths and frequencies; the second, when asked for, the excerpts.
    while (next_result(&path, &freq, excerpts ? &excerpt : nullptr) == 0) {
        if (freq == 0) continue;
        if (freq < 0)
            fprintf(out, "> %d\t", -freq);
        else
            fprintf(out, "%d\t", freq);
        fputs(path, out);
        fputc('\t', out);
        if (excerpts) fputs(excerpt, out);
        fputc('\n', out);
        rows++;
    }
    fflush(out);
    fprintf(err, "%d matches found !\n", rows);
    print_word_reasons(err);
    return 0;
}

int cli_run(int argc, char **argv, FILE *out, FILE *err) {
    if (argc < 2) {
        fputs(USAGE, err);
        return 2;
    }
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h") {
        fputs(USAGE, out);
        return 0;
    }
    if (cmd == "--version") {
        fprintf(out, "olmarest-cli %s\n", OLMAREST_VERSION);
        return 0;
    }
    if (cmd == "index") {
        bool verbose = false;
        const char *path = nullptr;
        for (int i = 2; i < argc; i++) {
            if (strcmp(argv[i], "--verbose") == 0 || strcmp(argv[i], "-v") == 0)
                verbose = true;
            else if (!path)
                path = argv[i];
            else
                path = "";
        }
        if (!path || !*path) {
            fputs(USAGE, err);
            return 2;
        }
        return cmd_index(path, verbose, out, err);
    }
    if (cmd == "search") {
        bool excerpts = true;
        int first = 2;
        if (first < argc && strcmp(argv[first], "--no-excerpts") == 0) {
            excerpts = false;
            first++;
        }
        return cmd_search(argc - first, argv + first, excerpts, out, err);
    }
    fprintf(err, "olmarest-cli: unknown command '%s'\n\n", argv[1]);
    fputs(USAGE, err);
    return 2;
}
