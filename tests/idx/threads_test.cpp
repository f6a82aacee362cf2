// Runs of one and of two threads: the same idx.dat, the same counters, the same end on a full
// index and on a cancel, and the recording thread always joined.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pdf.h"
#include "idx/read/pipeline.h"
#include "idx/run.h"
#include "os/os.h"
#include "tests/fakes.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// What a run leaves behind.
struct Outcome {
    int status;
    std::string reason;
    std::string file; // idx.dat
    uint64_t unique, total, text;
    uint64_t bytes_read;
    int files;
};

class Threads : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        pass_log = false;
        // Every read completes at the next wait, so runs of one and two threads see a cancel at
        // the same pass.
        use_fake_io();
        fake_io.all_per_wait = true;
    }
    void TearDown() override {
        os_set_io_backend(nullptr);
        engine_threads = 0;
        TempTree::TearDown();
    }

    static Outcome run(const std::string &dir, int threads) {
        engine_threads = threads;
        fake_io.waits = 0;
        Outcome o{};
        // Each run starts without an index, so a cancelled one leaves its own.
        std::remove("idx.dat");
        o.status = index_tree(dir);
        o.reason = idx_reason();
        o.file = read_file("idx.dat");
        o.unique = unique_words.load();
        o.total = total_words.load();
        o.text = text_processed.load();
        o.bytes_read = total_bytes_read.load();
        o.files = num_files.load();
        return o;
    }

    // Both runs over dir, one thread then two: everything the user and the file can see agrees.
    static Outcome expect_same_runs(const std::string &dir) {
        Outcome one = run(dir, 1);
        Outcome two = run(dir, 2);
        EXPECT_EQ(one.status, two.status);
        EXPECT_EQ(one.reason, two.reason);
        EXPECT_EQ(one.unique, two.unique);
        EXPECT_EQ(one.total, two.total);
        EXPECT_EQ(one.text, two.text);
        EXPECT_EQ(one.files, two.files);
        // A failed run leaves no index of its own (the previous one, here none, stays).
        if (!one.file.empty() || !two.file.empty()) expect_same_index(one.file, two.file);
        return one;
    }

    // The same bytes, but for stored addresses, which count from where each run's mapping lay:
    // a 32-bit word that differs must differ by the distance between the two origins.
    static void expect_same_index(const std::string &a, const std::string &b) {
        ASSERT_EQ(a.size(), b.size());
        ASSERT_GE(a.size(), sizeof(IdxHeader));
        uint32_t base_a = u32_at(a, 0), base_b = u32_at(b, 0);
        size_t differ = 0;
        for (size_t i = 0; i + 4 <= a.size(); i += 4) {
            uint32_t x = u32_at(a, i), y = u32_at(b, i);
            if (x == y) continue;
            ASSERT_EQ(x - base_a, y - base_b) << "at offset " << i;
            differ++;
        }
        for (size_t i = a.size() / 4 * 4; i < a.size(); i++) ASSERT_EQ(a[i], b[i]);
        // Sanity: the comparison looked at real data.
        EXPECT_LE(differ, a.size() / 4);
    }
};

// Words of a small vocabulary, some common enough to be dropped after 1,785 files.
std::string vocab_word(unsigned i) {
    static const char *syl[] = {"har", "bour", "light", "keep", "gar", "den", "riv", "er", "stone",
                                "mill", "ward", "ing", "tow", "ers", "fold", "brook"};
    std::string w;
    do {
        w += syl[i % 16];
        i /= 16;
    } while (i);
    return w + "s";
}

} // namespace

TEST_F(Threads, SampleTreeGivesTheSameIndex) {
    std::string samples = std::string(OLMAREST_SOURCE_DIR) + "/samples";
    Outcome o = expect_same_runs(samples);
    EXPECT_EQ(o.status, 2) << o.reason;
    EXPECT_GT(o.total, 0u);
}

// Compressed and UTF-16 files: their words go under their own numbers and decoded block numbers,
// in file order, whichever thread records them.
TEST_F(Threads, DecodedFilesGiveTheSameIndex) {
    std::mt19937 rnd(5);
    for (int f = 0; f < 60; f++) {
        std::string text;
        int words = 200 + static_cast<int>(rnd() % 9000);
        for (int k = 0; k < words; k++) text += vocab_word(rnd() % 300) + (k % 9 == 8 ? "\n" : " ");
        std::string name = "tree/d" + std::to_string(f % 4) + "/f" + std::to_string(f);
        if (f % 3 == 0)
            write(name + ".txt.gz", gzip_bytes(text));
        else if (f % 3 == 1)
            write(name + ".txt", utf16_bytes(text, f % 2 == 0, f % 5 != 0));
        else
            write(name + ".txt", text);
    }
    Outcome o = expect_same_runs(tree());
    EXPECT_EQ(o.status, 2) << o.reason;
    EXPECT_GT(o.unique, 250u);
}

