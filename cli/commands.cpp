#include "cli/commands.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#include "idx/detect.h"
#include "idx/encoding.h"
#include "idx/idxdir.h"
#include "idx/index.h"
#include "idx/read.h"
#include "os/os.h"

static const char USAGE[] =
    "Usage: olmarest-cli [-d DIR] index [--verbose] PATH\n"
    "       olmarest-cli [-d DIR] search [--no-excerpts | -l [-0]] [--raw] WORD...\n"
    "       olmarest-cli --help | --version\n"
    "\n"
    "index   builds the index of every file below PATH: a directory, an ISO 9660 image or a\n"
    "        directory inside one (disc.iso/docs)\n"
    "search  lists the files holding any of up to three words, best first, one row each:\n"
    "        frequency, tab, path, tab, excerpt (\"63+\": a word occurs 63 times or more)\n"
    "\n"
    "  -d, --index-dir DIR        keep idx.dat and stopwords.txt in DIR (default: $OLMAREST_DIR,\n"
    "                             else $XDG_DATA_HOME/olmarest, i.e. ~/.local/share/olmarest)\n"
    "  -v, --verbose              index: one line per read pass on standard error\n"
    "      --no-excerpts          search: frequency and path only\n"
    "  -l, --files-with-matches   search: paths only\n"
    "  -0, --null                 search: end each path or row with a NUL byte (for xargs -0)\n"
    "      --raw                  search: rows as the engine gives them (\"> N\", excerpt bytes as read)\n"
    "\n"
    "Options may stand anywhere before \"--\". Exit status: search 0 when a file was listed, 1 when\n"
    "none; index 0 when the index is complete, 3 when it is complete but files or folders were\n"
    "left out (named in the report), 1 when the run failed, 130 when interrupted; 2 for bad\n"
    "usage and errors (no index, a damaged or outdated one, output that could not be\n"
    "written).\n";

static volatile sig_atomic_t interrupted = 0;

static void on_interrupt(int) { interrupted = 1; }

static constexpr double MB = 1048576.0;

// What the run left out: how many, the first few by name with the reason.
static void report_unread(FILE *out) {
    for (const std::string &line : unread_note()) fprintf(out, "%s\n", line.c_str());
}

// ---- Index ----

static void show_progress(FILE *f, uint64_t done, uint64_t total, float tp, int s) {
    int pct = total ? static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total)) : 100;
    fprintf(f, "\r%3d%%  %.2f MB of %.2f MB  %.2f MB/s  %d:%02d ", pct, static_cast<double>(done) / MB,
            static_cast<double>(total) / MB, static_cast<double>(tp) / MB, s / 60, s % 60);
    fflush(f);
}

std::string absolute_path(const char *path, size_t max_len) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    if (ec) return path;
    fs::path clean = abs.lexically_normal();
    std::string s = clean.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    // A ".." after a symbolic link leads elsewhere than its lexical removal: then ask the system.
    // A folder inside an image is no file here; its lexical form is all there is.
    if (!fs::equivalent(s, path, ec) && !ec) {
        fs::path real = fs::canonical(path, ec);
        if (ec) return path;
        s = real.string();
    }
    return s.size() < max_len ? s : std::string(path);
}

