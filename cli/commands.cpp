#include "cli/commands.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#include "front/display.h"
#include "front/path.h"
#include "front/report.h"
#include "idx/engine.h"
#include "idx/idxdir.h"
#include "os/os.h"

static const char USAGE[] =
    "Usage: olmarest-cli [-d DIR] index [--verbose] [--no-stopwords] [--formats=LIST] PATH\n"
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
    "      --no-stopwords         index: give an index directory without stopwords.txt none\n"
    "      --formats=LIST         index: the formats read besides text, markup and MP3 tags, comma-\n"
    "                             separated: gzip, utf16, office, pdf; all (the default) or none\n"
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

// ---- Index ----

static void show_progress(FILE *f, uint64_t done, uint64_t total, float tp, int s) {
    int pct = total ? static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total)) : 100;
    fprintf(f, "\r%3d%%  %.2f MB of %.2f MB  %.2f MB/s  %d:%02d ", pct, static_cast<double>(done) / MB,
            static_cast<double>(total) / MB, static_cast<double>(tp) / MB, s / 60, s % 60);
    fflush(f);
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
    std::string keep = normalize_path(arg); // create_idx hands this string to its thread
    double start = get_seconds();
    float max_throughput = 0;
    interrupted = 0;
    struct sigaction sa {}, old_sa{};
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, &old_sa);
    // The progress line goes where a person watches: the terminal, and never into a report file.
    FILE *progress_to = isatty(fileno(out)) ? out : isatty(fileno(err)) ? err : nullptr;
    bool aborted = false;
    if (create_idx(keep.c_str()) == -1)
        fprintf(out, "ERROR: Can not initialize indexscan !\n");
    else
        fprintf(out, "Scanning ...\n");
    fflush(out);
    int ticks = 0;
    // The run's end is noticed within 5 ms; throughput is sampled every 20 ms and the progress
    // line redrawn every 200 ms.
    int status = wait_run_end(5, [&] {
        if (interrupted && !aborted) {
            aborted = true;
            if (progress_to) fputc('\n', progress_to);
            fprintf(out, cancel_idx() == -1 ? "Cancel failed!\n" : "Scan aborted!\n");
        }
        if (aborted || ticks++ % 4 != 0) return;
        Progress p = progress();
        max_throughput = std::max(max_throughput, p.throughput);
        if (progress_to && ticks % 40 == 1)
            show_progress(progress_to, p.bytes_read, p.total_bytes, p.throughput,
                          static_cast<int>(get_seconds() - start));
    });
    sigaction(SIGINT, &old_sa, nullptr);
    double elapsed = get_seconds() - start;
    Progress p = progress();
    if (progress_to && !aborted) {
        if (status == IDX_DONE) {
            double average = elapsed > 0 ? static_cast<double>(p.bytes_read) / elapsed : 0.0;
            show_progress(progress_to, p.total_bytes, p.total_bytes, static_cast<float>(average),
                          static_cast<int>(elapsed));
        }
        fputc('\n', progress_to);
    }
    if (status == IDX_DONE) {
        for (const std::string &line : complete_report(elapsed, max_throughput)) fprintf(out, "%s\n", line.c_str());
    } else {
        fprintf(out, "SCAN FAILED !\n");
        if (*idx_reason()) fprintf(err, "%s\n", escaped_name(idx_reason()).c_str());
        // A cancel keeps the index there was; with none, the files read up to the cancel (none
        // when it came while the tree was still being listed) make the index.
        if (cancel_kept == CancelKept::previous)
            fprintf(out, "The previous index is kept unchanged.\n");
        else if (cancel_kept == CancelKept::partial)
            fprintf(out, "The index now holds the first %d of %d files.\n", files_indexed(), p.files);
    }
    for (const std::string &line : unread_report()) fprintf(out, "%s\n", line.c_str());
    if (aborted) return EXIT_INTERRUPTED;
    if (status == IDX_DONE && (unread_count > 0 || table_capped())) return EXIT_INCOMPLETE;
    return status == IDX_DONE ? EXIT_MATCH : EXIT_FAILED;
}

