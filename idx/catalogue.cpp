// The catalogue's bytes, written from the file table at the end of a run and checked before a load
// trusts any of them.
#include "idx/catalogue.h"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include <zlib.h>

#include "idx/idxdir.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "os/os.h"

namespace {

void put32(std::string &b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }
void put64(std::string &b, size_t at, uint64_t v) { memcpy(&b[at], &v, 8); }
void add32(std::string &b, uint32_t v) { b.append(reinterpret_cast<const char *>(&v), 4); }
void add64(std::string &b, uint64_t v) { b.append(reinterpret_cast<const char *>(&v), 8); }

uint32_t get32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
uint64_t get64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

constexpr const char *KIND_NAMES[] = {"folder", "disc", "image"};

void add_pair(std::string &rec, const char *key, const std::string &value) {
    rec += key;
    rec += '=';
    rec += value;
    rec += '\0';
}

// The stored path of dir: relative to root, or absolute when it does not lie below it.
std::string relative_dir(std::string_view dir, const std::string &root) {
    if (dir == root) return "";
    std::string prefix = !root.empty() && root.back() == '/' ? root : root + "/";
    if (dir.substr(0, prefix.size()) == prefix) return std::string(dir.substr(prefix.size()));
    return std::string(dir);
}

uint32_t checksum(const uint8_t *p, size_t n) {
    uLong c = crc32(0L, Z_NULL, 0);
    // crc32 takes its length as a uInt: large spans go in pieces.
    while (n > 0) {
        auto piece = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
        c = crc32(c, p, piece);
        p += piece;
        n -= piece;
    }
    return static_cast<uint32_t>(c);
}

// The run's catalogue between write_run_catalogue and put_run_catalogue.
struct RunCatalogue {
    int fd = -1;
    std::string path;
};
RunCatalogue run_cat;

} // namespace

std::string encode_catalogue(const CatalogueTie &tie, const CatalogueVolume &volume) {
    std::string names;
    auto add_name = [&names](std::string_view s) {
        auto at = static_cast<uint32_t>(names.size());
        names.append(s);
        names += '\0';
        return at;
    };
    // Directories: the walk's, with their times, else (a disc's table) those the files name.
    std::unordered_map<std::string_view, uint32_t> dir_index;
    std::string dirs;
    auto add_dir = [&](const char *path, int64_t sec, uint32_t nsec) {
        auto [it, added] = dir_index.emplace(path, static_cast<uint32_t>(dir_index.size()));
        if (!added) return it->second;
        add32(dirs, add_name(relative_dir(path, volume.root)));
        add32(dirs, nsec);
        add64(dirs, static_cast<uint64_t>(sec));
        return it->second;
    };
    for (const DirTime &d : dir_times) add_dir(d.path, d.mtime_sec, d.mtime_nsec);
    std::string files;
    uint64_t total = 0;
    for (const FileEntry &e : file_table) {
        if (e.disk_ofs % CD_SECTOR || e.disk_ofs / CD_SECTOR > UINT32_MAX) return "";
        add32(files, add_dir(e.dir_name, 0, 0));
        add32(files, add_name(e.file_name));
        add64(files, e.file_size);
        add64(files, static_cast<uint64_t>(e.mtime_sec));
        add32(files, e.mtime_nsec);
        add32(files, static_cast<uint32_t>(e.disk_ofs / CD_SECTOR));
        add32(files, static_cast<uint32_t>(e.kind));
        total += e.file_size;
    }
    std::string vol;
    add_pair(vol, "kind", KIND_NAMES[static_cast<int>(volume.kind)]);
    add_pair(vol, "path", volume.path);
    add_pair(vol, "root", volume.root);
    if (volume.kind == VolumeKind::folder) {
        add_pair(vol, "uuid", volume.uuid);
        add_pair(vol, "below", volume.below);
    } else {
        add_pair(vol, "device", volume.device);
        add_pair(vol, "subtree", volume.subtree);
        add_pair(vol, "volume_id", volume.volume_id);
        add_pair(vol, "created", volume.created);
        add_pair(vol, "blocks", std::to_string(volume.blocks));
        if (volume.kind == VolumeKind::image) {
            add_pair(vol, "image_size", std::to_string(volume.image_size));
            add_pair(vol, "image_mtime", std::to_string(volume.image_mtime));
            add_pair(vol, "image_mtime_nsec", std::to_string(volume.image_mtime_nsec));
        }
    }
    std::string b(CAT_HEADER_SIZE, '\0');
    memcpy(&b[0], CAT_MAGIC, sizeof CAT_MAGIC);
    put32(b, 8, CAT_VERSION);
    put32(b, 12, tie.idx_size);
    put32(b, 16, tie.base);
    put32(b, 20, tie.fingerprint);
    put32(b, 24, static_cast<uint32_t>(file_table.size()));
    put32(b, 28, static_cast<uint32_t>(dir_index.size()));
    put32(b, 32, static_cast<uint32_t>(vol.size()));
    put32(b, 36, static_cast<uint32_t>(names.size()));
    put64(b, 48, total);
    put64(b, 56, static_cast<uint64_t>(volume.made));
    b += vol;
    b += dirs;
    b += files;
    b += names;
    put32(b, 40, checksum(reinterpret_cast<const uint8_t *>(b.data()) + CAT_HEADER_SIZE, b.size() - CAT_HEADER_SIZE));
    return b;
}

