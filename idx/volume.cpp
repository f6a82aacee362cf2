// The loaded index's volume: the file table read from the catalogue, the folder, disc or image
// found where it is now (or found absent), and what a load says of the catalogue.
#include <cstring>
#include <string>
#include <vector>

#include "idx/catalogue.h"
#include "idx/idxdir.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "os/os.h"

namespace {

IndexVolume volume;       // of the loaded index
bool absent = false;      // its volume is not there: rows are listed, not read
bool checked = false;     // rows are checked against their stored size and time
bool catalogued = false;  // the table came from the catalogue
std::string note;         // load_note
std::string hint;         // set_volume_hint
const uint8_t *cat_map = nullptr; // the loaded catalogue, whose names the file table points at
size_t cat_size = 0;
std::string loaded_root;  // the root directory's path of a catalogued table, kept out of heap_pool
                          // as a walk keeps the path it was given

// The largest catalogue read: 65,536 records and names of up to 4 KiB would still fit.
constexpr int64_t CAT_MAX_BYTES = 64 << 20;

std::string last_component(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string join(const std::string &root, const char *rel) {
    if (!*rel) return root;
    if (*rel == '/') return rel;
    return !root.empty() && root.back() == '/' ? root + rel : root + "/" + rel;
}

// Where a volume of the catalogue is now: the root its directories are joined to, and for a disc
// or image the device to read; false when it is nowhere to be found. *changed: an image file of
// that identity whose size or time is not what the run saw, whose table the catalogue cannot vouch
// for.
bool find_volume(const CatalogueVolume &v, std::string *root, std::string *device, bool *changed) {
    *changed = false;
    if (v.kind == VolumeKind::folder) {
        std::vector<std::string> places;
        if (!hint.empty()) places.push_back(hint);
        places.push_back(v.root);
        if (std::string point = os_uuid_mount(v.uuid); !point.empty() && !v.below.empty())
            places.push_back(v.below == "/" ? point : (point == "/" ? "" : point) + v.below);
        for (const std::string &p : places)
            if (os_is_dir(p.c_str())) {
                *root = p;
                return true;
            }
        return false;
    }
    CdIdentity want{v.volume_id, v.created, v.blocks};
    auto matches = [&want](const std::string &dev) {
        CdIdentity id;
        return read_cd_identity(dev.c_str(), &id) && id == want;
    };
    if (v.kind == VolumeKind::image) {
        CdIdentity there;
        // Another image under the stored name is this one made again: its table must be listed anew.
        if (read_cd_identity(v.device.c_str(), &there) && !(there == want) && (hint.empty() || !matches(hint))) {
            *changed = true;
            return true;
        }
        for (const std::string &p : {hint, v.device})
            if (!p.empty() && matches(p)) {
                OsFileStat st;
                *changed = !os_stat(p.c_str(), &st) || st.size != v.image_size || st.mtime_sec != v.image_mtime ||
                           st.mtime_nsec != v.image_mtime_nsec;
                *root = *device = p;
                return true;
            }
        return false;
    }
    // A disc: where it was mounted, else wherever a disc with its identity is mounted now.
    std::vector<std::string> mounts{v.root};
    if (!hint.empty()) mounts.insert(mounts.begin(), hint);
    for (const std::string &m : os_disc_mounts()) mounts.push_back(m);
    for (const std::string &m : mounts) {
        OsVolume vol;
        if (os_volume_of(m.c_str(), &vol) && !vol.image && vol.subtree.empty() && matches(vol.device)) {
            *root = vol.root;
            *device = vol.device;
            return true;
        }
    }
    return false;
}

std::string label_of(const CatalogueVolume &v) {
    if (v.kind != VolumeKind::folder && !v.volume_id.empty()) return v.volume_id;
    return last_component(v.kind == VolumeKind::image ? v.device : v.root);
}

} // namespace

void release_catalogue() {
    if (cat_map) os_unmap(const_cast<uint8_t *>(cat_map), cat_size);
    cat_map = nullptr;
    cat_size = 0;
}

const IndexVolume &index_volume() { return volume; }

std::string volume_label(const char *path) {
    OsVolume vol;
    CdIdentity id;
    if (os_volume_of(path, &vol)) {
        if (read_cd_identity(vol.device.c_str(), &id) && !id.volume_id.empty()) return id.volume_id;
        return last_component(vol.image ? vol.device : vol.root);
    }
    return last_component(path);
}
void set_volume_hint(const char *path) { hint = path ? path : ""; }
const char *load_note() { return note.c_str(); }
void set_load_note(const char *text) { note = text; }
bool volume_absent() { return idx_loaded && absent; }
bool results_checked() { return idx_loaded && checked; }

int changed_directories() {
    if (!idx_loaded || !catalogued || absent || volume.kind != VolumeKind::folder) return -1;
    int changed = 0;
    for (const DirTime &d : dir_times) {
        OsFileStat st;
        if (!os_stat(d.path, &st) || !st.is_dir || st.mtime_sec != d.mtime_sec || st.mtime_nsec != d.mtime_nsec)
            changed++;
    }
    return changed;
}

void walked_volume(const char *path) {
    catalogued = false;
    absent = false;
    checked = !cd_mode;
    volume = IndexVolume{};
    OsVolume vol;
    bool on_volume = cd_mode && os_volume_of(path, &vol);
    volume.kind = !on_volume ? VolumeKind::folder : vol.image ? VolumeKind::image : VolumeKind::disc;
    volume.path = path;
    volume.where = on_volume ? vol.root : path;
    volume.found_at = volume.where;
    volume.label = on_volume && !cd_identity.volume_id.empty() ? cd_identity.volume_id : last_component(volume.where);
    volume.files = static_cast<int>(file_table.size());
    volume.total_bytes = total_bytes.load(std::memory_order_relaxed);
}

int load_catalogue(const CatalogueTie &tie, std::string *why) {
    note.clear();
    int fd = os_open(idx_dir_file(CAT_FILE).c_str(), OS_RANDOM);
    if (fd < 0) {
        if (os_last_error() != OS_ERR_NOT_FOUND)
            note = std::string("idx.files cannot be read: ") + os_error_text(os_last_error());
        return 0;
    }
    // Mapped, like idx.dat: the names are used where they lie, and pages that are never read cost
    // nothing. The mapping outlives the descriptor and goes with the loaded index.
    release_catalogue();
    int64_t size = os_file_size(fd);
    bool read_ok = size > 0 && size <= CAT_MAX_BYTES;
    if (read_ok) {
        cat_map = static_cast<const uint8_t *>(os_map(fd, static_cast<uint64_t>(size), false));
        cat_size = static_cast<size_t>(size);
        read_ok = cat_map != nullptr;
    }
    os_close(fd);
    CatalogueView view;
    std::string bad;
    if (!read_ok) {
        note = "idx.files is damaged: its size is out of range or it cannot be read";
        release_catalogue();
        return 0;
    }
    if (!decode_catalogue(cat_map, cat_size, &view, &bad)) {
        note = bad + "; the tree was walked instead";
        return 0;
    }
    if (!(view.tie == tie)) {
        note = "idx.files belongs to another idx.dat (refresh needed); the tree was walked instead";
        return 0;
    }
    std::string root, device;
    bool image_changed;
    bool found = find_volume(view.volume, &root, &device, &image_changed);
    if (found && image_changed) {
        note = "the image has changed since the index was made; it was listed again";
        return 0;
    }
    if (!found) {
        root = view.volume.root;
        device = view.volume.device;
    }
    // The directories joined to the volume's root as it is now, into heap_pool like walked names.
    file_table.clear();
    dir_times.clear();
    std::vector<const char *> dir_paths(view.dirs.size());
    for (size_t i = 0; i < view.dirs.size(); i++) {
        std::string full = join(root, view.dirs[i]);
        if (full.size() >= static_cast<size_t>(OS_PATH_MAX)) {
            note = "idx.files is damaged: a path is too long; the tree was walked instead";
            return 0;
        }
        if (full == root) {
            loaded_root = root;
            dir_paths[i] = loaded_root.c_str();
            dir_times.push_back(DirTime{dir_paths[i], view.dir_sec[i], view.dir_nsec[i]});
            continue;
        }
        dir_paths[i] = heap_copy(full.data(), full.size());
        if (!dir_paths[i]) {
            *why = heap_reason(REASON_NAMES_FULL);
            return -1;
        }
        dir_times.push_back(DirTime{dir_paths[i], view.dir_sec[i], view.dir_nsec[i]});
    }
    file_table.reserve(view.file_count);
    uint64_t bytes_total = 0;
    for (uint32_t i = 0; i < view.file_count; i++) {
        CatalogueView::File f = view.file(i);
        file_table.push_back(FileEntry{f.name, dir_paths[f.dir], f.size, f.disk_ofs, f.kind, f.mtime_sec, f.mtime_nsec});
        bytes_total += f.size;
    }
    cd_mode = view.volume.kind != VolumeKind::folder;
    if (cd_mode) {
        close_cd_volume();
        cd_volume.device = heap_copy(device.data(), device.size());
        if (!cd_volume.device) {
            file_table.clear();
            *why = heap_reason(REASON_NAMES_FULL);
            return -1;
        }
    }
    files_capped = false;
    num_files.store(static_cast<int>(file_table.size()), std::memory_order_relaxed);
    total_bytes.store(bytes_total, std::memory_order_relaxed);
    catalogued = true;
    absent = !found;
    checked = found && !cd_mode;
    volume = IndexVolume{};
    volume.kind = view.volume.kind;
    volume.path = view.volume.path;
    volume.label = label_of(view.volume);
    volume.where = view.volume.kind == VolumeKind::folder ? view.volume.root : view.volume.device;
    if (view.volume.kind == VolumeKind::disc) volume.where = view.volume.root;
    volume.found_at = found ? root : "";
    volume.catalogued = true;
    volume.files = static_cast<int>(file_table.size());
    volume.total_bytes = bytes_total;
    volume.made = view.volume.made;
    return 1;
}