static int cmd_index(const char *arg, bool verbose, FILE *out, FILE *err) {
    if (!valid_index_path(arg)) {
        int fd = os_open(arg, 0);
        if (fd < 0) {
            fprintf(err, "Please enter a valid pathname !\n");
            return EXIT_ERROR;
        }
        os_close(fd);
        fprintf(err, "olmarest-cli: %s: not a directory\n", arg); // a file, but no ISO image
        return EXIT_ERROR;
    }
    pass_log = verbose;
    std::string keep = absolute_path(arg, IDX_PATH_SIZE); // create_idx hands this string to its thread
    double start = get_seconds();
    float max_throughput = 0;
    interrupted = 0;
    struct sigaction sa {}, old_sa{};
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, &old_sa);
    // The progress line goes where a person watches: the terminal, and never into a report file.
    FILE *progress = isatty(fileno(out)) ? out : isatty(fileno(err)) ? err : nullptr;
    bool aborted = false;
    if (create_idx(keep.c_str()) == -1)
        fprintf(out, "ERROR: Can not initialize indexscan !\n");
    else
        fprintf(out, "Scanning ...\n");
    fflush(out);
    int status;
    int ticks = 0;
    while ((status = status_idx()) == 1) {
        if (interrupted && !aborted) {
            aborted = true;
            if (progress) fputc('\n', progress);
            fprintf(out, cancel_idx() == -1 ? "Cancel failed!\n" : "Scan aborted!\n");
            while (status_idx() == 1) os_sleep_ms(10);
            continue;
        }
        // The run's end is noticed within 5 ms; throughput is sampled every 20 ms and
        // the progress line redrawn every 200 ms.
        if (ticks++ % 4 == 0) {
            float tp = cur_throughput.load(std::memory_order_relaxed);
            if (tp > max_throughput) max_throughput = tp;
            if (progress && ticks % 40 == 1)
                show_progress(progress, total_bytes_read.load(std::memory_order_relaxed),
                              total_bytes.load(std::memory_order_relaxed), tp,
                              static_cast<int>(get_seconds() - start));
        }
        os_sleep_ms(5);
    }
    sigaction(SIGINT, &old_sa, nullptr);
    double elapsed = get_seconds() - start;
    int s = static_cast<int>(elapsed);
    double average = elapsed > 0 ? static_cast<double>(total_bytes_read.load()) / elapsed : 0.0;
    if (progress && !aborted) {
        if (status == 2) {
            uint64_t total = total_bytes.load();
            show_progress(progress, total, total, static_cast<float>(average), s);
        }
        fputc('\n', progress);
    }
    if (status == 2) {
        // A run shorter than one sampling interval has no sample; its average is its best rate.
        double maximum = std::max(static_cast<double>(max_throughput), average);
        fprintf(out, "Index complete ! :-)\n");
        fprintf(out, "----------------------------------------------\n");
        fprintf(out, "Statistics:\n");
        fprintf(out, "  Time for Scan: %d:%02d\n", s / 60, s % 60);
        fprintf(out, "  total files: %d \n", num_files.load());
        fprintf(out, "  average throughput: %.2f MB/s\n", average / MB);
        fprintf(out, "  maximum throughput: %.2f MB/s\n", maximum / MB);
        fprintf(out, " unique words: %d; text processed: %d; total words: %d \n",
                static_cast<int>(static_cast<uint32_t>(unique_words.load())),
                static_cast<int>(static_cast<uint32_t>(text_processed.load())),
                static_cast<int>(static_cast<uint32_t>(total_words.load())));
        if (files_capped)
            fprintf(out, "Note: only the first %d files of the folder were indexed.\n", MAX_FILES);
        report_unread(out);
    } else {
        fprintf(out, "SCAN FAILED !\n");
        if (*idx_reason()) fprintf(err, "%s\n", display_name(idx_reason()).c_str());
        // A cancel keeps the index there was; with none, the files read up to the cancel (none
        // when it came while the tree was still being listed) make the index.
        if (cancel_kept == CancelKept::previous)
            fprintf(out, "The previous index is kept unchanged.\n");
        else if (cancel_kept == CancelKept::partial)
            fprintf(out, "The index now holds the first %d of %d files.\n",
                    total_bytes_read.load() > 0 ? cur_fn + 1 : 0, num_files.load());
        report_unread(out);
    }
    if (aborted) return EXIT_INTERRUPTED;
    if (status == 2 && (unread_count > 0 || files_capped)) return EXIT_INCOMPLETE;
    return status == 2 ? EXIT_MATCH : EXIT_FAILED;
}

// ---- Search ----

