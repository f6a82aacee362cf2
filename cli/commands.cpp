#include "cli/commands.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#include "front/display.h"
#include "front/library.h"
#include "front/path.h"
#include "front/report.h"
#include "idx/engine.h"
#include "idx/idxdir.h"
#include "os/os.h"

static const char USAGE[] =
    "Usage: olmarest-cli [-d DIR] index [--verbose] [--no-stopwords] [--formats=LIST] PATH\n"
    "       olmarest-cli [-d DIR] search [--no-excerpts | -l [-0]] [--raw] WORD...\n"
    "       olmarest-cli search [--library | -e NAME...] [options] WORD...\n"
    "       olmarest-cli add [--name NAME] [--no-stopwords] [--formats=LIST] PATH\n"
    "       olmarest-cli list | refresh [NAME...] | rename NAME NEW | remove NAME | locate NAME PATH\n"
    "       olmarest-cli --help | --version\n"
    "\n"
    "index   builds the index of every file below PATH: a directory, an ISO 9660 image or a\n"
    "        directory inside one (disc.iso/docs)\n"
    "search  lists the files holding any of up to three words, best first, one row each:\n"
    "        frequency, tab, path, tab, excerpt (\"63+\": a word occurs 63 times or more); over\n"
    "        several indexes a volume column follows the frequency. Without -d, $OLMAREST_DIR or\n"
    "        -e it searches the per-user index and every library entry\n"
    "add     indexes PATH into a new library entry, named after its volume or folder\n"
    "list    the library's entries: name, kind, files, size, date, present or absent\n"
    "refresh indexes entries (all when none is named) again from where their volume is now\n"
    "locate  tells an entry where its moved folder or image is now\n"
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
    "  -e, --entry NAME           search: this library entry (again for more)\n"
    "      --library              search: every library entry (and the per-user index)\n"
    "      --name NAME            add: the entry's name\n"
    "\n"
    "Options may stand anywhere before \"--\". Exit status: search 0 when a file was listed, 1 when\n"
    "none, 2 when an index could not be read (the others are still searched); index, add and\n"
    "refresh 0 when the index is complete, 3 when it is complete but files or folders were left\n"
    "out (named in the report), 1 when the run failed, 130 when interrupted; 2 for bad usage and\n"
    "errors (no index, a damaged or outdated one, output that could not be written).\n";

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

// part: the run makes one part of a library entry, whose tree may hold more files than the part.
static int cmd_index(const char *arg, bool verbose, FILE *out, FILE *err, bool part = false) {
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
        for (const std::string &line : complete_report(elapsed, max_throughput))
            if (!part || line.rfind("Note: only the first", 0) != 0) fprintf(out, "%s\n", line.c_str());
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
    if (status == IDX_DONE && (unread_count > 0 || (table_capped() && !part))) return EXIT_INCOMPLETE;
    return status == IDX_DONE ? EXIT_MATCH : EXIT_FAILED;
}

// ---- Search ----

struct SearchOptions {
    bool excerpts = true;    // third column
    bool files_only = false; // -l: paths only
    bool null_end = false;   // -0: NUL after each path or row
    bool raw = false;        // rows as the engine gives them
};

// What a person does about rows that are not as the run saw them.
static void stale_note(FILE *err, const IndexVolume &v, int rows) {
    if (v.found_at.empty())
        fprintf(err, "%d of the files listed are on %s, which is not present\n", rows, escaped_name(v.label).c_str());
    else
        fprintf(err, "%d of the files listed changed or are gone since they were indexed; index again to refresh\n",
                rows);
}

static int cmd_search(const std::vector<std::string> &words, const SearchOptions &o, FILE *out, FILE *err) {
    if (read_idx() != 0) {
        fprintf(err, "No index loaded\n");
        if (*idx_reason()) fprintf(err, "%s\n", escaped_name(idx_reason()).c_str());
        return EXIT_ERROR;
    }
    query_typed(words);
    if (o.excerpts && !o.files_only) read_excerpts_ahead(MAX_FILES);
    char *path;
    char *excerpt = nullptr;
    int freq;
    int rows = 0, stale = 0;
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
            // A file that is no longer as the run saw it says so before its excerpt.
            ResultState state = result_state();
            if (state != ResultState::fresh) {
                stale++;
                fputs(state_note(state, index_volume()).c_str(), out);
            }
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
    if (stale > 0) stale_note(err, index_volume(), stale);
    return rows > 0 ? EXIT_MATCH : EXIT_NONE;
}

// ---- The library ----

