// CD mode end to end: images read as one span in disk order (blocks shared by files, the seek
// over gaps, progress as a position), indexes made from images and subtrees of them, searched with
// excerpts read from the image, reloaded from it; and olmarest-cli on image paths.
#include <gtest/gtest.h>

#include <random>

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "cli/commands.h"
#include "idx/check.h"
#include "idx/text/detect.h"
#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"
#include "tests/iso_image.h"
#include "tests/fakes.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

int cancel_at_fn = -1; // the first word of this file asks for a cancel

std::string reports;
void capture(const char *text) {
    reports += std::string(text) + "\n";
}

// Words "<tag>q<n in letters>" filling `size` bytes; offsets[i] is where word i ends.
std::string words(const std::string &tag, size_t size, std::vector<size_t> *ends = nullptr) {
    std::string s;
    for (int n = 0;; n++) {
        std::string w = tag + "q";
        int v = n;
        do
            w += static_cast<char>('a' + v % 10);
        while (v /= 10);
        if (s.size() + w.size() + 1 > size) break;
        s += w;
        if (ends) ends->push_back(s.size());
        s += ' ';
    }
    s.resize(size, ' ');
    return s;
}

// Whether any descriptor of the process has a file of this name open.
bool is_open(const std::string &name) {
    std::error_code ec;
    for (auto &e : fs::directory_iterator("/proc/self/fd"))
        if (fs::read_symlink(e.path(), ec).filename() == name) return true;
    return false;
}

// A synchronous back end that notes the offset of every read.
std::vector<uint64_t> read_offsets;
std::deque<std::tuple<void *, long, OsIoDone>> done_queue;

int noting_read(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done) {
    read_offsets.push_back(ofs);
    long n = os_read_at(fd, buf, len, ofs);
    done_queue.emplace_back(user, n < 0 ? 0 : n, done);
    return 0;
}

int noting_wait() {
    size_t n = done_queue.size();
    for (size_t i = 0; i < n; i++) {
        auto [user, bytes, done] = done_queue.front();
        done_queue.pop_front();
        done(user, bytes);
    }
    return static_cast<int>(n);
}

void noting_cancel(int) {}

const OsIoBackend noting{"noting", noting_read, noting_wait, noting_cancel};

class CdPipeline : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        load_trigrams(nullptr);
        word_sink = log_word;
        reset_seen();
        on_word = [](const Seen &s) {
            if (s.fn == cancel_at_fn) cancel_requested.store(true);
        };
        cancel_at_fn = -1;
        reports.clear();
        read_offsets.clear();
        set_report_hook(capture);
        pass_log = false;
        os_io_backend();
    }
    void TearDown() override {
        word_sink = add_word;
        set_report_hook(nullptr);
        os_set_io_backend(nullptr);
        TempTree::TearDown();
    }
    static std::vector<std::string> words_of(int fn) {
        std::vector<std::string> out;
        for (const Seen &s : seen)
            if (s.fn == fn) out.push_back(s.word);
        return out;
    }
};

