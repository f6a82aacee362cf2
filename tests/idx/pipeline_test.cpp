// The read pipeline: delivery strictly in issue order, read sizes, files given up or changed
// under the run, refused reads, cancels, and the pass-rate filter. A word sink records every
// word with the cur_fn and cur_block it was delivered under.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/inotify.h>
#include <unistd.h>

#include "idx/check.h"
#include "idx/text/detect.h"
#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"
#include "tests/fakes.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// Text of exactly `size` bytes of words "<tag>Q<n in letters>", with the words it should yield
// appended to out: each under the block of the separator that ends it (or of the file's end).
std::string make_text(const std::string &tag, uint32_t size, int fn, std::vector<Seen> *out) {
    std::string s;
    for (int n = 0;; n++) {
        std::string w = tag + "q";
        int v = n;
        do w += static_cast<char>('a' + v % 10);
        while (v /= 10);
        if (s.size() + w.size() + 1 > size) break;
        s += w;
        if (out) {
            for (char &c : w) c = static_cast<char>(c & ~0x20);
            out->push_back(Seen{w, fn, static_cast<int>(s.size() / READ_SIZE)});
        }
        s += n % 9 == 8 ? '\n' : ' ';
    }
    s.resize(size, ' ');
    return s;
}

int open_fds() {
    int n = 0;
    for ([[maybe_unused]] auto &e : fs::directory_iterator("/proc/self/fd")) n++;
    return n;
}

std::string reports; // IDX_CHECK texts
void capture_report(const char *text) { reports += text; }

class PipelineBase : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        load_trigrams(nullptr); // every word is plausible: the words are ours, not language
        word_sink = log_word;
        seen.clear();
        on_word = nullptr;
        reports.clear();
        set_report_hook(capture_report);
        pass_log = false;
        os_io_backend(); // the ring's descriptor exists before descriptors are counted
    }
    void TearDown() override {
        word_sink = add_word;
        on_word = nullptr;
        set_report_hook(nullptr);
        unsetenv("OLMAREST_IO");
        os_set_io_backend(nullptr);
        TempTree::TearDown();
    }

    // Adds a text file to the tree and its words to `want`.
    void text(const std::string &name, uint32_t size, int fn) {
        write("tree/" + name, make_text(name.substr(0, 1) + "w", size, fn, &want));
    }

    // Runs an index over the tree and checks that the driver ended clean.
    void run(int status) {
        int fds = open_fds();
        ASSERT_EQ(index_tree(tree()), status);
        ReadState st = read_state();
        EXPECT_EQ(st.busy_slots, 0);
        EXPECT_EQ(st.finished, 0);
        EXPECT_EQ(st.pending, 0);
        EXPECT_EQ(st.open_files, 0);
        EXPECT_EQ(st.issue_seq, st.deliver_seq);
        EXPECT_EQ(open_fds(), fds) << "descriptors left open";
        if (status == 2) {
            EXPECT_EQ(total_bytes_read.load(), total_bytes.load());
        }
    }

    std::vector<Seen> want;
};

// ---- Both back ends ----

class Pipeline : public PipelineBase, public ::testing::WithParamInterface<std::string> {
  protected:
    void SetUp() override {
        PipelineBase::SetUp();
        if (!select_io_backend(GetParam())) GTEST_SKIP() << "io_uring is not available here";
    }

    // A file bigger than all slots together, a 100-byte file after it (stale buffer data would
    // show as extra words), an empty one, 64 KiB, an archive given up after its first block,
    // exactly one block, and a file in a subdirectory.
    void mixed_tree() {
        text("a_big", 9 * READ_SIZE + 5000, 0);
        // Ends inside a word, which must not run on into d_two's first word.
        write("tree/b_small", make_text("bw", 94, 1, &want) + "bzzzzz");
        want.push_back(Seen{"BZZZZZ", 1, 0});
        write("tree/c_empty", "");
        text("d_two", 2 * READ_SIZE, 3);
        write("tree/e_zip", "PK\3\4" + make_text("zip", 5 * READ_SIZE, 4, nullptr));
        text("f_block", READ_SIZE, 5);
        text("sub/g_deep", 5000, 6);
    }
};

TEST_P(Pipeline, DeliversEveryWordOnceInFileAndBlockOrder) {
    mixed_tree();
    run(2);
    EXPECT_EQ(seen, want);
    EXPECT_EQ(file_table[4].kind, KIND_ZIP);
    EXPECT_TRUE(reports.empty()) << reports;
}

TEST_P(Pipeline, TreeOfEmptyFilesEndsAfterOnePassWithoutOpeningThem) {
    for (const char *name : {"a", "b", "sub/c"}) write(std::string("tree/") + name, "");
    int in = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(in, 0);
    for (const char *name : {"a", "b", "sub/c"})
        ASSERT_GE(inotify_add_watch(in, path(std::string("tree/") + name).c_str(), IN_OPEN), 0);
    pass_log = true;
    ::testing::internal::CaptureStderr();
    run(2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "0 0.00\n");
    char ev[4096];
    EXPECT_LT(read(in, ev, sizeof ev), 0) << "an empty file was opened";
    close(in);
    EXPECT_EQ(total_bytes.load(), 0u);
}

