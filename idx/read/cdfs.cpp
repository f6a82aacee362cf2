// The ISO 9660 volume reader of the read unit: lists the files of a CD volume or image from its
// directory records, loaded with one read from the start of the volume (directories past it are
// read when they are listed), and orders them by their position on it so that the read pipeline
// can read the volume strictly forward.
//
// Everything here reads bytes that may be hostile (an image downloaded from anywhere): every
// offset is checked against the volume's bytes before it is read, each directory sector is listed
// at most once, and no listing can run longer than the volume's bytes allow.
#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "idx/check.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "idx/store/pool.h"
#include "idx/text/detect.h"
#include "idx/text/encoding.h"
#include "idx/text/extract.h"
#include "idx/run.h"
#include "os/os.h"

CdVolume cd_volume{-1, nullptr, 0, 0};
const char *cd_fail_reason = nullptr;

static const char NOT_ISO[] = "not an ISO 9660 volume";
static const char DIRS_BEYOND[] = "the volume's directories lie beyond its first 4 MiB";
static const char DIR_TOO_BIG[] = "a directory of the volume is larger than 64 MiB";
static const char DAMAGED[] = "the volume's directory records are damaged";
static const char CANNOT_OPEN[] = "the volume cannot be opened";
static const char UNREADABLE[] = "the volume cannot be read";
static const char NO_FILES[] = "no file found below the path";

// Directory record layout (ECMA-119 9.1); only the little-endian halves are read.
constexpr uint32_t DR_LEN = 0, DR_EXTENT = 2, DR_SIZE = 10, DR_DATE = 18, DR_FLAGS = 25, DR_ID_LEN = 32,
                   DR_ID = 33;
constexpr uint8_t FLAG_DIR = 2, FLAG_ASSOCIATED = 4;
constexpr uint32_t PVD_SECTOR = 16, SVD_SECTOR = 17, VD_BLOCK_SIZE = 128, VD_ROOT = 156, VD_ESCAPES = 88;
constexpr int MAX_NAME = 255;    // bytes of a Rock Ridge name kept
constexpr int NAME_BYTES = 3 * 127 + 1; // a Joliet name of 127 units in UTF-8, and its NUL
constexpr int MAX_CE_HOPS = 16; // continuation areas followed per record; a loop of them ends here
constexpr uint64_t CE_READ_MAX = 65536;    // bytes of one continuation area read past the loaded start
constexpr uint64_t DIR_READ_MAX = 64 << 20; // bytes of one directory read past the loaded start

// A directory record's recording time (7 bytes: years since 1900, month, day, hour, minute, second,
// offset from GMT in quarter hours) as seconds since 1970. Damaged fields give some other number,
// which is all the fingerprint needs: any change of the record changes it.
static int64_t record_time(const uint8_t *d) {
    int64_t y = 1900 + int64_t{d[0]}, m = d[1], day = d[2];
    // Days from 1970-01-01 to y-m-day in the proleptic Gregorian calendar (March-based years).
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    auto gmt_ofs = static_cast<int8_t>(d[6]);
    return ((days * 24 + d[3]) * 60 + d[4]) * 60 + d[5] - int64_t{gmt_ofs} * 15 * 60;
}

static uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

namespace {

enum class Names { primary, joliet, rock_ridge };

struct Name {
    char text[NAME_BYTES];
    int len;
};

// A directory still to list: its extent on the volume and its path.
struct PendingDir {
    uint64_t ofs;     // bytes
    uint32_t size;    // bytes
    const char *path; // heap_pool, or the caller's root
    size_t depth;     // components of the subtree matched on the way here
};

// The volume's bytes as the listing reads them: the loaded start, and past it, continuation areas
// read on demand.
struct VolumeBytes {
    const uint8_t *area;
    uint64_t loaded;   // bytes at area
    uint64_t readable; // bytes of the volume that may be read: loaded, or the volume's size
    const CdMore *more; // reads past the loaded start; null: nothing is read
    std::vector<uint8_t> read_buf; // the bytes read last
    uint64_t read_ofs = ~uint64_t{0};

