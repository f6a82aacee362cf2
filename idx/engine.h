// The engine's face to the front ends (olmarest-cli, the desktop program and the front-end core
// they share): the index lifecycle (create, watch, cancel, load), what a run shows while it runs
// and reports when it ends, and queries with their result listing. With idx/kinds.h and
// idx/idxdir.h (where the index lives) it is all of idx/ that a front end includes.
//
// Threading contract. There is one index per process and one indexing thread per run. While
// status_idx() answers IDX_ACTIVE the UI thread may only call status_idx(), cancel_idx() and
// progress(); everything else belongs to the indexing thread until status_idx() has seen it end.
#ifndef OLMAREST_IDX_ENGINE_H
#define OLMAREST_IDX_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "idx/kinds.h"

constexpr int IDX_PATH_SIZE = 260; // bytes kept for the indexed path
constexpr int MAX_FILES = 65536;   // file numbers are stored in 16 bits

// ---- Lifecycle ----

// What status_idx answers.
enum IdxStatus {
    IDX_ACTIVE = 1, // a run is active
    IDX_DONE = 2,   // the last run succeeded
    IDX_NONE = 3,   // the last run failed or was cancelled, or there was none
};

// Starts a run over path (shorter than IDX_PATH_SIZE bytes; kept alive by the caller while the run
// is active). Returns -1 when refused (reason in idx_reason()), else the bytes in use after set-up.
int create_idx(const char *path);
// The formats (FORMAT_*, idx/kinds.h) that runs and excerpts decode; FORMATS_ALL until set, 0 reads
// files as they always were. Not while a run is active.
void set_formats(unsigned formats);
// A comma-separated list of format names ("gzip", "utf16", "office", "pdf"), "all" or "none" as a set of formats;
// false when a name is unknown.
bool parse_formats(const char *list, unsigned *formats);
int status_idx();  // an IdxStatus
int cancel_idx();  // 0 when a stop was requested, -1 when no run is active
// Loads idx.dat from the index directory and rebuilds the file table: 0, or -1 with a reason. A
// load takes no lock: a run only ever renames a finished file over idx.dat.
int read_idx();

// Why the last create_idx, run or read_idx failed ("" when it did not). UI may read after the run.
const char *idx_reason();
// Whether the last run ended because it was cancelled (its status is then IDX_NONE).
bool idx_cancelled();
// What a cancelled run left as idx.dat: the index that was there before it, untouched, or, when
// there was none, the index of the files read before the cancel. Set when the indexing thread
// ends (none for a run that was not cancelled); read once status_idx() is no longer IDX_ACTIVE.
enum class CancelKept { none, previous, partial };
extern CancelKept cancel_kept;
// After a run: the files whose data it read to the end or into, in table order.
int files_indexed();
extern bool idx_loaded; // read_idx succeeded and nothing has replaced the index since
// The path the loaded index was made of ("" when none is loaded).
const char *indexed_path();

// Whether path names something to index: an existing directory, an ISO 9660 image file, or a
// path inside one (which need not exist in it: the run then finds no file). The windows and the
// command line ask this before they start a run ("Please enter a valid pathname !").
bool valid_index_path(const char *path);

// ---- The volume of the loaded index ----

// What was indexed: a folder, a disc (a mounted optical or ISO 9660 volume), or an image file.
enum class VolumeKind { folder = 0, disc = 1, image = 2 };
struct IndexVolume {
    VolumeKind kind = VolumeKind::folder;
    std::string path;      // the indexed path as the run was given it
    std::string label;     // the volume identifier of a disc or image; a folder's last component
    std::string where;     // where it was: the folder, the image file, the disc's mount point
    std::string found_at;  // where it is now: its root path; "" when it is absent
    bool catalogued = false; // loaded from the catalogue, without walking the tree
    int files = 0;
    uint64_t total_bytes = 0;
    int64_t made = 0;      // when the run ended (seconds since 1970); 0 when unknown
};
// The loaded index's volume (after read_idx).
const IndexVolume &index_volume();
// Where a moved folder or image is now, tried before the stored place at the next read_idx ("" to
// forget it). A disc is found by its identity wherever it is mounted.
void set_volume_hint(const char *path);
// The name a volume goes by: a disc's or image's volume identifier (the image's file name when it
// has none), else the folder's last component.
std::string volume_label(const char *path);
// Why the last read_idx walked the tree although a catalogue lay beside idx.dat ("" when it did
// not): a damaged catalogue, or one that belongs to another idx.dat ("refresh needed").
const char *load_note();
// After a catalogued load of a folder: how many of its directories changed (files added or
// removed) or are gone since the run; -1 when the folder is absent or the load walked it anyway.
int changed_directories();

// ---- What a run shows ----

// The values a front end may read while a run is active (and after it), each read atomically.
struct Progress {
    int files;               // files in the table
    uint64_t total_bytes;    // bytes the run must account for
    uint64_t bytes_read;     // bytes accounted so far
    float throughput;        // bytes per second
    uint64_t unique_words;   // word entries created in this run
    uint64_t total_words;    // words of 4+ letters seen
    uint64_t text_processed; // bytes of their stems
};
Progress progress();
// Whether the last run's tree held more than MAX_FILES files (more than its slice), the rest left
// out. After the run.
bool table_capped();
// A run over one part of a folder too large for one index: its table holds files first to
// first + count - 1 of the tree in walk order (count at most MAX_FILES); a disc's or image's table
// is never split. (0, MAX_FILES) until set. Not while a run is active.
void set_run_slice(int first, int count);
// After a run that failed because its index file filled up: how many files of its table fitted
// wholly (those before the one whose words did not fit); -1 when it did not fail that way.
int files_that_fit();