TEST_P(Pipeline, CancelOrFullIndexEndsTheRunWithinOnePassAndTheNextRunWorks) {
    for (int i = 0; i < 30; i++) text("f" + std::to_string(10 + i), 3 * READ_SIZE + 77, i);
    struct Case {
        const char *what;
        std::function<void()> stop;
    };
    for (const Case &c : {Case{"cancel", [] { cancel_requested.store(true); }},
                          Case{"index full", [] { fail_run("the index file is full"); }}}) {
        SCOPED_TRACE(c.what);
        seen.clear();
        int stop_at = -1;
        on_word = [&](const Seen &s) {
            if (s.fn == 3 && stop_at < 0) {
                stop_at = static_cast<int>(seen.size());
                c.stop();
            }
        };
        run(3);
        ASSERT_GE(stop_at, 0);
        // Only reads that had already completed in that pass may still be delivered.
        int blocks_after = 0;
        for (size_t i = static_cast<size_t>(stop_at); i + 1 < seen.size(); i++)
            blocks_after += seen[i].fn != seen[i + 1].fn || seen[i].block != seen[i + 1].block;
        EXPECT_LT(blocks_after, NUM_SLOTS);
        EXPECT_LT(total_bytes_read.load(), total_bytes.load());
    }
    on_word = nullptr;
    seen.clear();
    run(2);
    EXPECT_EQ(seen, want);
}

TEST_P(Pipeline, FilesThatChangeAfterEnumerationStillEndTheRun) {
    text("a_first", 10 * READ_SIZE, 0);
    text("b_shrinks", 5 * READ_SIZE, 1);
    text("c_vanishes", 3 * READ_SIZE, 2);
    text("d_grows", 40000, 3);
    text("e_last", 3000, 4);
    on_word = [this](const Seen &s) {
        if (s.fn != 0 || s.block != 0 || seen.size() != 1) return;
        // a_first's other reads are in flight or done; the rest are not open yet.
        fs::resize_file(path("tree/a_first"), 3 * READ_SIZE + 10);
        fs::resize_file(path("tree/b_shrinks"), 1000);
        fs::remove(path("tree/c_vanishes"));
        std::ofstream(path("tree/d_grows"), std::ios::app) << make_text("grown", 100000, 3, nullptr);
    };
    run(2);
    auto words_of = [](const std::vector<Seen> &v, int fn) {
        std::vector<Seen> out;
        for (const Seen &s : v)
            if (s.fn == fn) out.push_back(s);
        return out;
    };
    for (int fn : {0, 1}) {
        // What is left of a shrunk file comes in order; its last word may be cut.
        std::vector<Seen> got = words_of(seen, fn), all = words_of(want, fn);
        ASSERT_LE(got.size(), all.size());
        ASSERT_FALSE(got.empty());
        for (size_t i = 0; i + 1 < got.size(); i++) ASSERT_EQ(got[i], all[i]) << fn;
    }
    EXPECT_LT(words_of(seen, 1).size(), 200u);
    EXPECT_TRUE(words_of(seen, 2).empty());
    EXPECT_EQ(words_of(seen, 3), words_of(want, 3)) << "data past the enumerated size was used";
    EXPECT_EQ(words_of(seen, 4), words_of(want, 4));
    EXPECT_TRUE(reports.empty()) << reports;
}

std::string backend_name(const ::testing::TestParamInfo<std::string> &p) { return p.param; }

INSTANTIATE_TEST_SUITE_P(Backends, Pipeline, ::testing::Values("uring", "sync"), backend_name);

// ---- The fake back end: reads recorded, completed out of order, refused on demand ----

class PipelineTestBackEnd : public PipelineBase {
  protected:
    void SetUp() override {
        PipelineBase::SetUp();
        use_fake_io();
    }
    std::vector<FakeRead> reads_of(const std::string &file) {
        std::vector<FakeRead> out;
        for (const FakeRead &r : fake_io.reads)
            if (r.file == file) out.push_back(r);
        return out;
    }
};

TEST_F(PipelineTestBackEnd, ScrambledCompletionsAreDeliveredInIssueOrder) {
    fake_io.newest_first = true;
    text("a_big", 9 * READ_SIZE + 5000, 0);
    text("b_small", 100, 1);
    write("tree/c_empty", "");
    text("d_two", 2 * READ_SIZE, 3);
    text("e_tail", 20000, 4);
    run(2);
    EXPECT_EQ(seen, want);

    // Block sizes: whole blocks, and a tail rounded up to the direct-I/O alignment.
    int fd = os_open(path("tree/b_small").c_str(), OS_DIRECT);
    uint32_t align = os_dio_align(fd);
    os_close(fd);
    ASSERT_EQ(reads_of("b_small").size(), 1u);
    EXPECT_EQ(reads_of("b_small")[0].len, align);
    ASSERT_EQ(reads_of("d_two").size(), 2u);
    EXPECT_EQ(reads_of("d_two")[0].len, READ_SIZE);
    EXPECT_EQ(reads_of("d_two")[1].len, READ_SIZE);
    EXPECT_EQ(reads_of("d_two")[1].ofs, READ_SIZE);
    EXPECT_EQ(reads_of("a_big").size(), 10u);
    EXPECT_TRUE(reads_of("c_empty").empty());
}