// Documents read whole at their end, PDF through the helper process: still in file order.
TEST_F(Threads, DocumentsGiveTheSameIndex) {
    pdf_split_min = 0; // two helpers share each PDF when two threads run
    std::mt19937 rnd(9);
    for (int f = 0; f < 40; f++) {
        std::string text;
        int words = 50 + static_cast<int>(rnd() % 3000);
        for (int k = 0; k < words; k++) text += vocab_word(rnd() % 300) + " ";
        std::string name = "tree/d" + std::to_string(f % 3) + "/f" + std::to_string(f);
        switch (f % 5) {
        case 0: write(name + ".odt", odt_bytes("<text:p>" + text + "</text:p>")); break;
        case 1: write(name + ".docx", docx_bytes("<w:p><w:r><w:t>" + text + "</w:t></w:r></w:p>")); break;
        case 2: write(name + ".epub", epub_bytes({text, text.substr(0, text.size() / 2)})); break;
        case 3: write(name + ".pdf", pdf_bytes({text.substr(0, 200), text.substr(200, 200)})); break;
        default: write(name + ".txt.gz", gzip_bytes(text)); break;
        }
    }
    Outcome o = expect_same_runs(tree());
    EXPECT_EQ(o.status, 2) << o.reason;
    EXPECT_EQ(unread_count, 0);
    EXPECT_GT(o.unique, 250u);
    pdf_split_min = PDF_SPLIT_MIN;
}

TEST_F(Threads, GeneratedTreeWithStopListAndDroppedWordsGivesTheSameIndex) {
    write("stopwords.txt", "the and gardens\nwith over\n");
    std::mt19937 rnd(11);
    std::geometric_distribution<unsigned> pick(0.004);
    for (int f = 0; f < 3000; f++) {
        std::string text;
        int words = 20 + static_cast<int>(rnd() % 300);
        bool markup = f % 7 == 3;
        if (markup) text += "<html><body><p class=\"x\">";
        for (int k = 0; k < words; k++) {
            text += vocab_word(pick(rnd));
            text += k % 11 == 10 ? (markup ? "</p>\n<p>" : "-\n") : " the ";
        }
        if (f % 97 == 5) text = std::string("\x89PNG\r\n\x1a\n", 8) + text; // not extracted
        std::string dir = "tree/d" + std::to_string(f % 13) + "/e" + std::to_string(f % 5);
        write(dir + "/f" + std::to_string(f) + (markup ? ".html" : ".txt"), f % 211 == 0 ? "" : text);
    }
    Outcome o = expect_same_runs(tree());
    EXPECT_EQ(o.status, 2) << o.reason;
    EXPECT_EQ(o.files, 3000);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
}

TEST_F(Threads, TreeThatFillsTheIndexFailsAlikeAndThenRunsAgain) {
    // Distinct words in plenty, with no plausibility filter to thin them: the 64 MiB run out.
    load_trigrams("/nonexistent");
    std::string text;
    unsigned n = 0;
    for (int f = 0; f < 500; f++) {
        text.clear();
        while (text.size() < 32000) {
            unsigned v = n++;
            std::string w = "q";
            for (int k = 0; k < 6; k++, v /= 26) w += static_cast<char>('a' + v % 26);
            text += w + (n % 5 ? " " : " common words\n");
        }
        write("tree/d" + std::to_string(f / 50) + "/f" + std::to_string(f), text);
    }
    Outcome o = expect_same_runs(tree());
    EXPECT_EQ(o.status, 3);
    EXPECT_EQ(o.reason, "index file full (64 MiB)");
    EXPECT_TRUE(o.file.empty()) << "a failed run must not replace the index";
    // The recording thread of the failed run is gone and the queue is ready for the next run.
    remove("tree");
    write("tree/a.txt", "lighthouse keepers\n");
    Outcome again = run(tree(), 2);
    EXPECT_EQ(again.status, 2) << again.reason;
    EXPECT_EQ(again.total, 2u);
}

TEST_F(Threads, CancelLeavesWhatOneThreadWouldHaveAndALoadableIndex) {
    for (int f = 0; f < 600; f++) {
        std::string text;
        for (int k = 0; k < 400; k++) text += vocab_word(static_cast<unsigned>(k * 7 + f)) + " ";
        write("tree/d" + std::to_string(f % 9) + "/f" + std::to_string(f) + ".txt", text + "\n");
    }
    for (int at : {1, 4, 9}) {
        SCOPED_TRACE(at);
        fake_io.cancel_at_wait = at;
        Outcome o = expect_same_runs(tree());
        EXPECT_EQ(o.status, 3);
        EXPECT_EQ(o.reason, "indexing was cancelled; there was no index before, so it holds the files read up to then");
        if (at > 1) {
            EXPECT_GT(o.total, 0u);
        }
        EXPECT_LT(o.bytes_read, total_bytes.load());
        EXPECT_EQ(read_idx(), 0) << idx_reason();
        cancel_requested.store(false);
    }
    // A whole run after the cancels still agrees.
    fake_io.cancel_at_wait = 0;
    EXPECT_EQ(expect_same_runs(tree()).status, 2);
}