static bool parse_number(const std::string &s, uint64_t *v) {
    if (s.empty() || s.size() > 20) return false;
    uint64_t x = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        x = x * 10 + static_cast<uint64_t>(c - '0');
    }
    *v = x;
    return true;
}

// The volume record: NUL-terminated "key=value" pairs; keys we do not know are passed over.
static bool decode_volume(const char *p, size_t n, CatalogueVolume *v) {
    if (n == 0 || p[n - 1] != '\0') return false;
    bool kind_seen = false;
    for (size_t at = 0; at < n;) {
        std::string pair(p + at);
        at += pair.size() + 1;
        size_t eq = pair.find('=');
        if (eq == std::string::npos) return false;
        std::string key = pair.substr(0, eq), value = pair.substr(eq + 1);
        uint64_t num = 0;
        if (key == "kind") {
            int k = 0;
            while (k < 3 && value != KIND_NAMES[k]) k++;
            if (k == 3) return false;
            v->kind = static_cast<VolumeKind>(k);
            kind_seen = true;
        } else if (key == "path") {
            v->path = value;
        } else if (key == "root") {
            v->root = value;
        } else if (key == "device") {
            v->device = value;
        } else if (key == "subtree") {
            v->subtree = value;
        } else if (key == "volume_id") {
            v->volume_id = value;
        } else if (key == "created") {
            v->created = value;
        } else if (key == "uuid") {
            v->uuid = value;
        } else if (key == "below") {
            v->below = value;
        } else if (key == "blocks" || key == "image_size" || key == "image_mtime" || key == "image_mtime_nsec") {
            // An image's time may lie before 1970: the only value written with a sign.
            bool negative = key == "image_mtime" && value.size() > 1 && value[0] == '-';
            if (!parse_number(negative ? value.substr(1) : value, &num)) return false;
            if (negative) num = 0 - num;
            if (key == "blocks") {
                if (num > UINT32_MAX) return false;
                v->blocks = static_cast<uint32_t>(num);
            } else if (key == "image_size") {
                v->image_size = num;
            } else if (key == "image_mtime_nsec") {
                v->image_mtime_nsec = static_cast<uint32_t>(num);
            } else {
                v->image_mtime = static_cast<int64_t>(num);
            }
        }
    }
    return kind_seen && !v->root.empty() && v->root.size() < static_cast<size_t>(OS_PATH_MAX);
}

