// What the catalogue idx.files costs a run and gives a load, measured in one process on one tree.
// Indexes TREE into the index directory DIR (its idx.dat and idx.files are replaced) ROUNDS times
// and prints, as "name value" lines (medians; seconds):
//   files, catalogue_bytes, bytes_per_file
//   index_s           a whole run (create_idx to its end), the catalogue's writing included
//   catalogue_s       the catalogue made again from the loaded table and written as a run writes it
//                     (encoded, written to a file of its own, flushed, renamed): its share of index_s
//   load_catalogue_s  read_idx with idx.files
//   load_walk_s       read_idx with idx.files set aside (walk, fingerprint, chain check)
// Usage: catalogue_cost TREE DIR [ROUNDS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "idx/catalogue.h"
#include "idx/idxdir.h"
#include "idx/index.h"
#include "idx/read/files.h"
#include "os/os.h"

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "catalogue_cost: %s: %s\n", what, idx_reason());
    exit(1);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: catalogue_cost TREE DIR [ROUNDS]\n");
        return 2;
    }
    const char *tree = argv[1];
    set_idx_dir(argv[2]);
    int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 3;
    pass_log = false;
    std::string cat = idx_dir_file(CAT_FILE), aside = cat + ".aside";
    std::vector<double> index_s, cat_s, load_cat_s, load_walk_s;
    uint64_t cat_bytes = 0;
    int files = 0;
    for (int r = 0; r < rounds; r++) {
        double t0 = get_seconds();
        if (create_idx(tree) < 0) fail("create_idx");
        while (status_idx() == IDX_ACTIVE) os_sleep_ms(1);
        if (status_idx() != IDX_DONE) fail("the run");
        index_s.push_back(get_seconds() - t0);

        t0 = get_seconds();
        if (read_idx() != 0) fail("read_idx");
        load_cat_s.push_back(get_seconds() - t0);
        if (!index_volume().catalogued) {
            fprintf(stderr, "catalogue_cost: the load did not use idx.files: %s\n", load_note());
            return 1;
        }
        files = static_cast<int>(file_table.size());

        // The catalogue again from the loaded table, written as the run writes its own.
        const auto *h = static_cast<const IdxHeader *>(static_cast<const void *>(idx_pool.base));
        CatalogueTie tie{idx_pool.end, h->base, h->fingerprint};
        t0 = get_seconds();
        std::string bytes = encode_catalogue(tie, describe_volume(tree));
        std::string tmp;
        int fd = os_create_new(idx_dir(), CAT_RUN_FILE, &tmp);
        if (fd < 0 || os_write_at(fd, bytes.data(), bytes.size(), 0) != 0 || os_sync(fd) != 0 ||
            os_put_in_place(fd, tmp.c_str(), cat.c_str()) != 0) {
            fprintf(stderr, "catalogue_cost: writing %s: %s\n", cat.c_str(), os_error_text(os_last_error()));
            return 1;
        }
        os_close(fd);
        cat_s.push_back(get_seconds() - t0);
        cat_bytes = bytes.size();

        if (os_rename(cat.c_str(), aside.c_str()) != 0) fail("setting idx.files aside");
        t0 = get_seconds();
        if (read_idx() != 0) fail("read_idx by walking");
        load_walk_s.push_back(get_seconds() - t0);
        if (os_rename(aside.c_str(), cat.c_str()) != 0) fail("putting idx.files back");
    }
    double idx = median(index_s), c = median(cat_s);
    printf("files %d\n", files);
    printf("catalogue_bytes %llu\n", static_cast<unsigned long long>(cat_bytes));
    printf("bytes_per_file %.1f\n", files ? static_cast<double>(cat_bytes) / files : 0.0);
    printf("index_s %.3f\n", idx);
    printf("catalogue_s %.4f\n", c);
    printf("catalogue_share_pct %.2f\n", idx > 0 ? 100.0 * c / idx : 0.0);
    printf("load_catalogue_s %.4f\n", median(load_cat_s));
    printf("load_walk_s %.4f\n", median(load_walk_s));
    return 0;
}