namespace {
int threads_started = 0;
int first_thread_only(OsThread *t) {
    if (threads_started++ > 0) {
        os_set_last_error(EAGAIN);
        return -1;
    }
    return os_sys_default.thread_create(t);
}
} // namespace

TEST_F(Threads, HelpersThatCannotStartLeaveTheWorkToTheIndexingThread) {
    for (int f = 0; f < 30; f++) write("tree/d" + std::to_string(f % 4) + "/f" + std::to_string(f), vocab_word(static_cast<unsigned>(f)) + " lights\n");
    Outcome one = run(tree(), 1);
    threads_started = 0;
    os_sys.thread_create = first_thread_only; // the indexing thread starts, nothing after it
    Outcome two = run(tree(), 2);
    os_sys = os_sys_default;
    EXPECT_GT(threads_started, 1); // helpers were asked for
    EXPECT_EQ(two.status, 2) << two.reason;
    EXPECT_EQ(two.total, one.total);
    expect_same_index(one.file, two.file);
}

// ---- Directory listing shared by two threads ----

namespace {

struct Listed {
    std::string dir, name;
    uint64_t size;
    bool operator==(const Listed &) const = default;
};

std::vector<Listed> enumerate(const char *path, int threads, int *result, uint32_t *heap_end) {
    engine_threads = threads;
    empty_heap_pool();
    *result = enum_files(path);
    *heap_end = heap_pool.end;
    std::vector<Listed> out;
    for (const FileEntry &e : file_table) out.push_back(Listed{e.dir_name, e.file_name, e.file_size});
    return out;
}

} // namespace

using SharedWalk = Threads;

TEST_F(SharedWalk, GivesTheSerialOrderOnDeepWideAndAwkwardTrees) {
    // Many levels, a wide level, empty directories, links, and directories no one may list.
    for (int d = 0; d < 60; d++) {
        std::string dir = "tree/w" + std::to_string(d * 37 % 60);
        if (d % 6 == 0) {
            mkdir(dir); // empty
            continue;
        }
        for (int f = 0; f < d % 5; f++) write(dir + "/f" + std::to_string(f), std::string(static_cast<size_t>(d + f), 'x'));
    }
    std::string deep = "tree";
    for (int level = 0; level < 12; level++) {
        deep += "/l" + std::to_string(level);
        write(deep + "/at" + std::to_string(level) + ".txt", "deep");
        mkdir(deep + "/empty");
    }
    write("tree/w5/locked/secret.txt", "hidden away");
    write("tree/w7/locked/inner/more.txt", "hidden deeper");
    fs::permissions(path("tree/w5/locked"), fs::perms::none);
    fs::permissions(path("tree/w7/locked"), fs::perms::none);
    fs::create_symlink("f0", path("tree/w1/link-to-file"));
    fs::create_directory_symlink("../w2", path("tree/w1/link-to-dir"));
    fs::create_symlink("gone", path("tree/w1/dangling"));

    static std::string dir;
    dir = tree();
    int r1, r2;
    uint32_t heap1, heap2;
    std::vector<Listed> serial = enumerate(dir.c_str(), 1, &r1, &heap1);
    uint32_t fp = table_fingerprint();
    std::vector<Listed> shared = enumerate(dir.c_str(), 2, &r2, &heap2);
    EXPECT_EQ(r1, 0);
    EXPECT_EQ(r2, r1);
    EXPECT_EQ(shared, serial);
    EXPECT_EQ(heap2, heap1); // the same strings, made in the same order
    EXPECT_EQ(table_fingerprint(), fp);
    // Breadth first: the twelfth level's file comes last, the link to a file counts, the link to
    // a directory is not entered.
    ASSERT_FALSE(serial.empty());
    EXPECT_EQ(serial.back().name, "at11.txt");
    EXPECT_EQ(std::count_if(serial.begin(), serial.end(), [](const Listed &l) { return l.name == "link-to-file"; }), 1);
    for (const Listed &l : serial) EXPECT_EQ(l.dir.find("link-to-dir"), std::string::npos);
}

TEST_F(SharedWalk, TreeWithoutFilesAndLoadOfAnIndexAgree) {
    mkdir("tree/a/b/c");
    mkdir("tree/d");
    static std::string dir;
    dir = tree();
    int r1, r2;
    uint32_t h1, h2;
    EXPECT_TRUE(enumerate(dir.c_str(), 1, &r1, &h1).empty());
    EXPECT_TRUE(enumerate(dir.c_str(), 2, &r2, &h2).empty());
    EXPECT_EQ(r1, 1);
    EXPECT_EQ(r2, 1);
    // An index made one way loads the other way: the file numbers agree.
    for (int f = 0; f < 40; f++) write("tree/d" + std::to_string(f % 7) + "/x/f" + std::to_string(f), "lighthouse keepers\n");
    engine_threads = 1;
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    engine_threads = 2;
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(num_files.load(), 40);
}
