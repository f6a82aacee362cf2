#include "front/library.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "front/path.h"
#include "idx/idxdir.h"
#include "os/os.h"

namespace fs = std::filesystem;

namespace {

// The file of an entry that says where its folder or image is now, when it has moved.
constexpr char LOCATION_FILE[] = "location";

std::string read_location(const std::string &name) {
    std::ifstream in(entry_dir(name) + "/" + LOCATION_FILE);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string with_entry_dir(const std::string &name) { return name.empty() ? std::string(idx_dir()) : entry_dir(name); }

} // namespace

std::string library_dir() {
    std::string user = user_idx_dir();
    return user.empty() ? "" : user + "/library";
}

std::string entry_dir(const std::string &name) { return library_dir() + "/" + name; }

std::vector<std::string> library_names() {
    std::vector<std::string> names;
    std::vector<OsDirEntry> entries;
    std::string dir = library_dir();
    if (dir.empty() || os_dir_list(dir.c_str(), entries) != 0) return names;
    for (const OsDirEntry &e : entries)
        if (e.type == OsEntryType::dir && valid_entry_name(e.name)) names.push_back(e.name);
    return names; // os_dir_list sorts bytewise
}

bool valid_entry_name(const std::string &name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 200) return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string new_entry_name(const std::string &label) {
    std::string base;
    for (char c : label) base += c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '_' : c;
    if (base.size() > 180) base.resize(180);
    if (!valid_entry_name(base)) base = "volume";
    std::string name = base;
    for (int n = 2; os_is_dir(entry_dir(name).c_str()); n++) name = base + " (" + std::to_string(n) + ")";
    return name;
}

std::string part_dir(const std::string &name, int n) {
    return n <= 1 ? entry_dir(name) : entry_dir(name) + "/part" + std::to_string(n);
}

std::vector<std::string> entry_parts(const std::string &name) {
    std::vector<std::string> dirs;
    for (int n = 1; n == 1 || os_is_dir(part_dir(name, n).c_str()); n++) dirs.push_back(part_dir(name, n));
    return dirs;
}

// Loads one index directory of an entry.
static int load_dir(const std::string &name, const std::string &dir, std::string *why) {
    set_idx_dir(dir.c_str());
    set_volume_hint(name.empty() ? "" : read_location(name).c_str());
    if (read_idx() != 0) {
        *why = idx_reason();
        return -1;
    }
    return 0;
}

int load_entry(const std::string &name, std::string *why) {
    std::string dir = with_entry_dir(name);
    if (!name.empty() && !os_is_dir(dir.c_str())) {
        *why = "no such entry in the library";
        return -1;
    }
    return load_dir(name, dir, why);
}

LibraryEntry describe_entry(const std::string &name) {
    LibraryEntry e;
    e.name = name;
    e.loads = load_entry(name, &e.problem) == 0;
    if (!e.loads) return e;
    e.volume = index_volume();
    e.changed_dirs = std::max(0, changed_directories());
    std::vector<std::string> parts = entry_parts(name);
    e.parts = static_cast<int>(parts.size());
    for (size_t i = 1; i < parts.size(); i++) {
        std::string why;
        if (load_dir(name, parts[i], &why) != 0) {
            e.loads = false;
            e.problem = "part " + std::to_string(i + 1) + ": " + why;
            return e;
        }
        e.volume.files += index_volume().files;
        e.volume.total_bytes += index_volume().total_bytes;
        e.changed_dirs += std::max(0, changed_directories());
    }
    return e;
}

std::string entry_of_path(const std::string &path) {
    for (const std::string &name : library_names()) {
        std::string why;
        if (load_entry(name, &why) == 0 && index_volume().path == path) return name;
    }
    return "";
}

int make_entry(const std::string &name, std::string *why) {
    if (!valid_entry_name(name)) {
        *why = "'" + name + "' cannot name an entry";
        return -1;
    }
    std::string dir = entry_dir(name);
    if (library_dir().empty()) {
        *why = "no per-user directory: HOME is not set";
        return -1;
    }
    if (os_is_dir(dir.c_str())) {
        *why = "an entry named '" + name + "' exists already";
        return -1;
    }
    if (os_make_dirs(dir.c_str()) != 0) {
        *why = dir + " cannot be made: " + os_error_text(os_last_error());
        return -1;
    }
    // The user's own stop list when there is one, else the default.
    std::string stops = user_idx_dir() + "/stopwords.txt";
    uint64_t dev, ino;
    if (!os_path_id(stops.c_str(), &dev, &ino)) stops = default_stopwords();
    if (!stops.empty()) os_copy_file(stops.c_str(), (dir + "/stopwords.txt").c_str());
    return 0;
}

int rename_entry(const std::string &from, const std::string &to, std::string *why) {
    if (!valid_entry_name(from) || !os_is_dir(entry_dir(from).c_str())) {
        *why = "no entry named '" + from + "'";
        return -1;
    }
    if (!valid_entry_name(to)) {
        *why = "'" + to + "' cannot name an entry";
        return -1;
    }
    std::error_code ec;
    if (fs::exists(entry_dir(to), ec)) {
        *why = "an entry named '" + to + "' exists already";
        return -1;
    }
    fs::rename(entry_dir(from), entry_dir(to), ec);
    if (ec) {
        *why = ec.message();
        return -1;
    }
    return 0;
}

int remove_entry(const std::string &name, std::string *why) {
    if (!valid_entry_name(name) || !os_is_dir(entry_dir(name).c_str())) {
        *why = "no entry named '" + name + "'";
        return -1;
    }
    std::error_code ec;
    fs::remove_all(entry_dir(name), ec);
    if (ec) {
        *why = ec.message();
        return -1;
    }
    return 0;
}

int locate_entry(const std::string &name, const std::string &path, std::string *why) {
    if (!valid_entry_name(name) || !os_is_dir(entry_dir(name).c_str())) {
        *why = "no entry named '" + name + "'";
        return -1;
    }
    std::string where = normalize_path(path);
    if (where.empty() || !valid_index_path(where.c_str())) {
        *why = path + ": not a folder or an ISO 9660 image";
        return -1;
    }
    std::string file = entry_dir(name) + "/" + LOCATION_FILE;
    std::ofstream out(file, std::ios::trunc);
    out << where << '\n';
    out.close();
    if (!out) {
        *why = file + " cannot be written";
        return -1;
    }
    return 0;
}

// ---- Indexing an entry ----

void EntryRuns::prepare() {
    std::string dir = part_dir(name_, part_);
    if (part_ > 1 && !os_is_dir(dir.c_str())) {
        os_make_dirs(dir.c_str());
        os_copy_file((entry_dir(name_) + "/stopwords.txt").c_str(), (dir + "/stopwords.txt").c_str());
    }
    set_idx_dir(dir.c_str());
    set_run_slice(first_, count_);
}

bool EntryRuns::next() {
    refit_ = false;
    if (status_idx() != IDX_DONE) {
        int fit = files_that_fit();
        if (fit <= 0 || idx_cancelled()) return false;
        count_ = fit;
        refit_ = true;
        return true;
    }
    files_ += files_indexed();
    if (table_capped()) {
        first_ += count_;
        count_ = MAX_FILES;
        part_++;
        return true;
    }
    for (int n = part_ + 1; os_is_dir(part_dir(name_, n).c_str()); n++) {
        std::error_code ec;
        fs::remove_all(part_dir(name_, n), ec);
    }
    set_idx_dir(entry_dir(name_).c_str());
    return false;
}

// ---- Searching entries together ----

LibrarySearch search_entries(const std::vector<std::string> &entries, const std::vector<std::string> &words,
                             bool excerpts) {
    LibrarySearch s;
    std::string classic = idx_dir();
    for (const std::string &name : entries) {
        std::vector<std::string> dirs = name.empty() ? std::vector<std::string>{classic} : entry_parts(name);
        size_t entry = s.entries.size();
        for (int part = 0; part < static_cast<int>(dirs.size()); part++) {
        std::string why;
        if (!name.empty() && !os_is_dir(dirs[0].c_str())) why = "no such entry in the library";
        if (!why.empty() || load_dir(name, dirs[static_cast<size_t>(part)], &why) != 0) {
            s.failed.emplace_back(part == 0 ? name : name + " (part " + std::to_string(part + 1) + ")", why);
            continue;
        }
        if (s.entries.size() == entry) {
            s.entries.push_back(name);
            s.volumes.push_back(index_volume());
        }
        query_typed(words);
        if (excerpts) read_excerpts_ahead(MAX_FILES);
        // The words: the first entry's, then each entry's files added to them.
        const std::vector<QueryWordInfo> &infos = query_words();
        if (s.words.empty()) {
            s.words = infos;
        } else {
            for (size_t i = 0; i < infos.size() && i < s.words.size(); i++) {
                if (infos[i].state != QueryWordState::found) continue;
                if (s.words[i].state != QueryWordState::found) s.words[i] = infos[i];
                else s.words[i].files += infos[i].files;
            }
        }
        char *path, *text = nullptr;
        int freq;
        while (next_result(&path, &freq, excerpts ? &text : nullptr) == 0) {
            if (freq == 0) continue;
            s.rows.push_back(LibraryRow{entry, part, s.volumes.back().label, path, freq, result_rank(), result_file(),
                                        result_state(), result_kind(), excerpts && text ? text : "",
                                        excerpts && text ? result_context() : ""});
        }
        }
    }
    set_idx_dir(classic.c_str());
    std::stable_sort(s.rows.begin(), s.rows.end(), [](const LibraryRow &a, const LibraryRow &b) {
        if (a.rank != b.rank) return a.rank > b.rank;
        if (a.entry != b.entry) return a.entry < b.entry;
        if (a.part != b.part) return a.part < b.part;
        return a.file < b.file;
    });
    return s;
}

std::string state_note(ResultState state, const IndexVolume &volume) {
    switch (state) {
    case ResultState::fresh: return "";
    case ResultState::changed: return "[changed] ";
    case ResultState::gone: return "[gone] ";
    case ResultState::absent: break;
    }
    switch (volume.kind) {
    case VolumeKind::disc: return "[absent: insert the disc \"" + volume.label + "\"] ";
    case VolumeKind::image: return "[absent: the image was at " + volume.where + "] ";
    case VolumeKind::folder: break;
    }
    return "[absent: the folder was at " + volume.where + "] ";
}

std::string state_note(const LibraryRow &row, const IndexVolume &volume) { return state_note(row.state, volume); }
