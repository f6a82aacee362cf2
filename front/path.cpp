#include "front/path.h"

#include <cstdlib>
#include <filesystem>

#include "idx/engine.h"

static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string normalize_path(const std::string &typed) {
    namespace fs = std::filesystem;
    size_t a = 0, b = typed.size();
    while (a < b && is_space(typed[a])) a++;
    while (b > a && is_space(typed[b - 1])) b--;
    std::string path = typed.substr(a, b - a);
    if (path.empty()) return path;
    if (path[0] == '~' && (path.size() == 1 || path[1] == '/')) {
        const char *home = getenv("HOME");
        if (home && *home) path = home + path.substr(1);
    }
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    if (ec) return path;
    std::string s = abs.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    // A ".." after a symbolic link leads elsewhere than its lexical removal: then ask the system.
    if (!fs::equivalent(s, path, ec) && !ec) {
        fs::path real = fs::canonical(path, ec);
        if (!ec) s = real.string();
    }
    return s;
}

std::string index_path_of(const std::string &typed) {
    std::string p = normalize_path(typed);
    if (p.empty() || !valid_index_path(p.c_str())) return "";
    return p;
}