TEST_F(PipelineTestBackEnd, FileNotWorthExtractingIsGivenUpAfterItsFirstBlock) {
    // Twelve blocks: the first eight are in flight when the first is judged.
    write("tree/a_zip", "PK\3\4" + make_text("zip", 12 * READ_SIZE - 4, 0, nullptr));
    text("b_text", 3000, 1);
    uint64_t read_at_first_text_word = 0;
    on_word = [&](const Seen &s) {
        if (s.fn == 1 && !read_at_first_text_word) read_at_first_text_word = total_bytes_read.load();
    };
    run(2);
    EXPECT_EQ(seen, want) << "the archive's blocks must be passed over";
    EXPECT_EQ(reads_of("a_zip").size(), static_cast<size_t>(NUM_SLOTS)) << "no read after giving up";
    EXPECT_EQ(fake_io.cancels, std::vector<std::string>{"a_zip"});
    // The whole archive counted at once: the percentage jumps.
    EXPECT_EQ(read_at_first_text_word, 12 * READ_SIZE + 3000);
}

TEST_F(PipelineTestBackEnd, RefusedReadIsReportedAndEndsOnlyItsFile) {
    text("a_first", 7 * READ_SIZE, 0);
    text("b_next", 3000, 1);
    fake_io.refuse_at = 2; // a_first's third block
    run(2);
    EXPECT_NE(reports.find("ReadFileEx error"), std::string::npos) << reports;
    // The run succeeds, and its report names the file.
    EXPECT_EQ(unread_count, 1);
    ASSERT_EQ(unread_files.size(), 1u);
    EXPECT_EQ(unread_files[0].path, tree() + "/a_first");
    EXPECT_NE(unread_files[0].error, 0);
    for (const Seen &s : seen) EXPECT_LT(s.block, 3) << s;
    std::vector<Seen> b;
    for (const Seen &s : seen)
        if (s.fn == 1) b.push_back(s);
    EXPECT_EQ(b, std::vector<Seen>(want.end() - static_cast<std::ptrdiff_t>(b.size()), want.end()));
    EXPECT_FALSE(b.empty());
}

TEST_F(PipelineTestBackEnd, FilesThatVanishAreCountedAndTheFirstFiveNamed) {
    text("a_stays", 5000, 0);
    for (char c = 'b'; c <= 'h'; c++) {
        write(std::string("tree/") + c + "_goes", "words that vanish before they are read\n");
        fake_io.vanish.push_back(path(std::string("tree/") + c + "_goes"));
    }
    text("i_stays", 3000, 8);
    run(2);
    EXPECT_EQ(seen, want) << "the files that stayed are indexed whole";
    EXPECT_EQ(unread_count, 7);
    ASSERT_EQ(unread_files.size(), static_cast<size_t>(UNREAD_NAMED));
    for (int i = 0; i < UNREAD_NAMED; i++) {
        EXPECT_EQ(unread_files[static_cast<size_t>(i)].path, tree() + "/" + static_cast<char>('b' + i) + "_goes");
        EXPECT_EQ(unread_files[static_cast<size_t>(i)].error, OS_ERR_NOT_FOUND);
    }
    // The next run starts its own list.
    fake_io.vanish.clear();
    fake_io.read_calls = 0;
    run(2);
    EXPECT_EQ(unread_count, 0);
    EXPECT_TRUE(unread_files.empty());
}

// ---- Pass-rate filter ----

TEST(PassRate, DropsASingleOutlierAndTakesTheSecond) {
    reset_rate_filter();
    // Times in powers of two keep every rate exact in float.
    double t = 1.0;
    auto pass = [&](double dt) {
        t += dt;
        sample_rate_at(t);
        return passes_per_sec;
    };
    sample_rate_at(t); // the first sample (30 against a ring of zeros) is dropped
    EXPECT_EQ(passes_per_sec, 0);
    EXPECT_EQ(pass(1.0 / 32), 3) << "the second sample is taken: 32 / 10";
    for (int i = 0; i < 12; i++) pass(1.0 / 32);
    EXPECT_EQ(passes_per_sec, 32);
    EXPECT_EQ(pass(1.0 / 64), 32) << "one sample off by more than 5 % is dropped";
    EXPECT_EQ(pass(1.0 / 32), 32);
    EXPECT_EQ(pass(1.0 / 64), 32);
    EXPECT_EQ(pass(1.0 / 64), 35) << "a second outlier in a row is taken: (9 * 32 + 64) / 10";
}

} // namespace