// ---- Search ----

struct SearchOptions {
    bool excerpts = true;    // third column
    bool files_only = false; // -l: paths only
    bool null_end = false;   // -0: NUL after each path or row
    bool raw = false;        // rows as the engine gives them
};

static int cmd_search(const std::vector<std::string> &words, const SearchOptions &o, FILE *out, FILE *err) {
    if (read_idx() != 0) {
        fprintf(err, "No index loaded\n");
        if (*idx_reason()) fprintf(err, "%s\n", escaped_name(idx_reason()).c_str());
        return EXIT_ERROR;
    }
    query_typed(words);
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
        std::string shown = o.raw || o.null_end ? std::string(path) : escaped_name(path);
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
                fputs(display_excerpt(excerpt, result_kind() == KIND_MARKUP).c_str(), out);
        }
        fputc(end, out);
    }
    fflush(out);
    fprintf(err, "%d matches found !\n", rows);
    for (const std::string &line : word_reason_lines()) fprintf(err, "%s\n", line.c_str());
    return rows > 0 ? EXIT_MATCH : EXIT_NONE;
}

// ---- Arguments ----

enum Opt { OPT_NO_EXCERPTS = 256, OPT_RAW, OPT_NO_STOPWORDS, OPT_FORMATS };

static const struct option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"index-dir", required_argument, nullptr, 'd'},
    {"verbose", no_argument, nullptr, 'v'},
    {"no-excerpts", no_argument, nullptr, OPT_NO_EXCERPTS},
    {"no-stopwords", no_argument, nullptr, OPT_NO_STOPWORDS},
    {"files-with-matches", no_argument, nullptr, 'l'},
    {"null", no_argument, nullptr, '0'},
    {"raw", no_argument, nullptr, OPT_RAW},
    {"formats", required_argument, nullptr, OPT_FORMATS},
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
    bool help = false, version = false, verbose = false, no_stopwords = false;
    unsigned formats = FORMATS_ALL;
    bool formats_given = false;
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
        case OPT_NO_STOPWORDS: no_stopwords = true; break;
        case OPT_NO_EXCERPTS: so.excerpts = false; search_only = "--no-excerpts"; break;
        case 'l': so.files_only = true; search_only = "--files-with-matches"; break;
        case '0': so.null_end = true; search_only = "--null"; break;
        case OPT_RAW: so.raw = true; search_only = "--raw"; break;
        case OPT_FORMATS:
            if (!parse_formats(optarg, &formats))
                return usage_error(err, std::string("unknown format in --formats=") + optarg +
                                            " (the formats: gzip, utf16, office, pdf, all, none)");
            formats_given = true;
            break;
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
    if (cmd == "search" && no_stopwords) return usage_error(err, "--no-stopwords is an option of index");
    if (cmd == "search" && formats_given) return usage_error(err, "--formats is an option of index");
    if (cmd == "index" && args.size() != 1) return usage_error(err, "index takes one PATH");
    if (cmd == "search" && args.empty()) return usage_error(err, "search needs at least one word");
    std::string why;
    if (choose_idx_dir(dir, &why) != 0) {
        fprintf(err, "olmarest-cli: %s\n", why.c_str());
        return EXIT_ERROR;
    }
    set_formats(formats);
    if (cmd == "index") {
        // Like the per-user directory, any index directory gets the default stop list for its
        // first run, unless the user asks for none.
        if (!no_stopwords) seed_stop_list();
        return cmd_index(args[0].c_str(), verbose, out, err);
    }
    return cmd_search(args, so, out, err);
}

int cli_run(int argc, char **argv, FILE *out, FILE *err) {
    int code = run(argc, argv, out, err);
    return check_output(out, err, code);
}
