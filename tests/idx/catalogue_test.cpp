// The catalogue idx.files beside idx.dat: the table it stores is the one a walk finds (folders and
// images), the walk never lists it, an index is searched with its volume moved away and found again
// where it went, a damaged or mismatched catalogue is refused with its reason and the tree walked
// instead, and a run whose catalogue cannot be written still succeeds without leaving one behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "idx/catalogue.h"
#include "idx/index.h"
#include "idx/read/files.h"
#include "os/os.h"
#include "tests/iso_image.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

using Row = std::tuple<std::string, std::string, uint64_t, int64_t, uint32_t, uint64_t>;

// The loaded file table, every field a walk and a catalogue must agree on.
std::vector<Row> table_now() {
    std::vector<Row> rows;
    for (const FileEntry &e : file_table)
        rows.emplace_back(e.dir_name, e.file_name, e.file_size, e.mtime_sec, e.mtime_nsec, e.disk_ofs);
    return rows;
}

std::vector<std::tuple<std::string, int64_t, uint32_t>> dirs_now() {
    std::vector<std::tuple<std::string, int64_t, uint32_t>> dirs;
    for (const DirTime &d : dir_times) dirs.emplace_back(d.path, d.mtime_sec, d.mtime_nsec);
    return dirs;
}

void put_bytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void set32(std::string &b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }
uint32_t get32(const std::string &b, size_t at) {
    uint32_t v;
    memcpy(&v, &b[at], 4);
    return v;
}

// The checksum made right again after an edit, so that the checks behind it are reached.
void reseal(std::string &b) {
    uLong c = crc32(0L, Z_NULL, 0);
    c = crc32(c, reinterpret_cast<const Bytef *>(b.data()) + CAT_HEADER_SIZE,
              static_cast<uInt>(b.size() - CAT_HEADER_SIZE));
    set32(b, 40, static_cast<uint32_t>(c));
}

bool decodes(const std::string &b, CatalogueView *view, std::string *why) {
    return decode_catalogue(reinterpret_cast<const uint8_t *>(b.data()), b.size(), view, why);
}

int entries_named(const std::string &prefix) {
    int n = 0;
    for (const auto &e : fs::directory_iterator("."))
        n += e.path().filename().string().rfind(prefix, 0) == 0;
    return n;
}

struct Listed {
    std::string path, text;
    ResultState state;
};

std::vector<Listed> search(const char *words) {
    query_idx(words);
    std::vector<Listed> rows;
    char *p, *t;
    int f;
    while (next_result(&p, &f, nullptr) == 0) rows.push_back(Listed{p, "", result_state()});
    for (Listed &r : rows) {
        EXPECT_EQ(next_result(&p, &f, &t), 0);
        r.text = t;
    }
    return rows;
}

class Catalogue : public EngineTree {
  protected:
    void TearDown() override {
        set_volume_hint("");
        EngineTree::TearDown();
    }
    void small_tree() {
        write("tree/harbour.txt", "The lighthouse keeper watched the harbour.\n");
        write("tree/sub/gulls.txt", "Gulls circled the harbour wall at dawn.\n");
        write("tree/sub/deeper/empty.txt", "");
        write("tree/sub/deeper/Stra\xC3\x9F" "e.txt", "cobblestones and lanterns\n");
        mkdir("tree/nothing");
    }
    // Loads with the catalogue and then, with it removed, by walking: both tables (and a folder's
    // directories with their times) must be the same.
    void expect_stored_equals_walked() {
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        ASSERT_TRUE(index_volume().catalogued) << load_note();
        EXPECT_STREQ(load_note(), "");
        std::vector<Row> stored = table_now();
        auto stored_dirs = dirs_now();
        std::string catalogue = read_file("idx.files");
        fs::remove("idx.files");
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        ASSERT_FALSE(index_volume().catalogued);
        EXPECT_EQ(stored, table_now());
        if (index_volume().kind == VolumeKind::folder) { // a disc's table has no directory times
            EXPECT_EQ(stored_dirs, dirs_now());
        }
        EXPECT_FALSE(stored.empty());
        put_bytes("idx.files", catalogue);
    }
};

TEST_F(Catalogue, StoredTableEqualsTheWalkedOneForAFolder) {
    small_tree();
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    expect_stored_equals_walked();
}