// Named entities a page may use for the characters of Latin-1 and a few common others.
struct Entity {
    const char *name;
    unsigned cp;
};
static const char *const LATIN1_NAMES[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",
    "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",
    "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12",
    "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde",
    "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",
    "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",
    "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};
static const Entity OTHER_ENTITIES[] = {
    {"quot", 34},     {"amp", 38},      {"apos", 39},     {"lt", 60},       {"gt", 62},
    {"euro", 0x20AC}, {"ndash", 0x2013}, {"mdash", 0x2014}, {"lsquo", 0x2018}, {"rsquo", 0x2019},
    {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"bull", 0x2022}, {"hellip", 0x2026}, {"trade", 0x2122}};

// The code point of the entity body between '&' and ';' ("amp", "#228", "#xE4"), or 0.
static unsigned entity_code(const std::string &body) {
    if (body.size() > 1 && body[0] == '#') {
        bool hex = body[1] == 'x' || body[1] == 'X';
        const char *digits = body.c_str() + (hex ? 2 : 1);
        if (!*digits) return 0;
        char *end;
        unsigned long cp = strtoul(digits, &end, hex ? 16 : 10);
        bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        return *end || cp == 0 || cp > 0x10FFFF || surrogate ? 0 : static_cast<unsigned>(cp);
    }
    for (int i = 0; i < 96; i++)
        if (body == LATIN1_NAMES[i]) return 0xA0u + static_cast<unsigned>(i);
    for (const Entity &e : OTHER_ENTITIES)
        if (body == e.name) return e.cp;
    return 0;
}

// A markup excerpt (already UTF-8) as the text a browser shows. The window may start inside a
// tag ("...class=x>text") or end inside one ("text</p"): both fragments are dropped.
static std::string markup_text(const std::string &s) {
    std::string out;
    size_t i = 0;
    size_t first_lt = s.find('<'), first_gt = s.find('>');
    if (first_gt != std::string::npos && first_gt < first_lt) i = first_gt + 1;
    while (i < s.size()) {
        char c = s[i];
        if (c == '<') {
            size_t close = s.find('>', i);
            if (close == std::string::npos) break;
            out += ' '; // a tag separates words like a space; runs of spaces are folded below
            i = close + 1;
        } else if (c == '&') {
            size_t semi = s.find(';', i);
            unsigned cp = semi != std::string::npos && semi - i <= 9 ? entity_code(s.substr(i + 1, semi - i - 1)) : 0;
            if (cp) {
                append_utf8(out, cp);
                i = semi + 1;
            } else {
                out += c;
                i++;
            }
        } else {
            out += c;
            i++;
        }
    }
    return out;
}

// One line per query word that found nothing, saying why, after the match count. The words
// were looked up in Latin-1; the lines go to a UTF-8 terminal.
static void print_word_reasons(FILE *err) {
    for (const QueryWordInfo &w : query_words()) {
        if (w.state == QueryWordState::found && w.files > 0) continue;
        std::string line;
        for (unsigned char c : query_word_reason(w)) append_utf8(line, c);
        fprintf(err, "%s\n", line.c_str());
    }
}

// Tabs, line breaks and other control characters (C0, DEL and the C1 range, which terminals may
// act on) become spaces; in markup, runs of spaces become one, as a browser shows them.
static std::string spaces_for_controls(const std::string &s, bool fold) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        bool control = c < 0x20 || c == 0x7F;
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            control = true; // U+0080 to U+009F
            i++;
        }
        char ch = control ? ' ' : static_cast<char>(c);
        if (fold && ch == ' ' && !out.empty() && out.back() == ' ') continue;
        out += ch;
    }
    return out;
}

std::string display_excerpt(const char *text, bool markup) {
    static const char SEP[] = " ... ";
    std::string all = text, result;
    for (size_t start = 0; start < all.size();) {
        size_t sep = all.find(SEP, start);
        size_t end = sep == std::string::npos ? all.size() : sep;
        std::string piece = excerpt_to_display(all.substr(start, end - start));
        if (markup) piece = markup_text(piece);
        piece = spaces_for_controls(piece, markup);
        if (markup) {
            // What a tag cut at either edge leaves is a space, which the separator has already.
            size_t a = piece.find_first_not_of(' '), b = piece.find_last_not_of(' ');
            piece = a == std::string::npos ? "" : piece.substr(a, b - a + 1);
        }
        result += piece;
        if (sep == std::string::npos) break;
        result += SEP;
        start = sep + 5;
    }
    return result;
}

// The content kind of a listed file, as detection sees its first block; 0 when unreadable. The
// engine has seen it when it made the excerpt; otherwise the file is looked at here.
static int excerpt_kind(const char *path) {
    if (int k = result_kind(); k != KIND_UNKNOWN) return k;
    static std::vector<char> buf(READ_SIZE);
    int fd = os_open(path, 0);
    if (fd < 0) return 0;
    long n = os_read_at(fd, buf.data(), READ_SIZE, 0);
    os_close(fd);
    return n > 0 ? detect_type(buf.data(), static_cast<int>(n)) : 0;
}

struct SearchOptions {
    bool excerpts = true;    // third column
    bool files_only = false; // -l: paths only
    bool null_end = false;   // -0: NUL after each path or row
    bool raw = false;        // rows as the engine gives them
};

static int cmd_search(const std::vector<std::string> &words, const SearchOptions &o, FILE *out, FILE *err) {
    if (read_idx() != 0) {
        fprintf(err, "No index loaded\n");
        if (*idx_reason()) fprintf(err, "%s\n", display_name(idx_reason()).c_str());
        return EXIT_ERROR;
    }
    std::string text;
    for (size_t i = 0; i < words.size(); i++) {
        if (i) text += ' ';
        text += to_latin1(words[i]);
    }
    query_idx(text.c_str());
    char *path;
    char *excerpt = nullptr;
    int freq;
    int rows = 0;
    bool excerpts = o.excerpts && !o.files_only;
    char end = o.null_end ? '\0' : '\n';
    while (next_result(&path, &freq, excerpts ? &excerpt : nullptr) == 0) {
        if (freq == 0) continue;
        rows++;
        // A name may hold anything but NUL and '/': outside --raw and -0 its control characters
        // are shown escaped, so that none can act on the terminal or fake a row.
        std::string shown = o.raw || o.null_end ? std::string(path) : display_name(path);
        if (o.files_only) {
            fputs(shown.c_str(), out);
            fputc(end, out);
            continue;
        }
        if (o.raw && freq < 0)
            fprintf(out, "> %d\t", -freq);
        else
            fprintf(out, freq < 0 ? "%d+\t" : "%d\t", freq < 0 ? -freq : freq);
        fputs(shown.c_str(), out);
        if (excerpts) {
            fputc('\t', out);
            if (o.raw)
                fputs(excerpt, out);
            else
                fputs(display_excerpt(excerpt, excerpt_kind(path) == KIND_MARKUP).c_str(), out);
        }
        fputc(end, out);
    }
    fflush(out);
    fprintf(err, "%d matches found !\n", rows);
    print_word_reasons(err);
    return rows > 0 ? EXIT_MATCH : EXIT_NONE;
}