    // n bytes at ofs, or null when they lie past the volume, are too many or cannot be read.
    // Bytes past the loaded start stay valid until the next call.
    const uint8_t *at(uint64_t ofs, uint64_t n) {
        if (ofs + n <= loaded) return area + ofs;
        if (!more || n > CE_READ_MAX || ofs + n > readable) return nullptr;
        if (read_ofs == ofs && read_buf.size() == n) return read_buf.data();
        read_buf.resize(n);
        read_ofs = ofs;
        if (more->read(more->ctx, read_buf.data(), static_cast<uint32_t>(n), ofs) != static_cast<long>(n)) {
            read_ofs = ~uint64_t{0};
            return nullptr;
        }
        return read_buf.data();
    }
};

} // namespace

// The characters of a name or typed component: decoded from UTF-8 when the bytes are valid UTF-8
// (Joliet names, typed paths, most Rock Ridge names), else each byte a Latin-1 character.
static std::u32string chars_of(std::string_view s) {
    std::u32string out;
    bool utf8 = valid_utf8(s.data(), s.size());
    for (size_t i = 0; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        char32_t cp = c;
        if (utf8 && c >= 0x80) {
            int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
            cp = c & (0x3F >> more);
            for (int k = 0; k < more; k++) cp = cp << 6 | (static_cast<unsigned char>(s[++i]) & 0x3F);
        }
        // Letters of ASCII and Latin-1 match without regard to case.
        bool lower = (cp >= 'a' && cp <= 'z') || (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7);
        out += lower ? cp - 32 : cp;
    }
    return out;
}

// Whether a subtree component names a directory: equal without regard to case, once both are
// read as characters (a path typed on Linux arrives as UTF-8, while names on the volume may be
// UTF-8 or 8-bit Latin-1).
static bool component_matches(std::string_view comp, const char *name, int len) {
    return chars_of(comp) == chars_of(std::string_view(name, static_cast<size_t>(len)));
}

// What the Rock Ridge entries of the record at rec (rl bytes) say: its name from its "NM" entries
// into *out (false when it has none), and whether it is a symbolic link ("SL", or a "PX" file mode
// of a link). "CE" continuation areas on the volume are followed.
static bool rock_ridge_name(VolumeBytes &vol, const uint8_t *rec, uint32_t rl, uint32_t skip, Name *out,
                            bool *symlink) {
    constexpr uint32_t MODE_TYPE = 0170000, MODE_LINK = 0120000; // POSIX file type bits
    uint32_t id_len = rec[DR_ID_LEN];
    uint64_t start = uint64_t{DR_ID} + id_len + (id_len % 2 == 0 ? 1 : 0) + skip; // pad byte after even ids
    const uint8_t *p = rec + std::min<uint64_t>(start, rl);
    const uint8_t *end = rec + rl;
    out->len = 0;
    bool named = false, name_whole = false;
    for (int hops = 0;;) {
        uint64_t ce_ofs = 0, ce_len = 0;
        while (end - p >= 4) {
            uint32_t n = p[2];
            if (n < 4 || n > static_cast<uint32_t>(end - p)) break;
            if (p[0] == 'S' && p[1] == 'T') break;
            if (p[0] == 'C' && p[1] == 'E' && n >= 28) {
                ce_ofs = uint64_t{le32(p + 4)} * CD_SECTOR + le32(p + 12);
                ce_len = le32(p + 20);
            } else if (p[0] == 'S' && p[1] == 'L') {
                *symlink = true;
            } else if (p[0] == 'P' && p[1] == 'X' && n >= 12 && (le32(p + 4) & MODE_TYPE) == MODE_LINK) {
                *symlink = true;
            } else if (p[0] == 'N' && p[1] == 'M' && n >= 5 && !(p[4] & 6) && !name_whole) { // 2, 4: "." and ".."
                for (uint32_t i = 5; i < n && out->len < MAX_NAME; i++)
                    out->text[out->len++] = static_cast<char>(p[i]);
                named = true;
                name_whole = !(p[4] & 1); // no continuation flag: the name is whole
            }
            p += n;
        }
        if (ce_len == 0 || ++hops > MAX_CE_HOPS) return named;
        p = vol.at(ce_ofs, ce_len);
        if (!p) return named;
        end = p + ce_len;
    }
}

