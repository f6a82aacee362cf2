// The library: every indexed folder, disc or image remembered as an entry, a directory of the
// per-user library folder holding its own idx.dat, idx.files and stopwords.txt, and searched
// together with the others, present or not. Both programs use it from their UI thread, never
// while a run is active (a search loads each entry's index in turn).
#ifndef OLMAREST_FRONT_LIBRARY_H
#define OLMAREST_FRONT_LIBRARY_H

#include <string>
#include <vector>

#include "idx/engine.h"

// The library folder: user_idx_dir()/library ("" when there is no per-user directory).
std::string library_dir();
// The entries' names, sorted bytewise.
std::vector<std::string> library_names();
// The index directory of an entry.
std::string entry_dir(const std::string &name);

// The index directories of an entry: its own (the first part), then "part2", "part3"... of a
// tree too large for one index, as far as they exist.
std::vector<std::string> entry_parts(const std::string &name);
// The directory of part n (from 1) of an entry.
std::string part_dir(const std::string &name, int n);

// What an entry is, as its index loads now (files and bytes of all its parts).
struct LibraryEntry {
    std::string name;
    IndexVolume volume;   // kind, label, where it was, where it is now, files, bytes, date
    bool loads = false;   // its index could be read
    int parts = 1;
    int changed_dirs = 0; // a present folder's directories whose files were added or removed since
    std::string problem;  // why not ("" when it loads)
};
// Loads the entry's index (its directory becomes the engine's index directory, its location hint
// is applied): 0, or -1 with the reason in *why.
int load_entry(const std::string &name, std::string *why);
LibraryEntry describe_entry(const std::string &name);

// A name for a new entry of that label: the label made safe as a directory name, with " (2)",
// " (3)"... when it is taken.
std::string new_entry_name(const std::string &label);
// Whether name can name an entry: not empty, no '/', not "." or "..", no control characters.
bool valid_entry_name(const std::string &name);
// The entry whose volume was indexed from path, or "".
std::string entry_of_path(const std::string &path);
// Makes the directory of a new entry with the default stop list (or the per-user one): 0, or -1.
int make_entry(const std::string &name, std::string *why);
int rename_entry(const std::string &from, const std::string &to, std::string *why);
int remove_entry(const std::string &name, std::string *why);
// Tells an entry where its folder or image is now (kept in the entry as its location): 0, or -1
// when path names nothing that can be indexed.
int locate_entry(const std::string &name, const std::string &path, std::string *why);

// The runs that index an entry: one, or for a folder too large for one index, one per part, split
// along the walk's order. A part ends at MAX_FILES files, or before the file whose words no longer
// fitted its index file (the part is then made again with the files before it), and the next part
// goes on from there. Call prepare before each run and next after it.
class EntryRuns {
  public:
    explicit EntryRuns(std::string name) : name_(std::move(name)) {}
    // Makes the next run's part directory (with the entry's stop list), makes it the index
    // directory and sets the run's slice.
    void prepare();
    // After a run has ended: true when another run is wanted (the next part, or this part again
    // with the files that fitted); false when the entry is done or the run failed. When done, the
    // parts a larger tree left before are removed and the entry's own directory is the index
    // directory again.
    bool next();
    int part() const { return part_; }
    int files() const { return files_; }     // indexed by the finished parts
    bool refitted() const { return refit_; } // the last next() answered a part made again
    int fitted() const { return count_; }

  private:
    std::string name_;
    int first_ = 0, count_ = MAX_FILES, part_ = 1, files_ = 0;
    bool refit_ = false;
};

// One row of a search over several entries.
struct LibraryRow {
    size_t entry;          // index into the entries searched
    int part;              // which of the entry's indexes, from 0
    std::string volume;    // the entry's volume label
    std::string path;
    int freq;              // as next_result gives it: negative when a count reached 63
    int rank;              // result_rank
    unsigned file;         // file number in its entry
    ResultState state;
    int kind;              // result_kind, once an excerpt was read
    std::string excerpt;   // "" when none was asked for or the file could not be read
    std::string context;   // the excerpt's hits with about a line around each (result_context)
};
struct LibrarySearch {
    std::vector<std::string> entries;                      // searched, in order
    std::vector<IndexVolume> volumes;                      // theirs, as they loaded
    std::vector<LibraryRow> rows;                          // merged, best first
    std::vector<std::pair<std::string, std::string>> failed; // entry, reason: not searched
    std::vector<QueryWordInfo> words;                      // the words, their files summed over entries
};
// Searches entries (names, or "" for the index directory in use when one is loaded by the caller)
// in order and merges their rows by rank, then entry, then file number: one entry gives exactly
// its own order.
LibrarySearch search_entries(const std::vector<std::string> &entries, const std::vector<std::string> &words,
                             bool excerpts);

// What a row of a file not as the run saw it says instead of (or before) its excerpt:
// "[changed] ", "[gone] ", or for an absent volume which disc to insert or where the folder or
// image was. "" for a fresh row.
std::string state_note(const LibraryRow &row, const IndexVolume &volume);
// The same for a row of the loaded index (next_result's state).
std::string state_note(ResultState state, const IndexVolume &volume);

#endif