TEST_F(Catalogue, StoredTableEqualsTheWalkedOneForAnImageAndASubtree) {
    write("src/docs/lighthouse.txt", "The lighthouse keeper watched the harbour all night.\n");
    write("src/docs/long.txt", std::string(70000, 'x') + " harbour");
    write("src/other/gulls.txt", "Gulls circled the harbour wall.\n");
    write("src/empty.txt", "");
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    for (const std::string &what : {std::string("disc.iso"), std::string("disc.iso/docs"), root() + "/disc.iso"}) {
        SCOPED_TRACE(what);
        ASSERT_EQ(index_tree(what), 2) << idx_reason();
        expect_stored_equals_walked();
        EXPECT_EQ(index_volume().kind, VolumeKind::image);
        // Offsets are what excerpts are read at: one must still come from the image.
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        auto rows = search("lighthouse");
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_NE(rows[0].text.find("lighthouse keeper"), std::string::npos) << rows[0].text;
    }
    // An image file dated before 1970: its catalogue was refused at every load.
    const timespec before_1970[2] = {{-86400, 0}, {-86400, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, "disc.iso", before_1970, 0), 0);
    ASSERT_EQ(index_tree("disc.iso"), 2) << idx_reason();
    expect_stored_equals_walked();
}

// The index directory inside the tree it indexes: a run must list neither idx.files nor a
// catalogue left half-written by a killed run, or its table and fingerprint would change run by run
// and a walking load would find the tree changed.
TEST_F(Catalogue, WalkNeverListsTheCatalogueOrItsRunFiles) {
    write("a.txt", "harbour lights\n");
    write("sub/b.txt", "lantern keeper\n");
    ASSERT_EQ(index_tree(root()), 2) << idx_reason();
    std::string first = read_file("idx.dat");
    ASSERT_TRUE(fs::exists("idx.files"));
    write("idx.files.tmp.Ab12Cd", "left by a killed run");
    ASSERT_EQ(index_tree(root()), 2) << idx_reason();
    // The same table: the same size and fingerprint (addresses may differ with the mapping's).
    std::string second = read_file("idx.dat");
    EXPECT_EQ(second.size(), first.size());
    EXPECT_EQ(u32_at(second, 276), u32_at(first, 276)) << "the second run saw other files";
    for (const FileEntry &e : file_table) EXPECT_EQ(std::string(e.file_name).rfind("idx.", 0), std::string::npos);
    EXPECT_EQ(num_files.load(), 2);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_TRUE(index_volume().catalogued);
    fs::remove("idx.files");
    EXPECT_EQ(read_idx(), 0) << idx_reason() << ": the walking load found the tree changed";
    EXPECT_EQ(num_files.load(), 2);
}

TEST_F(Catalogue, SearchedWithTheFolderAwayAndFoundWhereItWent) {
    small_tree();
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    fs::rename(tree(), path("moved"));
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(index_volume().found_at, "");
    EXPECT_EQ(changed_directories(), -1);
    auto rows = search("harbour");
    ASSERT_EQ(rows.size(), 2u);
    for (const Listed &r : rows) {
        EXPECT_EQ(r.state, ResultState::absent) << r.path;
        EXPECT_EQ(r.text, "") << "an absent file has no excerpt";
        EXPECT_EQ(r.path.rfind(tree() + "/", 0), 0u) << "listed where it was: " << r.path;
    }

    set_volume_hint(path("moved").c_str());
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(index_volume().found_at, path("moved"));
    EXPECT_EQ(changed_directories(), 0);
    rows = search("harbour");
    ASSERT_EQ(rows.size(), 2u);
    for (const Listed &r : rows) {
        EXPECT_EQ(r.state, ResultState::fresh) << r.path;
        EXPECT_EQ(r.path.rfind(path("moved") + "/", 0), 0u) << r.path;
        EXPECT_NE(r.text.find("harbour"), std::string::npos) << r.path << ": " << r.text;
    }

    // A hint that leads nowhere falls back on the stored place.
    fs::rename(path("moved"), tree());
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(index_volume().found_at, tree());
    EXPECT_EQ(search("cobblestones").at(0).state, ResultState::fresh);
}

TEST_F(Catalogue, SearchedWithTheImageAwayAndFoundWhereItWent) {
    write("src/docs/lighthouse.txt", "The lighthouse keeper watched the harbour all night.\n");
    write("src/other/gulls.txt", "Gulls circled the harbour wall.\n");
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    ASSERT_EQ(index_tree(root() + "/disc.iso"), 2) << idx_reason();
    mkdir("shelf");
    fs::rename("disc.iso", path("shelf/renamed.iso"));
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(index_volume().kind, VolumeKind::image);
    EXPECT_EQ(index_volume().where, root() + "/disc.iso") << "the row says where the image was";
    EXPECT_EQ(index_volume().found_at, "");
    auto rows = search("harbour");
    ASSERT_EQ(rows.size(), 2u);
    for (const Listed &r : rows) {
        EXPECT_EQ(r.state, ResultState::absent);
        EXPECT_EQ(r.text, "");
    }

    // An image of another identity at the hint is not taken for this one.
    write("src/docs/lighthouse.txt", "an altogether different disc\n");
    ASSERT_TRUE(make_iso(path("src"), "other.iso", "-J -V OTHER"));
    set_volume_hint(path("other.iso").c_str());
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(index_volume().found_at, "");

    set_volume_hint(path("shelf/renamed.iso").c_str());
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_TRUE(index_volume().catalogued);
    EXPECT_EQ(index_volume().found_at, path("shelf/renamed.iso"));
    rows = search("harbour");
    ASSERT_EQ(rows.size(), 2u);
    for (const Listed &r : rows) {
        EXPECT_EQ(r.state, ResultState::fresh);
        EXPECT_NE(r.text.find("harbour"), std::string::npos) << r.path << ": " << r.text;
    }
}

