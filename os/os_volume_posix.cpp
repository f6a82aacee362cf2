// Which volume holds a path, for the raw ISO 9660 reader: an image file on the path, or a mount of
// a disc file system or an optical device (the mount table), and the opening of that raw volume.
#include "os/os.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Whether the regular file at path holds an ISO 9660 volume: the standard identifier of the first
// volume descriptor, sector 16.
bool holds_iso9660(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    char id[5];
    bool yes =
        pread(fd, id, sizeof id, 32769) == static_cast<ssize_t>(sizeof id) && memcmp(id, "CD001", 5) == 0;
    close(fd);
    return yes;
}

// The components of rest joined by '/': empty ones and "." dropped, ".." taking back the one before
// it (never above the volume's root).
std::string normal_subtree(const char *rest) {
    std::string out;
    while (*rest) {
        const char *end = strchr(rest, '/');
        size_t n = end ? static_cast<size_t>(end - rest) : strlen(rest);
        std::string c(rest, n);
        if (c == "..") {
            size_t cut = out.rfind('/');
            out.erase(cut == std::string::npos ? 0 : cut);
        } else if (!c.empty() && c != ".") {
            if (!out.empty()) out += '/';
            out += c;
        }
        rest += n;
        if (*rest) rest++;
    }
    return out;
}

// The image half: the first prefix of path that is not a directory must be a regular file holding
// a volume. A path that is itself a directory has no such prefix, which one stat settles.
bool image_volume(const char *path, OsVolume *vol) {
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return false;
    std::string p = path;
    for (size_t i = 1; i <= p.size(); i++) {
        if (i < p.size() && (p[i] != '/' || p[i - 1] == '/')) continue;
        std::string prefix = p.substr(0, i);
        if (stat(prefix.c_str(), &st) != 0) return false;
        if (S_ISDIR(st.st_mode)) continue;
        if (!S_ISREG(st.st_mode) || !holds_iso9660(prefix.c_str())) return false;
        vol->device = prefix;
        vol->root = prefix;
        vol->subtree = normal_subtree(path + i);
        vol->image = true;
        return true;
    }
    return false;
}

// Mount table fields escape space, tab, newline and backslash as \ooo.
std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        auto octal = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3) && s[i + 1] <= '3') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Whether dir is path or one of its ancestors, component by component.
bool is_prefix_dir(const std::string &dir, const std::string &path) {
    if (dir == "/") return true;
    return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

// Whether the block device at dev is an optical drive (SCSI peripheral type 5).
bool is_optical(const std::string &dev) {
    char real[PATH_MAX];
    if (!realpath(dev.c_str(), real)) return false;
    const char *name = strrchr(real, '/');
    if (!name || strncmp(real, "/dev/", 5) != 0) return false;
    std::string sys = std::string("/sys/class/block/") + (name + 1);
    for (const char *type : {"/device/type", "/../device/type"}) {
        std::ifstream in(sys + type);
        int t;
        if (in >> t) return t == 5;
    }
    return false;
}

} // namespace

bool os_mount_volume(const char *resolved, const std::string &mountinfo, OsVolume *vol) {
    std::istringstream lines(mountinfo);
    std::string line, best_point, best_root, best_type, best_source;
    bool found = false;
    while (std::getline(lines, line)) {
        // id parent major:minor root mount-point options [optional fields...] - type source options
        std::istringstream f(line);
        std::string id, parent, devno, root, point, opts, word, type, source;
        if (!(f >> id >> parent >> devno >> root >> point >> opts)) continue;
        while (f >> word && word != "-") {
        }
        if (word != "-" || !(f >> type >> source)) continue;
        point = unescape(point);
        // Among equal mount points the last one listed is on top.
        if (!is_prefix_dir(point, resolved) || (found && point.size() < best_point.size())) continue;
        found = true;
        best_point = point;
        best_root = unescape(root);
        best_type = type;
        best_source = unescape(source);
    }
    if (!found) return false;
    if (best_type != "iso9660" && best_type != "udf" && !is_optical(best_source)) return false;
    // A bind mount of a directory inside a disc shows only part of it: its paths could not be built
    // from the volume's root, so it is walked like any directory.
    if (best_root != "/") return false;
    vol->device = best_source;
    vol->root = best_point;
    vol->subtree = normal_subtree(resolved + (best_point == "/" ? 0 : best_point.size()));
    vol->image = false;
    return true;
}