bool decode_catalogue(const uint8_t *b, size_t n, CatalogueView *view, std::string *why) {
    auto damaged = [why](const char *what) {
        *why = std::string("idx.files is damaged: ") + what;
        return false;
    };
    if (n < CAT_HEADER_SIZE || memcmp(b, CAT_MAGIC, sizeof CAT_MAGIC) != 0) return damaged("not a catalogue");
    if (get32(b + 8) != CAT_VERSION) {
        *why = "idx.files was written by another version of Olmarest";
        return false;
    }
    CatalogueView v;
    v.tie = CatalogueTie{get32(b + 12), get32(b + 16), get32(b + 20)};
    uint32_t nfiles = get32(b + 24), ndirs = get32(b + 28), vol_bytes = get32(b + 32), name_bytes = get32(b + 36);
    if (nfiles == 0 || nfiles > static_cast<uint32_t>(MAX_FILES)) return damaged("file count out of range");
    uint64_t need = uint64_t{CAT_HEADER_SIZE} + vol_bytes + uint64_t{ndirs} * CAT_DIR_SIZE +
                    uint64_t{nfiles} * CAT_FILE_SIZE + name_bytes;
    if (need != n) return damaged("its sizes do not add up");
    if (get32(b + 40) != checksum(b + CAT_HEADER_SIZE, n - CAT_HEADER_SIZE)) return damaged("checksum mismatch");
    v.total_bytes = get64(b + 48);
    v.volume.made = static_cast<int64_t>(get64(b + 56));
    const uint8_t *p = b + CAT_HEADER_SIZE;
    if (!decode_volume(reinterpret_cast<const char *>(p), vol_bytes, &v.volume)) return damaged("volume record");
    p += vol_bytes;
    const uint8_t *dir_rec = p, *file_rec = p + uint64_t{ndirs} * CAT_DIR_SIZE;
    const auto *names = reinterpret_cast<const char *>(file_rec + uint64_t{nfiles} * CAT_FILE_SIZE);
    // Every name ends inside the pool when its last byte is a NUL.
    if (name_bytes == 0 || names[name_bytes - 1] != '\0') return damaged("name pool");
    auto name_at = [&](uint32_t ofs) { return ofs < name_bytes ? names + ofs : nullptr; };
    v.dirs.reserve(ndirs);
    for (uint32_t i = 0; i < ndirs; i++, dir_rec += CAT_DIR_SIZE) {
        const char *name = name_at(get32(dir_rec));
        if (!name) return damaged("directory name");
        v.dirs.push_back(name);
        v.dir_nsec.push_back(get32(dir_rec + 4));
        v.dir_sec.push_back(static_cast<int64_t>(get64(dir_rec + 8)));
    }
    v.file_records = file_rec;
    v.names = names;
    v.file_count = nfiles;
    for (uint32_t i = 0; i < nfiles; i++, file_rec += CAT_FILE_SIZE) {
        uint32_t name = get32(file_rec + 4);
        if (get32(file_rec) >= ndirs || name >= name_bytes || !names[name]) return damaged("file record");
    }
    *view = std::move(v);
    return true;
}

CatalogueView::File CatalogueView::file(uint32_t i) const {
    const uint8_t *r = file_records + uint64_t{i} * CAT_FILE_SIZE;
    return File{get32(r),
                names + get32(r + 4),
                get64(r + 8),
                static_cast<int64_t>(get64(r + 16)),
                get32(r + 24),
                uint64_t{get32(r + 28)} * CD_SECTOR,
                static_cast<int32_t>(get32(r + 32))};
}

CatalogueVolume describe_volume(const char *path) {
    CatalogueVolume v;
    v.path = path;
    v.made = static_cast<int64_t>(time(nullptr));
    OsVolume vol;
    if (cd_mode && os_volume_of(path, &vol)) {
        v.kind = vol.image ? VolumeKind::image : VolumeKind::disc;
        v.root = vol.root;
        v.device = vol.device;
        v.subtree = vol.subtree;
        v.volume_id = cd_identity.volume_id;
        v.created = cd_identity.created;
        v.blocks = cd_identity.blocks;
        OsFileStat st;
        if (vol.image && os_stat(vol.device.c_str(), &st)) {
            v.image_size = st.size;
            v.image_mtime = st.mtime_sec;
            v.image_mtime_nsec = st.mtime_nsec;
        }
        return v;
    }
    v.kind = VolumeKind::folder;
    v.root = path;
    if (!os_folder_volume(path, &v.uuid, &v.below)) v.uuid.clear();
    return v;
}

void drop_run_catalogue() {
    if (run_cat.fd < 0) return;
    os_remove_own(run_cat.fd, run_cat.path.c_str());
    os_close(run_cat.fd);
    run_cat = RunCatalogue{};
}

int write_run_catalogue(const CatalogueTie &tie, const CatalogueVolume &volume, std::string *why) {
    drop_run_catalogue();
    std::string bytes = encode_catalogue(tie, volume);
    if (bytes.empty()) {
        *why = "a file of the disc does not start on a sector";
        return -1;
    }
    run_cat.fd = os_create_new(idx_dir(), CAT_RUN_FILE, &run_cat.path);
    if (run_cat.fd < 0) {
        *why = os_error_text(os_last_error());
        return -1;
    }
    if (os_write_at(run_cat.fd, bytes.data(), bytes.size(), 0) != 0 || os_sync(run_cat.fd) != 0) {
        int err = os_last_error();
        drop_run_catalogue();
        *why = os_error_text(err);
        return -1;
    }
    return 0;
}

int put_run_catalogue(std::string *why) {
    if (run_cat.fd < 0) return -1;
    int r = os_put_in_place(run_cat.fd, run_cat.path.c_str(), idx_dir_file(CAT_FILE).c_str());
    if (r != 0) {
        *why = os_error_text(os_last_error());
        drop_run_catalogue();
        return -1;
    }
    os_close(run_cat.fd);
    run_cat = RunCatalogue{};
    return 0;
}