// Each damage is refused by the decoder with its reason; a load then walks the tree, says why in
// load_note, and its rows are the walk's.
TEST_F(Catalogue, DamagedCatalogueIsRefusedWithItsReasonAndTheTreeWalked) {
    small_tree();
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    const std::string good = read_file("idx.files");
    CatalogueView view;
    std::string why;
    ASSERT_TRUE(decodes(good, &view, &why)) << why;
    const uint32_t ndirs = get32(good, 28), vol = get32(good, 32);
    const size_t file0 = CAT_HEADER_SIZE + vol + size_t{ndirs} * CAT_DIR_SIZE;
    struct Damage {
        const char *what;
        void (*apply)(std::string &b, size_t file0);
        const char *reason;
    };
    const Damage damages[] = {
        {"a byte flipped", [](std::string &b, size_t) { b[b.size() / 2] ^= 0x20; },
         "idx.files is damaged: checksum mismatch"},
        {"cut short", [](std::string &b, size_t) { b.resize(b.size() - 7); },
         "idx.files is damaged: its sizes do not add up"},
        {"cut inside the header", [](std::string &b, size_t) { b.resize(40); },
         "idx.files is damaged: not a catalogue"},
        {"empty", [](std::string &b, size_t) { b.clear(); },
         "idx.files is damaged: its size is out of range or it cannot be read"},
        {"wrong magic", [](std::string &b, size_t) { b[3] = 'X'; }, "idx.files is damaged: not a catalogue"},
        {"another version", [](std::string &b, size_t) { set32(b, 8, CAT_VERSION + 1); },
         "idx.files was written by another version of Olmarest"},
        {"one file more than its bytes", [](std::string &b, size_t) { set32(b, 24, get32(b, 24) + 1); },
         "idx.files is damaged: its sizes do not add up"},
        {"name pool larger than its bytes", [](std::string &b, size_t) { set32(b, 36, 0xFFFFFFF0u); },
         "idx.files is damaged: its sizes do not add up"},
        {"no files", [](std::string &b, size_t) { set32(b, 24, 0); },
         "idx.files is damaged: file count out of range"},
        {"a name offset past the pool",
         [](std::string &b, size_t f0) {
             set32(b, f0 + 4, 0x7FFFFFFF);
             reseal(b);
         },
         "idx.files is damaged: file record"},
        {"a directory number past the directories",
         [](std::string &b, size_t f0) {
             set32(b, f0, get32(b, 28));
             reseal(b);
         },
         "idx.files is damaged: file record"},
        {"a directory's name past the pool",
         [](std::string &b, size_t) {
             set32(b, CAT_HEADER_SIZE + get32(b, 32), get32(b, 36));
             reseal(b);
         },
         "idx.files is damaged: directory name"},
        {"the pool's last name unterminated",
         [](std::string &b, size_t) {
             b.back() = 'x';
             reseal(b);
         },
         "idx.files is damaged: name pool"},
        {"an unknown volume kind",
         [](std::string &b, size_t) {
             memcpy(&b[CAT_HEADER_SIZE], "kind=shelf", 10);
             reseal(b);
         },
         "idx.files is damaged: volume record"},
        {"a volume pair without its =",
         [](std::string &b, size_t) {
             b[CAT_HEADER_SIZE + 4] = 'X';
             reseal(b);
         },
         "idx.files is damaged: volume record"},
    };
    std::vector<Row> walked;
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.what);
        std::string b = good;
        d.apply(b, file0);
        if (!b.empty()) {
            CatalogueView v;
            std::string reason;
            EXPECT_FALSE(decodes(b, &v, &reason));
            EXPECT_EQ(reason, d.reason);
        }
        put_bytes("idx.files", b);
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        EXPECT_FALSE(index_volume().catalogued);
        EXPECT_EQ(std::string(load_note()), std::string(d.reason) + (b.empty() ? "" : "; the tree was walked instead"));
        if (walked.empty()) walked = table_now();
        EXPECT_EQ(table_now(), walked);
        EXPECT_EQ(search("harbour").size(), 2u);
    }
    // A FIFO in its place is neither waited on nor read.
    fs::remove("idx.files");
    ASSERT_EQ(mkfifo("idx.files", 0600), 0);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_FALSE(index_volume().catalogued);
    EXPECT_EQ(std::string(load_note()).rfind("idx.files cannot be read: ", 0), 0u) << load_note();
    fs::remove("idx.files");
    put_bytes("idx.files", good);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_TRUE(index_volume().catalogued);
    EXPECT_STREQ(load_note(), "");
}