// Searches several indexes and merges their rows; the volume column shows when more than one was
// searched.
static int cmd_search_library(const std::vector<std::string> &entries, const std::vector<std::string> &words,
                              const SearchOptions &o, FILE *out, FILE *err) {
    bool excerpts = o.excerpts && !o.files_only;
    LibrarySearch s = search_entries(entries, words, excerpts);
    for (const auto &[name, why] : s.failed)
        fprintf(err, "olmarest-cli: %s: %s\n", name.empty() ? "the index" : escaped_name(name).c_str(),
                escaped_name(why).c_str());
    bool volume_column = s.entries.size() > 1;
    char end = o.null_end ? '\0' : '\n';
    int stale = 0;
    for (const LibraryRow &r : s.rows) {
        std::string shown = o.raw || o.null_end ? r.path : escaped_name(r.path);
        if (o.files_only) {
            fputs(shown.c_str(), out);
            fputc(end, out);
            continue;
        }
        if (o.raw && r.freq < 0)
            fprintf(out, "> %d\t", -r.freq);
        else
            fprintf(out, r.freq < 0 ? "%d+\t" : "%d\t", r.freq < 0 ? -r.freq : r.freq);
        if (volume_column) fprintf(out, "%s\t", o.raw ? r.volume.c_str() : escaped_name(r.volume).c_str());
        fputs(shown.c_str(), out);
        if (excerpts) {
            fputc('\t', out);
            if (r.state != ResultState::fresh) {
                stale++;
                fputs(state_note(r, s.volumes[r.entry]).c_str(), out);
            }
            fputs(o.raw ? r.excerpt.c_str() : display_excerpt(r.excerpt.c_str(), r.kind == KIND_MARKUP).c_str(), out);
        }
        fputc(end, out);
    }
    fflush(out);
    fprintf(err, "%d matches found !\n", static_cast<int>(s.rows.size()));
    for (const QueryWordInfo &w : s.words)
        if (w.state != QueryWordState::found || w.files == 0) fprintf(err, "%s\n", query_word_reason(w).c_str());
    if (stale > 0)
        fprintf(err, "%d of the files listed are not as they were indexed: see their notes; "
                     "olmarest-cli refresh updates an entry\n", stale);
    if (!s.failed.empty()) return EXIT_ERROR;
    return s.rows.empty() ? EXIT_NONE : EXIT_MATCH;
}

static std::string human_size(uint64_t bytes) {
    char text[32];
    if (bytes < 1024 * 1024)
        snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    else if (bytes < uint64_t{1} << 30)
        snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / MB);
    else
        snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / (MB * 1024.0));
    return text;
}

static const char *kind_name(VolumeKind k) {
    return k == VolumeKind::disc ? "disc" : k == VolumeKind::image ? "image" : "folder";
}

static int cmd_list(FILE *out, FILE *err) {
    std::vector<std::string> names = library_names();
    if (names.empty()) {
        fprintf(err, "The library is empty: add a folder, disc or image with olmarest-cli add PATH\n");
        return EXIT_NONE;
    }
    size_t width = 4;
    for (const std::string &n : names) width = std::max(width, escaped_name(n).size());
    fprintf(out, "%-*s  %-6s  %7s  %10s  %-16s  %s\n", static_cast<int>(width), "NAME", "KIND", "FILES", "SIZE", "DATE",
            "WHERE");
    bool bad = false;
    for (const std::string &n : names) {
        LibraryEntry e = describe_entry(n);
        std::string shown = escaped_name(n);
        if (!e.loads) {
            bad = true;
            fprintf(out, "%-*s  unreadable: %s\n", static_cast<int>(width), shown.c_str(), escaped_name(e.problem).c_str());
            continue;
        }
        char date[32] = "-";
        if (e.volume.made > 0) {
            time_t t = static_cast<time_t>(e.volume.made);
            struct tm tm {};
            localtime_r(&t, &tm);
            strftime(date, sizeof date, "%Y-%m-%d %H:%M", &tm);
        }
        std::string where = e.volume.found_at.empty() ? "absent (was " + escaped_name(e.volume.where) + ")"
                                                      : "present at " + escaped_name(e.volume.found_at);
        // A folder's directory whose time moved has had files added or removed since the run.
        if (e.changed_dirs > 0)
            where += "; files added or removed in " + std::to_string(e.changed_dirs) +
                     (e.changed_dirs == 1 ? " folder" : " folders") + " since (refresh it)";
        fprintf(out, "%-*s  %-6s  %7d  %10s  %-16s  %s\n", static_cast<int>(width), shown.c_str(),
                kind_name(e.volume.kind), e.volume.files, human_size(e.volume.total_bytes).c_str(), date,
                where.c_str());
    }
    return bad ? EXIT_ERROR : EXIT_MATCH;
}

