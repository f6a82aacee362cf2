#include "idx/idxdir.h"

#include <cstdlib>
#include <cstring>

#include "os/os.h"

static std::string dir_in_use;

const char *idx_dir() { return dir_in_use.c_str(); }

void set_idx_dir(const char *dir) { dir_in_use = dir ? dir : ""; }

std::string idx_dir_file(const char *name) {
    if (dir_in_use.empty()) return name;
    std::string p = dir_in_use;
    if (p.back() != OS_PATH_SEP) p += OS_PATH_SEP;
    return p + name;
}

std::string user_idx_dir() {
    // Relative values are invalid for these variables and are ignored, as other programs do.
    const char *xdg = getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == OS_PATH_SEP) return std::string(xdg) + "/olmarest";
    const char *home = getenv("HOME");
    if (home && home[0] == OS_PATH_SEP) return std::string(home) + "/.local/share/olmarest";
    return "";
}

static bool is_file(const std::string &path) {
    int fd = os_open(path.c_str(), 0);
    if (fd < 0) return false;
    os_close(fd);
    return !os_is_dir(path.c_str());
}

std::string default_stopwords() {
    char dir[OS_PATH_MAX];
    if (!os_program_dir(dir, sizeof dir)) return "";
    for (const char *rel : {"/stopwords.txt", "/../share/olmarest/stopwords.txt"}) {
        std::string p = std::string(dir) + rel;
        if (is_file(p)) return p;
    }
    return "";
}

void seed_stop_list() {
    std::string mine = idx_dir_file("stopwords.txt");
    uint64_t dev, ino;
    if (os_path_id(mine.c_str(), &dev, &ino)) return;
    std::string stops = default_stopwords();
    if (!stops.empty()) os_copy_file(stops.c_str(), mine.c_str());
}

int choose_idx_dir(const char *dir, std::string *why) {
    const char *env = getenv("OLMAREST_DIR");
    const char *named = dir && *dir ? dir : env && *env ? env : nullptr;
    if (named) {
        if (!os_is_dir(named)) {
            *why = std::string("index directory ") + named + " does not exist";
            return -1;
        }
        set_idx_dir(named);
        return 0;
    }
    std::string user = user_idx_dir();
    if (user.empty()) {
        *why = "no index directory: HOME is not set; name one with -d DIR or OLMAREST_DIR";
        return -1;
    }
    if (!os_is_dir(user.c_str())) {
        if (os_make_dirs(user.c_str()) != 0) {
            *why = "index directory " + user + " cannot be made: " + os_error_text(os_last_error());
            return -1;
        }
        // A missing stop list only switches stop words off, so a failed copy is no error.
        std::string stops = default_stopwords();
        if (!stops.empty()) os_copy_file(stops.c_str(), (user + "/stopwords.txt").c_str());
    }
    set_idx_dir(user.c_str());
    return 0;
}