TEST_F(CdPipeline, SplitsSharedBlocksAmongFilesInDiskOrder) {
    // Small files share the first 32 KiB block; "c" runs over three blocks; "d" is empty; "e" is
    // an archive, given up after its first piece; "f" ends inside a word, which must not run on.
    std::vector<size_t> a_ends, c_ends;
    write("src/a.txt", words("aw", 1000, &a_ends));
    write("src/b.txt", words("bw", 3000));
    write("src/c.txt", words("cw", 70000, &c_ends));
    write("src/d.txt", "");
    write("src/e.zip", "PK\3\4" + words("zw", 5000));
    write("src/f.txt", words("fw", 500) + "fendword");
    write("src/g.txt", words("gw", 200));
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    ASSERT_EQ(index_tree("disc.iso"), 2) << idx_reason();
    EXPECT_FALSE(is_open("disc.iso")) << "the volume was left open";
    EXPECT_TRUE(cd_mode);
    ASSERT_EQ(num_files.load(), 7);
    EXPECT_EQ(cur_fn, 7) << "every file delivered";
    EXPECT_EQ(total_bytes_read.load(), total_bytes.load());
    // xorriso puts the empty file first and the others in name order.
    std::vector<std::string> names;
    for (const FileEntry &e : file_table)
        names.push_back(e.file_name);
    ASSERT_EQ(names,
              (std::vector<std::string>{"d.txt", "a.txt", "b.txt", "c.txt", "e.zip", "f.txt", "g.txt"}));
    // Every word once, file after file.
    for (size_t i = 1; i < seen.size(); i++)
        ASSERT_LE(seen[i - 1].fn, seen[i].fn) << seen[i].word;
    EXPECT_TRUE(words_of(0).empty());
    EXPECT_EQ(words_of(1).size(), a_ends.size());
    EXPECT_TRUE(words_of(4).empty());
    EXPECT_EQ(file_table[4].kind, KIND_ZIP);
    EXPECT_EQ(words_of(5).back(), "FENDWORD");
    EXPECT_EQ(words_of(6).front(), "GWQA");
    // A word's block never lies after the one that holds it, nor more than one before it.
    std::vector<Seen> c;
    for (const Seen &s : seen)
        if (s.fn == 3) c.push_back(s);
    ASSERT_EQ(c.size(), c_ends.size());
    for (size_t i = 0; i < c.size(); i++) {
        uint64_t start = c_ends[i] - c[i].word.size();
        EXPECT_LE(uint64_t(c[i].block) * READ_SIZE, start) << c[i].word;
        EXPECT_GT(uint64_t(c[i].block + 2) * READ_SIZE, start) << c[i].word;
    }
    EXPECT_GT(c.back().block, 0);
    EXPECT_EQ(reports, "");
}

TEST_F(CdPipeline, SeeksOverGapsOfOneMiBAndProgressJumps) {
    // Files at sectors 30 and 31, then one 1.5 MiB later and one right after it: the gap lies
    // between the reads already issued and the far file.
    IsoImage img(900);
    img.pvd(20, 2048);
    img.dir(20, 2048, 20,
            {{"A.TXT;1", 30, 1000}, {"B.TXT;1", 31, 1000}, {"C.TXT;1", 800, 1000}, {"D.TXT;1", 801, 20}});
    img.data(30, words("aw", 1000));
    img.data(31, words("bw", 1000));
    img.data(800, words("cw", 1000));
    img.data(801, "dwqa dwqb           ");
    img.save("gap.iso");
    os_set_io_backend(&noting);
    ASSERT_EQ(index_tree("gap.iso"), 2) << idx_reason();
    const uint64_t base = 30 * 2048, far = 800 * 2048;
    EXPECT_EQ(total_bytes.load(), 802 * 2048 - base);
    EXPECT_EQ(total_bytes_read.load(), total_bytes.load());
    // Eight reads from the span's start, then straight to the far file's 32 KiB block.
    ASSERT_GE(read_offsets.size(), 9u);
    for (size_t i = 0; i < 8; i++)
        EXPECT_EQ(read_offsets[i], base + i * READ_SIZE);
    EXPECT_EQ(read_offsets[8], far / READ_SIZE * READ_SIZE);
    for (uint64_t ofs : read_offsets)
        EXPECT_FALSE(ofs >= base + 8 * READ_SIZE && ofs < far / READ_SIZE * READ_SIZE) << ofs;
    // Words of the far file arrive with progress past the gap.
    std::vector<Seen> c;
    for (const Seen &s : seen)
        if (s.word[0] == 'C') c.push_back(s);
    ASSERT_FALSE(c.empty());
    EXPECT_GT(c.front().progress, far - base);
    EXPECT_EQ(seen.back().word, "DWQB");
}

TEST_F(CdPipeline, CancelClosesTheVolumeAndTheNextRunIsWhole) {
    for (int i = 0; i < 20; i++)
        write("src/f" + std::to_string(10 + i) + ".txt", words("fw", 100000));
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    cancel_at_fn = 3;
    EXPECT_EQ(index_tree("disc.iso"), 3);
    EXPECT_STREQ(idx_reason(), "indexing was cancelled; there was no index before, so it holds the files read up to then");
    EXPECT_LT(seen.back().fn, 6) << "the run went on long after the cancel";
    EXPECT_FALSE(is_open("disc.iso"));
    ReadState st = read_state();
    EXPECT_EQ(st.busy_slots, 0);
    EXPECT_EQ(st.finished, 0);
    EXPECT_EQ(st.pending, 0);
    EXPECT_EQ(st.issue_seq, st.deliver_seq);
    cancel_at_fn = -1;
    seen.clear();
    EXPECT_EQ(index_tree("disc.iso"), 2) << idx_reason();
    EXPECT_EQ(cur_fn, 20);
    EXPECT_EQ(seen.back().fn, 19);
    EXPECT_FALSE(is_open("disc.iso"));
}