// A catalogue from another run is never used, whichever of the pair is the newer: the rows come from
// the walk. (A crash between the two renames leaves exactly the older catalogue beside the newer
// idx.dat.)
TEST_F(Catalogue, MismatchedPairIsNeverUsed) {
    small_tree();
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    std::string old_dat = read_file("idx.dat"), old_cat = read_file("idx.files");
    write("tree/sub/added.txt", "a harbour added later\n");
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    std::string new_dat = read_file("idx.dat"), new_cat = read_file("idx.files");
    const char *refresh = "idx.files belongs to another idx.dat (refresh needed); the tree was walked instead";

    put_bytes("idx.files", old_cat);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_FALSE(index_volume().catalogued);
    EXPECT_STREQ(load_note(), refresh);
    EXPECT_EQ(search("harbour").size(), 3u);

    // The old idx.dat with the new catalogue: the walk finds a tree that no longer matches it.
    put_bytes("idx.dat.new", old_dat);
    fs::rename("idx.dat.new", "idx.dat");
    put_bytes("idx.files", new_cat);
    EXPECT_EQ(read_idx(), -1);
    EXPECT_STREQ(load_note(), refresh);
    EXPECT_STREQ(idx_reason(), "the indexed folder has changed since the index was made");
}

// Faults while the catalogue is written or put in place: the run still succeeds with its new
// idx.dat, the previous run's catalogue is not left to be used with it, nothing half-written stays.
bool fail_cat_write, fail_cat_rename;
bool is_catalogue_fd(int fd) {
    std::error_code ec;
    std::string target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).filename().string();
    return target.rfind("idx.files", 0) == 0;
}
long pwrite_faulty(int fd, const void *buf, size_t len, uint64_t ofs) {
    if (!fail_cat_write || !is_catalogue_fd(fd)) return os_sys_default.pwrite(fd, buf, len, ofs);
    if (ofs == 0 && len > 1) return os_sys_default.pwrite(fd, buf, len / 2, ofs); // half, then the disk is full
    errno = ENOSPC;
    return -1;
}
int rename_faulty(const char *from, const char *to, bool no_replace) {
    if (fail_cat_rename && fs::path(to).filename() == "idx.files") {
        errno = EIO;
        return -1;
    }
    return os_sys_default.rename(from, to, no_replace);
}

TEST_F(Catalogue, FaultsWhileWritingItLeaveTheRunWholeAndNoCatalogue) {
    struct Fault {
        bool write, rename;
        const char *note;
    };
    const Fault faults[] = {
        {true, false,
         "the catalogue idx.files could not be written (No space left on device); the index loads by walking the tree"},
        {false, true,
         "the catalogue idx.files could not be written (Input/output error); the index loads by walking the tree"},
    };
    small_tree();
    int n = 0;
    for (const Fault &f : faults) {
        SCOPED_TRACE(f.note);
        os_sys = os_sys_default;
        ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
        ASSERT_TRUE(fs::exists("idx.files"));
        std::string word = "seamark" + std::string(1, static_cast<char>('a' + n++));
        write("tree/new.txt", "The " + word + " stood on the cliff.\n");
        fail_cat_write = f.write;
        fail_cat_rename = f.rename;
        os_sys.pwrite = pwrite_faulty;
        os_sys.rename = rename_faulty;
        ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
        EXPECT_STREQ(load_note(), f.note);
        os_sys = os_sys_default;
        EXPECT_FALSE(fs::exists("idx.files")) << "the previous run's catalogue stayed";
        EXPECT_EQ(entries_named("idx.files.tmp"), 0);
        ASSERT_EQ(read_idx(), 0) << idx_reason();
        EXPECT_FALSE(index_volume().catalogued);
        auto rows = search(word.c_str());
        ASSERT_EQ(rows.size(), 1u) << "idx.dat is not the new run's " << query_word_reason(query_words().at(0));
        EXPECT_EQ(rows[0].state, ResultState::fresh);
        remove("tree/new.txt");
    }
}

} // namespace