// The record's name into *out: Joliet names in UTF-8, Rock Ridge and primary ones as recorded;
// primary and Joliet names lose their version suffix from the first ';' on. Bytes that would end or split a path
// (NUL, '/') become '_'. False when no usable name remains.
static bool record_name(VolumeBytes &vol, const uint8_t *rec, uint32_t rl, Names names, uint32_t rr_skip,
                        Name *out, bool *symlink) {
    const uint8_t *id = rec + DR_ID;
    uint32_t id_len = rec[DR_ID_LEN];
    *symlink = false;
    if (names != Names::rock_ridge || !rock_ridge_name(vol, rec, rl, rr_skip, out, symlink)) {
        out->len = 0;
        if (names == Names::joliet) {
            std::string utf8 = utf16be_to_utf8(id, id_len);
            memcpy(out->text, utf8.data(), utf8.size()); // at most 3 bytes per unit: it fits
            out->len = static_cast<int>(utf8.size());
        } else
            for (uint32_t i = 0; i < id_len; i++)
                out->text[out->len++] = static_cast<char>(id[i]);
        if (const void *semi = memchr(out->text, ';', static_cast<size_t>(out->len)))
            out->len = static_cast<int>(static_cast<const char *>(semi) - out->text);
    }
    for (int i = 0; i < out->len; i++)
        if (out->text[i] == 0 || out->text[i] == OS_PATH_SEP) out->text[i] = '_';
    out->text[out->len] = 0;
    return out->len > 0 && strcmp(out->text, ".") != 0 && strcmp(out->text, "..") != 0;
}

static void empty_table() {
    file_table.clear();
    num_files.store(0, std::memory_order_relaxed);
    total_bytes.store(0, std::memory_order_relaxed);
}

static int fail(const char *why, int result) {
    empty_table();
    cd_fail_reason = why;
    return result;
}