TEST_F(CdPipeline, OddLayoutsStillEndWhole) {
    // Overlapping files, an empty file at byte 0, a file over the directory itself, and an image
    // cut short inside the last file, which is read as far as the image goes and named in the
    // report: the run ends with every byte accounted.
    IsoImage img(40);
    img.pvd(20, 2048);
    img.dir(20, 2048, 20,
            {{"A.TXT;1", 30, 5000},
             {"B.TXT;1", 31, 100},
             {"C.TXT;1", 0, 0},
             {"D.DAT;1", 20, 2048},
             {"E.TXT;1", 38, 4000}});
    img.data(30, words("aw", 5000));
    img.data(38, words("ew", 4000));
    img.bytes.resize(38 * 2048 + 3000); // E's last 1000 bytes are missing
    img.save("odd.iso");
    for (const char *backend : {"sync", "uring"}) {
        SCOPED_TRACE(backend);
        if (!select_io_backend(backend)) continue;
        seen.clear();
        ASSERT_EQ(index_tree("odd.iso"), 2) << idx_reason();
        ASSERT_EQ(num_files.load(), 5);
        EXPECT_EQ(total_bytes.load(), 40u * 2048); // from byte 0 to the image's end
        EXPECT_EQ(total_bytes_read.load(), total_bytes.load());
        EXPECT_EQ(cur_fn, 4);
        // B lies inside A: it gets the words of its own 100 bytes.
        std::vector<std::string> b = words_of(3);
        EXPECT_TRUE(std::any_of(b.begin(), b.end(), [](const std::string &w) { return w.substr(0, 3) == "AWQ"; }));
        EXPECT_LE(b.size(), 20u);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().word.substr(0, 3), "EWQ");
        EXPECT_EQ(unread_count, 1);
        ASSERT_EQ(unread_files.size(), 1u);
        EXPECT_EQ(unread_files[0].path, "odd.iso/E.TXT");
        EXPECT_EQ(unread_files[0].error, OS_ERR_PAST_END);
    }
}

TEST_F(CdPipeline, RunsWithoutJolietAndOnASubtree) {
    write("src/top.txt", words("tw", 3000));
    write("src/docs/in.txt", words("iw", 3000));
    write("src/docs/sub/deep.txt", words("dw", 3000));
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "--norock"));
    ASSERT_EQ(index_tree("disc.iso/DOCS"), 2) << idx_reason();
    ASSERT_EQ(num_files.load(), 2);
    EXPECT_STREQ(file_table[0].dir_name, "disc.iso/DOCS");
    EXPECT_STREQ(file_table[1].dir_name, "disc.iso/DOCS/SUB");
    for (const Seen &s : seen)
        EXPECT_NE(s.word[0], 'T') << s.word;
    EXPECT_EQ(total_bytes_read.load(), total_bytes.load());
}

// Runs whole through the engine (add_word recording), then searches.
class CdIndex : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        pass_log = false;
        write("src/docs/lighthouse.txt", "The lighthouse keeper watched the harbour all night.\n");
        // The word sits at the very end of the file, and of the 32 KiB blocks before it: an
        // excerpt must stop at the file's last byte, however the sector goes on.
        write("src/docs/long.txt", std::string(70000, 'x') + " harbour");
        write("src/other/gulls.txt", "Gulls circled the harbour wall.\n");
        ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    }
    void TearDown() override {
        os_sys = os_sys_default;
        unsetenv("OLMAREST_IO");
        os_set_io_backend(nullptr);
        TempTree::TearDown();
    }

  public:
    struct Row {
        std::string path, text;
        int freq;
        bool operator==(const Row &) const = default;
    };

  protected:
    static std::vector<Row> search(const char *words) {
        query_idx(words);
        std::vector<Row> rows;
        char *p, *t;
        int f;
        while (next_result(&p, &f, nullptr) == 0)
            rows.push_back(Row{p, "", f});
        for (Row &r : rows) {
            EXPECT_EQ(next_result(&p, &f, &t), 0);
            r.text = t;
        }
        return rows;
    }
};