bool os_volume_of(const char *path, OsVolume *vol) {
    if (!*path) return false;
    if (image_volume(path, vol)) return true;
    char real[PATH_MAX];
    if (!realpath(path, real)) return false;
    std::ifstream in("/proc/self/mountinfo");
    std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return os_mount_volume(real, table, vol);
}

int os_open_volume(const char *device, int flags, uint64_t *size) {
    // O_NONBLOCK: a FIFO named as a device must not block the indexing thread at the open.
    int fd = -1;
    if (flags & OS_DIRECT)
        fd = os_sys.open(AT_FDCWD, device, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_DIRECT, 0);
    if (fd < 0 && (!(flags & OS_DIRECT) || errno == EINVAL))
        fd = os_sys.open(AT_FDCWD, device, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0) return -1;
    struct stat st;
    off_t end = -1;
    if (fstat(fd, &st) == 0) {
        if (S_ISREG(st.st_mode))
            end = st.st_size;
        else if (S_ISBLK(st.st_mode))
            end = lseek(fd, 0, SEEK_END);
    }
    if (end < 0) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (flags & OS_SEQUENTIAL) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (flags & OS_RANDOM) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    *size = static_cast<uint64_t>(end);
    return fd;
}

// ---- Where a folder or a disc is now ----

namespace {

struct MountLine {
    std::string point, root, type, source;
    unsigned major = 0, minor = 0;
};

std::vector<MountLine> mount_table() {
    std::ifstream in("/proc/self/mountinfo");
    std::vector<MountLine> out;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, parent, devno, root, point, opts, word;
        MountLine m;
        if (!(f >> id >> parent >> devno >> root >> point >> opts)) continue;
        while (f >> word && word != "-") {
        }
        if (word != "-" || !(f >> m.type >> m.source)) continue;
        if (sscanf(devno.c_str(), "%u:%u", &m.major, &m.minor) != 2) continue;
        m.point = unescape(point);
        m.root = unescape(root);
        m.source = unescape(m.source);
        out.push_back(std::move(m));
    }
    return out;
}

// The by-uuid name of the block device major:minor; "" when it has none.
std::string uuid_of_device(unsigned major, unsigned minor) {
    std::vector<OsDirEntry> links;
    if (os_dir_list("/dev/disk/by-uuid", links) != 0) return "";
    for (const OsDirEntry &l : links) {
        struct stat st;
        std::string p = "/dev/disk/by-uuid/" + l.name;
        if (stat(p.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && ::major(st.st_rdev) == major &&
            ::minor(st.st_rdev) == minor)
            return l.name;
    }
    return "";
}

} // namespace

bool os_folder_volume(const char *path, std::string *uuid, std::string *below) {
    char real[PATH_MAX];
    if (!realpath(path, real)) return false;
    const MountLine *best = nullptr;
    std::vector<MountLine> table = mount_table();
    for (const MountLine &m : table)
        if (is_prefix_dir(m.point, real) && (!best || m.point.size() >= best->point.size())) best = &m;
    if (!best) return false;
    *uuid = best->root == "/" ? uuid_of_device(best->major, best->minor) : "";
    std::string rest = real + (best->point == "/" ? 0 : best->point.size());
    *below = rest.empty() ? "/" : rest;
    return true;
}

std::string os_uuid_mount(const std::string &uuid) {
    if (uuid.empty() || uuid.find('/') != std::string::npos) return "";
    struct stat st;
    if (stat(("/dev/disk/by-uuid/" + uuid).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
    for (const MountLine &m : mount_table())
        if (m.root == "/" && m.major == ::major(st.st_rdev) && m.minor == ::minor(st.st_rdev)) return m.point;
    return "";
}

std::vector<std::string> os_disc_mounts() {
    std::vector<std::string> out;
    for (const MountLine &m : mount_table())
        if (m.root == "/" && (m.type == "iso9660" || m.type == "udf" || is_optical(m.source)))
            out.push_back(m.point);
    std::vector<OsDirEntry> entries;
    for (const char *top : {"/media", "/run/media"}) {
        if (os_dir_list(top, entries) != 0) continue;
        for (const OsDirEntry &e : entries) {
            if (e.type != OsEntryType::dir) continue;
            std::string p = std::string(top) + "/" + e.name;
            out.push_back(p);
            // /run/media/<user>/<label>, /media/<user>/<label>
            std::vector<OsDirEntry> inner;
            if (os_dir_list(p.c_str(), inner) == 0)
                for (const OsDirEntry &i : inner)
                    if (i.type == OsEntryType::dir) out.push_back(p + "/" + i.name);
        }
    }
    return out;
}