// ---- Arguments ----

enum Opt { OPT_NO_EXCERPTS = 256, OPT_RAW };

static const struct option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"index-dir", required_argument, nullptr, 'd'},
    {"verbose", no_argument, nullptr, 'v'},
    {"no-excerpts", no_argument, nullptr, OPT_NO_EXCERPTS},
    {"files-with-matches", no_argument, nullptr, 'l'},
    {"null", no_argument, nullptr, '0'},
    {"raw", no_argument, nullptr, OPT_RAW},
    {nullptr, 0, nullptr, 0},
};

static int usage_error(FILE *err, const std::string &what) {
    // The synopsis only: the whole help would push the message itself off the screen.
    fprintf(err, "olmarest-cli: %s\n%.*sTry 'olmarest-cli --help' for more.\n", what.c_str(),
            static_cast<int>(strstr(USAGE, "\n\n") + 1 - USAGE), USAGE);
    return EXIT_ERROR;
}

// Output that could not be written (a full disk, /dev/full) must not pass for success.
static int check_output(FILE *out, FILE *err, int code) {
    errno = 0;
    bool flushed = fflush(out) == 0;
    if (flushed && !ferror(out)) return code;
    // errno is the flush's only when the flush failed; an earlier failed write left ferror alone.
    int e = flushed ? 0 : errno;
    fprintf(err, "olmarest-cli: cannot write the output: %s\n", e ? strerror(e) : "write error");
    return EXIT_ERROR;
}

static int run(int argc, char **argv, FILE *out, FILE *err) {
    std::vector<std::string> args; // the command and its operands, in order
    const char *dir = nullptr;
    bool help = false, version = false, verbose = false;
    SearchOptions so;
    std::string search_only; // the first search option seen, for the message when index gets it
    // A leading '-' returns operands in place, so options may follow words whatever
    // POSIXLY_CORRECT says; "--" still ends the options. optind = 0 starts getopt afresh.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "-:hVd:vl0", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
        case 1: args.push_back(optarg); break;
        case 'h': help = true; break;
        case 'V': version = true; break;
        case 'd': dir = optarg; break;
        case 'v': verbose = true; break;
        case OPT_NO_EXCERPTS: so.excerpts = false; search_only = "--no-excerpts"; break;
        case 'l': so.files_only = true; search_only = "--files-with-matches"; break;
        case '0': so.null_end = true; search_only = "--null"; break;
        case OPT_RAW: so.raw = true; search_only = "--raw"; break;
        case ':': return usage_error(err, std::string("option needs a value: ") + argv[optind - 1]);
        default:
            if (optopt && optopt != '?')
                return usage_error(err, std::string("unknown option: -") + static_cast<char>(optopt));
            return usage_error(err, std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    for (int i = optind; i < argc; i++) args.push_back(argv[i]);
    if (help) {
        fputs(USAGE, out);
        return EXIT_MATCH;
    }
    if (version) {
        fprintf(out, "olmarest-cli %s\n", OLMAREST_VERSION);
        return EXIT_MATCH;
    }
    if (args.empty()) return usage_error(err, "no command given");
    std::string cmd = args[0];
    args.erase(args.begin());
    if (cmd != "index" && cmd != "search") return usage_error(err, "unknown command '" + cmd + "'");
    if (cmd == "index" && !search_only.empty()) return usage_error(err, search_only + " is an option of search");
    if (cmd == "search" && verbose) return usage_error(err, "--verbose is an option of index");
    if (cmd == "index" && args.size() != 1) return usage_error(err, "index takes one PATH");
    if (cmd == "search" && args.empty()) return usage_error(err, "search needs at least one word");
    std::string why;
    if (choose_idx_dir(dir, &why) != 0) {
        fprintf(err, "olmarest-cli: %s\n", why.c_str());
        return EXIT_ERROR;
    }
    if (cmd == "index") return cmd_index(args[0].c_str(), verbose, out, err);
    return cmd_search(args, so, out, err);
}

int cli_run(int argc, char **argv, FILE *out, FILE *err) {
    int code = run(argc, argv, out, err);
    return check_output(out, err, code);
}