double get_seconds(); // seconds since the first call: the clock of every figure a run shows

// Whether the read driver writes one "%d %.2f" line per pass to standard error (default on).
extern bool pass_log;

// What the last run left out of its index: files it could not read (gone, refused when opened, a
// read the device failed, the blocks before it indexed, or data past the end of a cut image),
// folders the walk could not list, and paths too long for it. The run still succeeds; its report
// names them. Written by the indexing thread, cleared when an enumeration starts; read them once
// status_idx() is no longer IDX_ACTIVE.
constexpr int UNREAD_NAMED = 5; // how many are kept by name
struct UnreadFile {
    std::string path; // full path
    int error;        // the platform's code of the call that failed (os_error_text)
    bool folder;      // a folder whose files are all left out
};
extern int unread_count;                     // files and folders left out, all of them
extern std::vector<UnreadFile> unread_files; // the first UNREAD_NAMED of them, in the order met

// Receives the text of every assertion report of the engine. Standard error by default; the
// desktop program routes it to a message box.
using ReportHook = void (*)(const char *text);
void set_report_hook(ReportHook hook); // null restores standard error

// ---- Queries ----

// Evaluates up to three words of text (NUL-terminated, the index's Latin-1) and ranks the matching
// files.
int query_idx(const char *text);
// query_idx over words as people type them, joined by spaces: each word in UTF-8 is taken to the
// index's Latin-1 first (a word that is no valid UTF-8 is taken as the bytes it is).
int query_typed(const std::vector<std::string> &words);
// Delivers the next file: its path, its frequency (negative when a count reached 63) and, when
// text is not null, its first-occurrence excerpts. 0, or -1 at the end of the list. The listing
// is gone through twice, paths first, then excerpts: a call with text not null that follows one
// with text null starts again at the first file. The strings stay valid until the next call.
int next_result(char **path, int *freq, char **text);
// For an index of a disc or an image that is present: reads the blocks that the excerpts of the
// listing's first `rows` results will need, all at once in disc order (one forward sweep, reads overlapping),
// so that next_result then takes them from memory instead of seeking once per row. Up to
// AHEAD_BLOCKS blocks; the rest are read as next_result needs them. Nothing for a folder.
constexpr int AHEAD_BLOCKS = 512;
void read_excerpts_ahead(int rows);
// The excerpts of the last next_result asked for with text, wider: about a line around each hit
// (up to 24 bytes before the word and 80 after it, within the block read), for a front end. The same
// " ... " between hits; valid until the next call.
const char *result_context();
// The file number of the file of the last next_result: it names the file to read_listed_file as
// long as the same index stays loaded.
unsigned result_file();
// Hands every byte of a listed file to sink, in order, read as excerpts read it: by name, or from
// its disc or image when the index was made of one (a file inside an image can then be opened from
// a copy). False when it could not be read whole or sink answered false. Between runs.
bool read_listed_file(unsigned file_num, const std::function<bool(const char *data, size_t n)> &sink);
// Whether the file of the last next_result is as the run saw it: its size and time unchanged
// (fresh), different (changed), no longer there (gone), or on a volume that is not present
// (absent: neither read nor excerpted).
enum class ResultState { fresh, changed, gone, absent };
ResultState result_state();
// The ranking key of the file of the last next_result: query words it holds times 64, plus its
// frequency capped at 63. Results come in falling key order, then by file number.
int result_rank();
// The content kind (KIND_*) of the file of the last next_result, as its first block showed it (for
// a compressed or UTF-16 file, that of its decoded text: KIND_TEXT or KIND_MARKUP, once an excerpt
// was asked for); with a catalogue the kind the run detected, else KIND_UNKNOWN until an excerpt
// looked at the file's data.
int result_kind();

// The letters of text as the tokenizers read them, folded and upper case in the index's Latin-1
// (so "München" and "M\xfcnchen" both give "MÜNCHEN", "café" "CAFE"); separators give nothing.
std::string folded_letters(const std::string &text);

// Why each query word found what it found.
enum class QueryWordState {
    found,       // postings in `files` files
    stop_word,   // on the stop list: never indexed
    too_common,   // was in more than 1,785 files and dropped: is_stop set with nbuckets not 0
    not_indexed,  // no such word in the index
    too_short,    // fewer than 4 letters: never looked up
    beyond_third, // after the third word: never looked up
    number,       // digits only: never indexed
    damaged       // its postings in idx.dat are damaged: it found nothing
};

struct QueryWordInfo {
    std::string typed;    // the word's bytes as they stand in the query text
    std::string stem;     // what was looked up: folded, stemmed (folded only when too short)
    QueryWordState state;
    int files;            // files listed for it (found)
    bool digit_next;      // a digit stands right before or after it in the query text
    bool foreign_next;    // so does a character beyond ASCII that is no letter here (æ, ×, ...)
    int at;               // where it begins in the query text
};

// Every word of the last query_idx, in the order typed; empty before the first query.
const std::vector<QueryWordInfo> &query_words();
// One line for a word, e.g. "memory: in more than 1,785 files, too common to be indexed". The typed
// word is copied as it is; the rest is ASCII.
std::string query_word_reason(const QueryWordInfo &w);

#endif