// Indexes path into the entry, part after part (EntryRuns), dropping its stop list when asked to.
static int index_into_entry(const std::string &name, const std::string &path, bool verbose, bool no_stopwords,
                            FILE *out, FILE *err) {
    if (no_stopwords) os_remove((entry_dir(name) + "/stopwords.txt").c_str());
    EntryRuns runs(name);
    int worst = EXIT_MATCH;
    for (;;) {
        runs.prepare();
        int r = cmd_index(path.c_str(), verbose, out, err, true);
        if (status_idx() == IDX_DONE && r != EXIT_MATCH) worst = r;
        if (!runs.next()) {
            if (status_idx() != IDX_DONE) return r;
            break;
        }
        if (runs.refitted())
            fprintf(out, "The index filled up after %d files: part %d is made again with them, and the "
                         "next part goes on from there.\n", runs.fitted(), runs.part());
    }
    if (runs.part() > 1) fprintf(out, "%d files indexed in %d parts.\n", runs.files(), runs.part());
    return worst;
}

static int cmd_add(const std::string &arg, const std::string &given_name, bool verbose, bool no_stopwords, FILE *out,
                   FILE *err) {
    std::string path = normalize_path(arg);
    if (path.empty() || !valid_index_path(path.c_str())) return cmd_index(arg.c_str(), verbose, out, err);
    if (std::string had = entry_of_path(path); !had.empty()) {
        fprintf(err, "olmarest-cli: %s is in the library already, as '%s' (olmarest-cli refresh %s)\n",
                escaped_name(path).c_str(), escaped_name(had).c_str(), escaped_name(had).c_str());
        return EXIT_ERROR;
    }
    std::string name = given_name.empty() ? new_entry_name(volume_label(path.c_str())) : given_name;
    std::string why;
    if (make_entry(name, &why) != 0) {
        fprintf(err, "olmarest-cli: %s\n", escaped_name(why).c_str());
        return EXIT_ERROR;
    }
    int r = index_into_entry(name, path, verbose, no_stopwords, out, err);
    uint64_t dev, ino;
    if (!os_path_id((entry_dir(name) + "/idx.dat").c_str(), &dev, &ino)) {
        remove_entry(name, &why); // nothing was indexed: no entry is left behind
        return r;
    }
    fprintf(out, "Added to the library as '%s'.\n", escaped_name(name).c_str());
    return r;
}

static int cmd_refresh(std::vector<std::string> names, bool verbose, FILE *out, FILE *err) {
    if (names.empty()) names = library_names();
    int worst = EXIT_MATCH;
    for (const std::string &name : names) {
        std::string why;
        if (load_entry(name, &why) != 0) {
            fprintf(err, "olmarest-cli: %s: %s\n", escaped_name(name).c_str(), escaped_name(why).c_str());
            worst = EXIT_ERROR;
            continue;
        }
        IndexVolume v = index_volume();
        if (v.found_at.empty()) {
            fprintf(err, "olmarest-cli: %s: %s is not present (insert the disc, or olmarest-cli locate %s PATH)\n",
                    escaped_name(name).c_str(), escaped_name(v.where).c_str(), escaped_name(name).c_str());
            worst = EXIT_ERROR;
            continue;
        }
        // The indexed path, moved with its volume: the part below where the volume was stays.
        std::string path = v.path;
        if (v.found_at != v.where && path.compare(0, v.where.size(), v.where) == 0)
            path = v.found_at + path.substr(v.where.size());
        fprintf(out, "Refreshing '%s' from %s\n", escaped_name(name).c_str(), escaped_name(path).c_str());
        int r = index_into_entry(name, path, verbose, false, out, err);
        if (status_idx() == IDX_DONE) os_remove((entry_dir(name) + "/location").c_str());
        if (r != EXIT_MATCH && worst != EXIT_ERROR) worst = r;
    }
    return worst;
}

static int cmd_entry_edit(const std::string &cmd, const std::vector<std::string> &args, FILE *out, FILE *err) {
    std::string why;
    int r = -1;
    if (cmd == "rename")
        r = rename_entry(args[0], args[1], &why);
    else if (cmd == "remove")
        r = remove_entry(args[0], &why);
    else
        r = locate_entry(args[0], args[1], &why);
    if (r != 0) {
        fprintf(err, "olmarest-cli: %s\n", escaped_name(why).c_str());
        return EXIT_ERROR;
    }
    if (cmd == "locate") {
        LibraryEntry e = describe_entry(args[0]);
        if (!e.loads || e.volume.found_at.empty()) {
            fprintf(err, "olmarest-cli: %s does not hold the volume '%s' was made of\n", escaped_name(args[1]).c_str(),
                    escaped_name(args[0]).c_str());
            return EXIT_ERROR;
        }
        fprintf(out, "'%s' is at %s\n", escaped_name(args[0]).c_str(), escaped_name(e.volume.found_at).c_str());
    }
    return EXIT_MATCH;
}