std::ostream &operator<<(std::ostream &o, const CdIndex::Row &r) {
    return o << r.freq << " " << r.path << " [" << r.text << "]";
}

TEST_F(CdIndex, SearchesAnImageAndASubtreeWithExcerptsFromTheImage) {
    ASSERT_EQ(index_tree("disc.iso"), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(search("harbour"),
              (std::vector<Row>{{"disc.iso/docs/lighthouse.txt", "tched the harbour all night ... ", 1},
                                {"disc.iso/docs/long.txt", "xxxxxxxxx harbour ... ", 1},
                                {"disc.iso/other/gulls.txt", "rcled the harbour wall.  ... ", 1}}));
    ASSERT_EQ(index_tree("disc.iso/DOCS"), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(search("harbour lighthouse"),
              (std::vector<Row>{{"disc.iso/docs/lighthouse.txt",
                                 "tched the harbour all night ... The lighthouse keeper wa ... ", 2},
                                {"disc.iso/docs/long.txt", "xxxxxxxxx harbour ... ", 1}}));
}

// Reads of the image's bytes in the order they are asked for: where a read goes back on the volume,
// the drive would seek.
std::vector<uint64_t> image_reads;
long pread_counting(int fd, void *buf, size_t len, uint64_t ofs) {
    std::error_code ec;
    if (fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).filename() == "many.iso") image_reads.push_back(ofs);
    return os_sys_default.pread(fd, buf, len, ofs);
}

int backward_reads() {
    int n = 0;
    for (size_t i = 1; i < image_reads.size(); i++) n += image_reads[i] < image_reads[i - 1];
    return n;
}

// The excerpts of 100 rows ranked out of disc order: one seek back per row or so when each row
// reads its own blocks, none when they are read ahead in one sweep; the same excerpts either way.
TEST_F(CdIndex, ExcerptsOfManyRowsAreReadInOneForwardSweep) {
    std::mt19937 rng(7);
    for (int i = 0; i < 100; i++) {
        std::string text(static_cast<size_t>(rng() % 50000), '.');
        for (unsigned k = rng() % 40; k > 0; k--) text += " a lantern on the quay " + std::to_string(i);
        text += " a lantern at the end\n";
        write("many/f" + std::to_string(100 + i) + ".txt", text);
    }
    ASSERT_TRUE(make_iso(path("many"), "many.iso", "-J"));
    ASSERT_EQ(index_tree("many.iso"), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    ASSERT_TRUE(select_io_backend("sync")); // its reads go through pread, in issue order
    os_sys.pread = pread_counting;
    std::vector<Row> one_by_one = search("lantern");
    ASSERT_EQ(one_by_one.size(), 100u);
    EXPECT_GT(backward_reads(), 20) << "the rows must come out of disc order for this to test anything";
    image_reads.clear();
    query_idx("lantern");
    read_excerpts_ahead(100);
    std::vector<Row> ahead = search("lantern");
    EXPECT_EQ(backward_reads(), 0);
    EXPECT_GE(image_reads.size(), 100u);
    EXPECT_EQ(ahead, one_by_one);
}

TEST_F(CdIndex, ReloadsFromTheImageAndNoticesAChangedOne) {
    ASSERT_EQ(index_tree("disc.iso"), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_FALSE(is_open("disc.iso")) << "loading left the volume open";
    EXPECT_EQ(num_files.load(), 3);
    write("src/docs/new.txt", "new file");
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    EXPECT_EQ(read_idx(), -1);
    EXPECT_STREQ(idx_reason(), "the indexed folder has changed since the index was made");
}

TEST_F(CdIndex, ImagesThatCannotBeReadFailWithTheirReasonAndNoWalk) {
    IsoImage img(2200);
    img.pvd(2100, 2048); // the root directory past the image's end
    img.dir(2100, 2048, 2100, {{"A.TXT;1", 30, 5}});
    img.bytes.resize(2000 * 2048);
    img.save("far.iso");
    reports.clear();
    set_report_hook(capture);
    EXPECT_EQ(index_tree("far.iso"), 3);
    EXPECT_STREQ(idx_reason(), "the volume's directory records are damaged");
    EXPECT_EQ(reports, "");
    set_report_hook(nullptr);
    EXPECT_EQ(index_tree("disc.iso/nothere"), 3);
    EXPECT_STREQ(idx_reason(), "no file found below the path");
}

// System calls on the volume that fail, through the platform layer's table.
int volume_fault = 0; // 1 opening fails, 2 the directories' read fails, 3 the third read of the span
int volume_reads = 0;

int open_failing(int dir_fd, const char *path, int sys_flags, int mode) {
    if (volume_fault == 1 && fs::path(path).filename() == "disc.iso") {
        os_set_last_error(EACCES);
        return -1;
    }
    return os_sys_default.open(dir_fd, path, sys_flags, mode);
}

long pread_failing(int fd, void *buf, size_t len, uint64_t ofs) {
    std::error_code ec;
    if (fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).filename() == "disc.iso") {
        int n = volume_reads++;
        if ((volume_fault == 2 && n == 0) || (volume_fault == 3 && n == 3)) {
            os_set_last_error(EIO);
            return -1;
        }
    }
    return os_sys_default.pread(fd, buf, len, ofs);
}

TEST_F(CdIndex, VolumeFailuresHaveReasons) {
    std::string big;
    while (big.size() < 5 * READ_SIZE)
        big += "lighthouse keepers climbing stairs\n";
    write("src/big.txt", big);
    ASSERT_TRUE(make_iso(path("src"), "disc.iso", "-J"));
    ASSERT_TRUE(select_io_backend("sync")); // its reads go through pread
    os_sys = OsSysTable{open_failing, pread_failing, os_sys_default.map, os_sys_default.truncate,
                        os_sys_default.thread_create, os_sys_default.allocate, os_sys_default.rename, os_sys_default.pwrite};
    struct Case {
        int fault;
        const char *reason;
    } cases[] = {
        {1, "the volume cannot be opened"},
        {2, "the volume cannot be read"},
        {3, "read error on disc.iso"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        volume_fault = c.fault;
        volume_reads = 0;
        EXPECT_EQ(index_tree("disc.iso"), 3);
        EXPECT_STREQ(idx_reason(), c.reason);
        EXPECT_FALSE(is_open("disc.iso"));
        EXPECT_EQ(read_idx(), -1) << "a failed run left an index that loads";
    }
    volume_fault = 0;
    EXPECT_EQ(index_tree("disc.iso"), 2) << idx_reason();
}

TEST_F(CdIndex, CommandLineIndexesImagesAndPathsInsideThem) {
    auto cli = [](std::vector<std::string> args, std::string *out_text = nullptr,
                  std::string *err_text = nullptr) {
        // The index in the test's own directory, never in the user's.
        std::vector<char *> argv{const_cast<char *>("olmarest-cli"), const_cast<char *>("-d"), const_cast<char *>(".")};
        for (std::string &a : args)
            argv.push_back(a.data());
        FILE *out = tmpfile(), *err = tmpfile();
        int rc = cli_run(static_cast<int>(argv.size()), argv.data(), out, err);
        for (auto [f, text] : {std::pair{out, out_text}, std::pair{err, err_text}}) {
            if (!text) continue;
            rewind(f);
            char buf[4096];
            size_t n = fread(buf, 1, sizeof buf, f);
            *text = std::string(buf, n);
        }
        fclose(out);
        fclose(err);
        return rc;
    };
    std::string text;
    EXPECT_EQ(cli({"index", "disc.iso/docs"}), 0);
    EXPECT_EQ(cli({"search", "--no-excerpts", "harbour"}, &text), 0);
    EXPECT_EQ(text, "1\t" + path("disc.iso/docs/lighthouse.txt") + "\n1\t" + path("disc.iso/docs/long.txt") + "\n");
    EXPECT_EQ(cli({"index", "disc.iso"}), 0);
    write("plain.txt", "not an image");
    for (const char *bad : {"plain.txt/docs", "missing", "missing.iso/docs"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(cli({"index", bad}, nullptr, &text), 2);
        EXPECT_EQ(text, "Please enter a valid pathname !\n");
    }
    EXPECT_EQ(cli({"index", "plain.txt"}, nullptr, &text), 2);
    EXPECT_EQ(text, "olmarest-cli: plain.txt: not a directory\n");
    EXPECT_TRUE(valid_index_path("src"));
    EXPECT_TRUE(valid_index_path("disc.iso"));
    EXPECT_TRUE(valid_index_path("disc.iso/no/such/dir")); // the run says what is missing
    EXPECT_FALSE(valid_index_path("plain.txt"));
}

} // namespace