int list_cd_files(const uint8_t *area, uint32_t loaded, uint64_t volume_size, const char *root,
                  const char *subtree, uint64_t *span_start, uint64_t *span_end, const CdMore *more) {
    empty_table();
    files_capped = false;
    cd_fail_reason = nullptr;
    auto available = [loaded](uint64_t ofs, uint64_t n) { return ofs + n <= loaded; };
    const uint64_t vol_end = volume_size ? (volume_size + CD_SECTOR - 1) / CD_SECTOR * CD_SECTOR : ~uint64_t{0};
    const uint8_t *pvd = area + PVD_SECTOR * CD_SECTOR;
    if (!available(PVD_SECTOR * CD_SECTOR, CD_SECTOR) || memcmp(pvd + 1, "CD001", 5) != 0)
        return fail(NOT_ISO, -1);
    if ((pvd[VD_BLOCK_SIZE] | pvd[VD_BLOCK_SIZE + 1] << 8) != CD_SECTOR) return fail(NOT_ISO, -1);
    parse_cd_identity(area, loaded, &cd_identity);
    // Joliet: a supplementary descriptor in sector 17 whose escape sequence names UCS-2 (%/@, %/C,
    // %/E). Without the escape it is some other character set, whose names must not be halved.
    const uint8_t *svd = area + SVD_SECTOR * CD_SECTOR;
    bool joliet = available(SVD_SECTOR * CD_SECTOR, CD_SECTOR) && svd[0] == 2 && svd[VD_ESCAPES] == '%' &&
                  svd[VD_ESCAPES + 1] == '/' && memchr("@CE", svd[VD_ESCAPES + 2], 3);
    const uint8_t *root_rec = (joliet ? svd : pvd) + VD_ROOT;
    Names names = joliet ? Names::joliet : Names::primary;

    std::vector<std::string_view> comps;
    for (std::string_view rest = subtree; !rest.empty();) {
        size_t cut = rest.find(OS_PATH_SEP);
        if (cut != 0) comps.push_back(rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
    }

    // Directories past the loaded start are read when they are listed; without a reader, or
    // when the volume's size is unknown, only the loaded start can be listed.
    VolumeBytes vol{area, loaded, more && volume_size > loaded ? volume_size : loaded, more, {}, ~uint64_t{0}};
    // Sectors that belong to a directory already listed: a record that leads back to one (a loop)
    // or into one (overlap) is passed over, which bounds the whole listing.
    std::vector<bool> listed(vol.readable / CD_SECTOR + 1);
    std::vector<uint8_t> dir_buf; // a directory read past the loaded start
    uint64_t lo = ~uint64_t{0}, hi = 0;
    std::deque<PendingDir> queue{
        PendingDir{uint64_t{le32(root_rec + DR_EXTENT)} * CD_SECTOR, le32(root_rec + DR_SIZE), root, 0}};
    bool first_dir = true;
    uint32_t rr_skip = 0;
    while (!queue.empty()) {
        PendingDir dir = queue.front();
        queue.pop_front();
        if (dir.ofs + dir.size > vol.readable) {
            if (volume_size && dir.ofs + dir.size > volume_size) return fail(DAMAGED, -1);
            return fail(DIRS_BEYOND, -1);
        }
        uint64_t first = dir.ofs / CD_SECTOR, last = (dir.ofs + dir.size + CD_SECTOR - 1) / CD_SECTOR;
        if (std::any_of(listed.begin() + static_cast<std::ptrdiff_t>(first),
                        listed.begin() + static_cast<std::ptrdiff_t>(last), [](bool b) { return b; }))
            continue;
        std::fill(listed.begin() + static_cast<std::ptrdiff_t>(first),
                  listed.begin() + static_cast<std::ptrdiff_t>(last), true);
        uint64_t end = dir.ofs + dir.size;
        // base + (pos - dir.ofs) addresses the directory's byte at volume offset pos.
        const uint8_t *base = area + std::min<uint64_t>(dir.ofs, loaded);
        if (dir.size > 0 && !available(dir.ofs, dir.size)) {
            if (dir.size > DIR_READ_MAX) return fail(DIR_TOO_BIG, -1);
            dir_buf.resize(dir.size);
            if (more->read(more->ctx, dir_buf.data(), dir.size, dir.ofs) != static_cast<long>(dir.size))
                return fail(UNREADABLE, -1);
            base = dir_buf.data();
        }
        if (first_dir && !joliet && dir.size >= 41) {
            // Rock Ridge: the root's "." record opens its system use area with "SP" and the check
            // bytes BE EF; its last byte says how many bytes every later area skips.
            const uint8_t *dot = base;
            const uint8_t *sp = dot + DR_ID + 1;
            if (dot[DR_LEN] >= 41 && dot[DR_ID_LEN] == 1 && sp[0] == 'S' && sp[1] == 'P' && sp[2] == 7 &&
                sp[4] == 0xBE && sp[5] == 0xEF) {
                names = Names::rock_ridge;
                rr_skip = sp[6];
            }
        }
        first_dir = false;
        for (uint64_t pos = dir.ofs; pos < end;) {
            const uint8_t *rec = base + (pos - dir.ofs);
            uint32_t rl = rec[DR_LEN];
            if (rl == 0) {
                // The rest of the sector is padding; a zero at a sector's start ends the directory.
                if (pos % CD_SECTOR == 0) break;
                pos = (pos / CD_SECTOR + 1) * CD_SECTOR;
                continue;
            }
            if (rl < DR_ID + 1 || pos + rl > end) return fail(DAMAGED, -1);
            pos += rl;
            uint32_t id_len = rec[DR_ID_LEN];
            if (id_len == 0 || DR_ID + id_len > rl) continue; // a name longer than its record: passed over
            if (id_len == 1 && rec[DR_ID] <= 1) continue;     // "." and ".."
            Name name;
            bool symlink;
            if (!record_name(vol, rec, rl, names, rr_skip, &name, &symlink)) continue;
            uint8_t flags = rec[DR_FLAGS];
            uint64_t ofs = uint64_t{le32(rec + DR_EXTENT)} * CD_SECTOR;
            uint32_t size = le32(rec + DR_SIZE);
            if (flags & FLAG_DIR) {
                if (dir.depth < comps.size() && !component_matches(comps[dir.depth], name.text, name.len))
                    continue;
                size_t plen = strlen(dir.path);
                size_t len = plen + 1 + static_cast<size_t>(name.len);
                if (len >= static_cast<size_t>(OS_PATH_MAX)) continue; // skipped, never cut
                char *sub = static_cast<char *>(mem_alloc(static_cast<uint32_t>(len + 1), false));
                if (!sub) return fail(REASON_NAMES_FULL, -1);
                memcpy(sub, dir.path, plen);
                sub[plen] = OS_PATH_SEP;
                memcpy(sub + plen + 1, name.text, static_cast<size_t>(name.len) + 1);
                queue.push_back(PendingDir{ofs, size, sub, std::min(dir.depth + 1, comps.size())});
                continue;
            }
            // A symbolic link has no data of its own: it is not a file to index.
            if ((flags & FLAG_ASSOCIATED) || dir.depth < comps.size() || symlink) continue;
            if (strlen(dir.path) + 1 + static_cast<size_t>(name.len) >= static_cast<size_t>(OS_PATH_MAX))
                continue;
            if (file_table.size() == static_cast<size_t>(MAX_FILES)) {
                // File numbers are 16 bits wide: the rest is left out, and said so.
                files_capped = true;
                queue.clear();
                break;
            }
            char *file_name = heap_copy(name.text, static_cast<size_t>(name.len));
            if (!file_name) return fail(REASON_NAMES_FULL, -1);
            file_table.push_back(FileEntry{file_name, dir.path, size, ofs, 1, record_time(rec + DR_DATE), 0});
            // Data past the volume's end (an image cut short) is not read: the span stops at the
            // end, and the run names the files it could not finish.
            uint64_t from = std::min(ofs, vol_end), to = std::min((ofs + size + CD_SECTOR - 1) / CD_SECTOR * CD_SECTOR, vol_end);
            lo = std::min(lo, from);
            hi = std::max(hi, to);
        }
    }
    if (file_table.empty()) return fail(NO_FILES, 1);
    // Stable: files at one position (empty ones, often) keep their listing order, so the same
    // volume always gives the same file numbers.
    std::stable_sort(file_table.begin(), file_table.end(),
                     [](const FileEntry &a, const FileEntry &b) { return a.disk_ofs < b.disk_ofs; });
    num_files.store(static_cast<int>(file_table.size()), std::memory_order_relaxed);
    total_bytes.store(hi - lo, std::memory_order_relaxed);
    *span_start = lo;
    *span_end = hi;
    return 0;
}

void close_cd_volume() {
    os_close(cd_volume.fd);
    cd_volume.fd = -1;
}

// The listing's reads past the loaded start: through a descriptor of their own, opened on first
// use without direct I/O, whose alignment rules directory extents need not meet.
struct MoreReader {
    const char *device;
    int fd;
};

static long read_more(void *ctx, uint8_t *buf, uint32_t n, uint64_t ofs) {
    auto *m = static_cast<MoreReader *>(ctx);
    uint64_t size = 0;
    if (m->fd < 0) m->fd = os_open_volume(m->device, OS_RANDOM, &size);
    return m->fd < 0 ? -1 : os_read_at(m->fd, buf, n, ofs);
}

int read_cd_volume(const OsVolume &vol) {
    close_cd_volume();
    cd_volume = CdVolume{-1, nullptr, 0, 0};
    cd_fail_reason = nullptr;
    uint64_t volume_size = 0;
    int fd = os_open_volume(vol.device.c_str(), OS_DIRECT | OS_SEQUENTIAL, &volume_size);
    if (fd < 0) return fail(CANNOT_OPEN, -1);
    auto *area = static_cast<uint8_t *>(os_reserve(FS_BUF_SIZE));
    if (!area) {
        os_close(fd);
        return fail(UNREADABLE, -1);
    }
    long n = os_read_at(fd, area, FS_BUF_SIZE, 0);
    int r = -1;
    uint64_t lo = 0, hi = 0;
    char *root = heap_copy(vol.root.c_str(), vol.root.size());
    char *device = heap_copy(vol.device.c_str(), vol.device.size());
    if (n < 0)
        fail(UNREADABLE, -1);
    else if (!root || !device)
        fail(REASON_NAMES_FULL, -1);
    else {
        MoreReader m{vol.device.c_str(), -1};
        CdMore more{read_more, &m};
        r = list_cd_files(area, static_cast<uint32_t>(n), volume_size, root, vol.subtree.c_str(), &lo, &hi, &more);
        os_close(m.fd);
    }
    os_release(area, FS_BUF_SIZE);
    if (r != 0) {
        os_close(fd);
        return r;
    }
    cd_volume = CdVolume{fd, device, lo, hi};
    return 0;
}

CdIdentity cd_identity;

bool parse_cd_identity(const uint8_t *area, uint64_t loaded, CdIdentity *id) {
    constexpr uint32_t VOLUME_ID = 40, SPACE_SIZE = 80, CREATED = 813;
    if (loaded < (PVD_SECTOR + 1) * CD_SECTOR) return false;
    const uint8_t *pvd = area + PVD_SECTOR * CD_SECTOR;
    if (pvd[0] != 1 || memcmp(pvd + 1, "CD001", 5) != 0) return false;
    std::string name(reinterpret_cast<const char *>(pvd + VOLUME_ID), 32);
    // Only printable ASCII is kept: the name is shown to people and written into the catalogue.
    for (char &c : name)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = ' ';
    name.erase(name.find_last_not_of(' ') + 1);
    std::string date(reinterpret_cast<const char *>(pvd + CREATED), 16);
    for (char &c : date)
        if (c < '0' || c > '9') c = '0';
    id->volume_id = name;
    id->created = date;
    id->blocks = pvd[SPACE_SIZE] | pvd[SPACE_SIZE + 1] << 8 | pvd[SPACE_SIZE + 2] << 16 |
                 static_cast<uint32_t>(pvd[SPACE_SIZE + 3]) << 24;
    return true;
}

bool read_cd_identity(const char *device, CdIdentity *id) {
    uint64_t size = 0;
    int fd = os_open_volume(device, OS_RANDOM, &size);
    if (fd < 0) return false;
    std::vector<uint8_t> area((PVD_SECTOR + 1) * CD_SECTOR);
    long n = os_read_at(fd, area.data(), static_cast<uint32_t>(area.size()), 0);
    os_close(fd);
    return n > 0 && parse_cd_identity(area.data(), static_cast<uint64_t>(n), id);
}

bool valid_index_path(const char *path) {
    OsVolume vol;
    return os_is_dir(path) || (os_volume_of(path, &vol) && vol.image);
}

int read_cd_fs(const char *path) {
    OsVolume vol;
    if (!os_volume_of(path, &vol)) return fail(NOT_ISO, -1);
    return read_cd_volume(vol);
}
