// Fuzz target: the catalogue idx.files. The input is the whole file. It goes to decode_catalogue
// twice: as it is, and with its tie set to the idx.dat made at start-up from the fixed tree and
// its checksum made right, so that the fuzzer reaches the records behind the header. A catalogue
// that decodes the second time is put beside that idx.dat and loaded (a folder found through the
// volume hint at the fixed tree), and the tree's words are searched in it, paths, states and
// excerpts.
// Checks: nothing crashes or hangs; a decoded view keeps every string inside the input and every
// file in one of its directories; a catalogued load lists exactly the decoded files, each result
// with a path.
#include <cstdint>
#include <cstring>
#include <string>

#include <zlib.h>

#include "fuzz/fuzz_util.h"
#include "idx/catalogue.h"
#include "idx/index.h"
#include "idx/read/files.h"

static std::string work;
static CatalogueTie tie; // of the idx.dat in work

static const char *const QUERIES[] = {"lighthouse harbour keeper", "needle straddle storm", "seagull songs beacon"};

static void check_view(const CatalogueView &v, const uint8_t *data, size_t size) {
    auto inside = [&](const char *s) {
        auto p = reinterpret_cast<const uint8_t *>(s);
        return p >= data && p < data + size && memchr(p, 0, static_cast<size_t>(data + size - p)) != nullptr;
    };
    if (v.dir_sec.size() != v.dirs.size() || v.dir_nsec.size() != v.dirs.size()) __builtin_trap();
    for (const char *d : v.dirs)
        if (!inside(d)) __builtin_trap();
    for (uint32_t i = 0; i < v.file_count; i++) {
        CatalogueView::File f = v.file(i);
        if (f.dir >= v.dirs.size() || !inside(f.name) || !*f.name || f.disk_ofs % 2048) __builtin_trap();
    }
    if (v.file_count == 0 || v.file_count > static_cast<uint32_t>(MAX_FILES)) __builtin_trap();
}

static void run_queries() {
    bool excerpts = true;
    for (const char *q : QUERIES) {
        query_idx(q);
        char *path, *text;
        int freq;
        while (next_result(&path, &freq, nullptr) == 0) {
            if (!path) __builtin_trap();
            (void)result_state();
            (void)result_kind();
        }
        // Excerpts read the listed files where the catalogue says they are: the first query only.
        if (!excerpts) continue;
        excerpts = false;
        while (next_result(&path, &freq, &text) == 0)
            if (!path || !text || strnlen(text, 256) == 256) __builtin_trap();
    }
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    work = fuzz_scratch() + "/catalogue";
    fuzz_make_tree(work + "/tree");
    fuzz_trigrams(false);
    fuzz_in_dir(work, [] {
        if (fuzz_index("tree", nullptr) != 2) __builtin_trap();
        std::string made = read_file_bytes("idx.files");
        CatalogueView v;
        std::string why;
        if (!decode_catalogue(reinterpret_cast<const uint8_t *>(made.data()), made.size(), &v, &why))
            __builtin_trap();
        tie = v.tie;
    });
    // The seeds were made in another scratch directory: their folder is found here by the hint.
    static std::string tree = work + "/tree";
    set_volume_hint(tree.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CatalogueView view;
    std::string why;
    if (decode_catalogue(data, size, &view, &why))
        check_view(view, data, size);
    else if (why.empty())
        __builtin_trap();
    if (size < CAT_HEADER_SIZE) return 0;

    std::string b(reinterpret_cast<const char *>(data), size);
    memcpy(&b[12], &tie, sizeof tie);
    uLong c = crc32(0L, Z_NULL, 0);
    c = crc32(c, reinterpret_cast<const Bytef *>(b.data()) + CAT_HEADER_SIZE, static_cast<uInt>(size - CAT_HEADER_SIZE));
    auto sum = static_cast<uint32_t>(c);
    memcpy(&b[40], &sum, 4);
    const auto *sealed = reinterpret_cast<const uint8_t *>(b.data());
    view = CatalogueView{};
    if (!decode_catalogue(sealed, b.size(), &view, &why)) return 0;
    check_view(view, sealed, b.size());
    size_t files = view.file_count;
    fuzz_in_dir(work, [&] {
        fuzz_write("idx.files.new", b);
        if (rename("idx.files.new", "idx.files") != 0) __builtin_trap();
        if (read_idx() != 0) return;
        if (index_volume().catalogued && file_table.size() != files) __builtin_trap();
        run_queries();
    });
    return 0;
}