// ---- Arguments ----

enum Opt { OPT_NO_EXCERPTS = 256, OPT_RAW, OPT_NO_STOPWORDS, OPT_FORMATS, OPT_LIBRARY, OPT_NAME };

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
    {"entry", required_argument, nullptr, 'e'},
    {"library", no_argument, nullptr, OPT_LIBRARY},
    {"name", required_argument, nullptr, OPT_NAME},
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
    std::vector<std::string> chosen; // -e: library entries to search
    bool whole_library = false;
    std::string entry_name; // --name
    // A leading '-' returns operands in place, so options may follow words whatever
    // POSIXLY_CORRECT says; "--" still ends the options. optind = 0 starts getopt afresh.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "-:hVd:vl0e:", LONG_OPTIONS, nullptr)) != -1) {
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
        case 'e': chosen.push_back(optarg); search_only = "--entry"; break;
        case OPT_LIBRARY: whole_library = true; search_only = "--library"; break;
        case OPT_NAME: entry_name = optarg; break;
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
    static const char *const COMMANDS[] = {"index", "search", "add", "list", "refresh", "rename", "remove", "locate"};
    if (std::find(std::begin(COMMANDS), std::end(COMMANDS), cmd) == std::end(COMMANDS))
        return usage_error(err, "unknown command '" + cmd + "'");
    if (cmd != "search" && !search_only.empty()) return usage_error(err, search_only + " is an option of search");
    if (cmd != "add" && !entry_name.empty()) return usage_error(err, "--name is an option of add");
    bool library_cmd = cmd != "index" && cmd != "search";
    if (library_cmd && dir) return usage_error(err, "the library is per user: -d is for index and search");
    if ((cmd == "add" || cmd == "locate") && args.size() != (cmd == "add" ? 1u : 2u))
        return usage_error(err, cmd + (cmd == "add" ? " takes one PATH" : " takes NAME and PATH"));
    if (cmd == "rename" && args.size() != 2) return usage_error(err, "rename takes NAME and NEW");
    if (cmd == "remove" && args.size() != 1) return usage_error(err, "remove takes one NAME");
    if (cmd == "list" && !args.empty()) return usage_error(err, "list takes no operand");
    if (!chosen.empty() && whole_library) return usage_error(err, "--library and --entry exclude each other");
    bool runs = cmd == "index" || cmd == "add" || cmd == "refresh";
    if (!runs && verbose) return usage_error(err, "--verbose is an option of index");
    if ((!runs || cmd == "refresh") && no_stopwords) return usage_error(err, "--no-stopwords is an option of index");
    if (!runs && formats_given) return usage_error(err, "--formats is an option of index");
    if (cmd == "index" && args.size() != 1) return usage_error(err, "index takes one PATH");
    if (cmd == "search" && args.empty()) return usage_error(err, "search needs at least one word");
    std::string why;
    if (choose_idx_dir(dir, &why) != 0) {
        fprintf(err, "olmarest-cli: %s\n", why.c_str());
        return EXIT_ERROR;
    }
    set_formats(formats);
    if (cmd == "add") return cmd_add(args[0], entry_name, verbose, no_stopwords, out, err);
    if (cmd == "list") return cmd_list(out, err);
    if (cmd == "refresh") return cmd_refresh(args, verbose, out, err);
    if (library_cmd) return cmd_entry_edit(cmd, args, out, err);
    if (cmd == "search") {
        // The library joins the search unless an index directory was named: alone with -e NAME,
        // all of it with --library, else beside the per-user index. With no entries the search is
        // the single index's, as it always was.
        const char *env = getenv("OLMAREST_DIR");
        bool named_dir = (dir && *dir) || (env && *env);
        std::vector<std::string> entries = chosen;
        if (entries.empty() && (whole_library || !named_dir)) {
            std::vector<std::string> all = library_names();
            if (!all.empty() || whole_library) {
                uint64_t dev, ino;
                if (os_path_id(idx_dir_file("idx.dat").c_str(), &dev, &ino)) entries.push_back("");
                entries.insert(entries.end(), all.begin(), all.end());
            }
        }
        if (!entries.empty()) return cmd_search_library(entries, args, so, out, err);
    }
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
