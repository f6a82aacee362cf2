// olmarest-cli end to end: its command lines, run in this process (the real program where a
// signal is needed), on the sample tree and on a generated tree whose answers the test works out
// for itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cli/commands.h"
#include "idx/text/extract.h"
#include "idx/text/stemmer.h"
#include "os/os.h"
#include "tests/test_util.h"

namespace {

struct CliRun {
    int code;
    std::string out;
    std::string err;
};

class Cli : public TempTree {
  protected:
    // These tests keep idx.dat in the current (temporary) directory, as the program once did.
    void SetUp() override {
        TempTree::SetUp();
        setenv("OLMAREST_DIR", root().c_str(), 1);
    }

    // Runs olmarest-cli's command line args (words split at spaces) in this process, in the
    // current (temporary) directory, with the engine's defaults as the program starts with them.
    CliRun cli(const std::string &args) {
        std::vector<std::string> words{"olmarest-cli"};
        std::istringstream in(args);
        for (std::string w; in >> w;) words.push_back(w);
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        program_defaults();
        FILE *out = tmpfile(), *err = tmpfile();
        EXPECT_TRUE(out && err);
        if (!out || !err) return {-1, "", ""};
        int code = cli_run(static_cast<int>(words.size()), argv.data(), out, err);
        CliRun r{code, slurp(out), slurp(err)};
        fclose(out);
        fclose(err);
        return r;
    }

    static std::string slurp(FILE *f) {
        std::string s;
        rewind(f);
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
        return s;
    }

    static std::vector<std::string> lines(const std::string &s) {
        std::vector<std::string> v;
        std::istringstream in(s);
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }

    static std::vector<std::string> split_tabs(const std::string &line) {
        std::vector<std::string> f;
        size_t start = 0, tab;
        while ((tab = line.find('\t', start)) != std::string::npos) {
            f.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        f.push_back(line.substr(start));
        return f;
    }
};

TEST_F(Cli, HelpVersionAndBadArguments) {
    CliRun r = cli("--help");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("index [--verbose] [--no-stopwords] [--formats=LIST] PATH"), std::string::npos);
    r = cli("--version");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("olmarest-cli ", 0), 0u);
    EXPECT_EQ(cli("").code, 2);
    EXPECT_EQ(cli("frobnicate").code, 2);
    r = cli("index " + root() + "/no-such-dir");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "Please enter a valid pathname !\n");
    write("plain.txt", "not a directory");
    EXPECT_EQ(cli("index plain.txt").code, 2);
}

TEST_F(Cli, FormatsChooseWhatIsDecodedAndDamageIsReported) {
    write("tree/log.txt.gz", gzip_bytes("the albatross circles the mast\n"));
    write("tree/le.txt", utf16_bytes("The zabaglione is served daily.\n", true, true));
    std::string cut = gzip_bytes("the cormorant dives before the cut\n" + std::string(100000, 'x'), 0);
    write("tree/cut.gz", cut.substr(0, cut.size() / 2));
    auto found = [&](const char *word) { return cli(std::string("search -l ") + word).code == 0; };
    CliRun r = cli("index tree");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find("Note: 1 file could not be read:\n  " + root() + "/tree/cut.gz: its compressed "
                         "data is damaged or cut short; the words before that are indexed\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(found("albatross"));
    EXPECT_TRUE(found("zabaglione"));
    EXPECT_TRUE(found("cormorant"));
    EXPECT_EQ(cli("index --formats=utf16 tree").code, 0);
    EXPECT_FALSE(found("albatross"));
    EXPECT_TRUE(found("zabaglione"));
    EXPECT_EQ(cli("index --formats=none tree").code, 0);
    EXPECT_FALSE(found("zabaglione"));
    EXPECT_FALSE(found("cormorant"));
    EXPECT_EQ(cli("index --formats=gzip,utf16 tree").code, 3);
    EXPECT_TRUE(found("albatross"));
    r = cli("index --formats=gzip,djvu tree");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("unknown format in --formats=gzip,djvu (the formats: gzip, utf16, office, pdf, all, none)"),
              std::string::npos);
    EXPECT_EQ(cli("search --formats=none albatross").code, 2);
    EXPECT_TRUE(found("albatross")); // the refused run left the index alone
}

TEST_F(Cli, SearchWithoutIndex) {
    CliRun r = cli("search lighthouse");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("No index loaded\n", 0), 0u);
}

TEST_F(Cli, IndexesAndSearchesTheSampleTree) {
    std::string samples = std::string(OLMAREST_SOURCE_DIR) + "/samples";
    CliRun r = cli("index " + samples);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("Scanning ...\nIndex complete ! :-)\n"
                          "----------------------------------------------\nStatistics:\n  Time for Scan: ",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("\n  total files: 8 \n"), std::string::npos);
    EXPECT_NE(r.out.find("\n unique words: "), std::string::npos);
    EXPECT_EQ(r.err, ""); // the per-pass lines only with --verbose

    r = cli("search lighthouse");
    EXPECT_EQ(r.code, 0);
    auto rows = lines(r.out);
    EXPECT_EQ(r.err, std::to_string(rows.size()) + " matches found !\n");
    std::set<std::string> files;
    for (auto &row : rows) {
        auto f = split_tabs(row);
        ASSERT_EQ(f.size(), 3u) << row;
        EXPECT_GT(std::stoi(f[0]), 0);
        files.insert(f[1].substr(samples.size() + 1));
        std::string lower = f[2];
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        EXPECT_NE(lower.find("lighthouse"), std::string::npos) << row;
    }
    EXPECT_TRUE(files.count("docs/lighthouse.txt"));
    EXPECT_TRUE(files.count("web/index.html"));
    EXPECT_TRUE(files.count("music/harbour_lights.mp3"));
    EXPECT_FALSE(files.count("bin/archive.zip"));

    r = cli("search --no-excerpts lighthouse");
    for (auto &row : lines(r.out)) EXPECT_EQ(split_tabs(row).size(), 2u) << row;
    r = cli("search zyxwvutsr");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "0 matches found !\nzyxwvutsr: not in the index\n");
}

TEST_F(Cli, CappedFrequencyAndFailedRun) {
    load_trigrams("/nonexistent");
    std::string text;
    for (int i = 0; i < 70; i++) text += "lighthouse ";
    for (int i = 0; i < 5; i++) text += "harbour ";
    write("tree/a.txt", text + "\n");
    ASSERT_EQ(cli("index tree").code, 0);
    CliRun r = cli("search lighthouse harbour");
    auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(split_tabs(rows[0])[0], "68+");

    mkdir("empty/sub");
    r = cli("index empty");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("SCAN FAILED !\n"), std::string::npos);
    EXPECT_NE(r.err, "");
}

TEST_F(Cli, InterruptAbortsTheRunAndLeavesALoadableIndex) {
    // About 100 MB of text: long enough to be interrupted midway.
    std::string text;
    while (text.size() < (256u << 10)) text += "the keeper climbed the lighthouse stairs at dusk\n";
    for (int i = 0; i < 400; i++) write("tree/f" + std::to_string(1000 + i) + ".txt", text);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        freopen("out.txt", "w", stdout);
        freopen("err.txt", "w", stderr);
        execl(OLMAREST_CLI, OLMAREST_CLI, "index", "tree", static_cast<char *>(nullptr));
        _exit(127);
    }
    // The interrupt must come once the run has started (its handler is in place by then): on a
    // loaded machine, or under a sanitizer, starting alone can take longer than a fixed wait.
    for (int i = 0; i < 2000 && read_file("out.txt").find("Scanning ...") == std::string::npos; i++) os_sleep_ms(5);
    os_sleep_ms(50);
    kill(pid, SIGINT);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) == 0) GTEST_SKIP() << "the run ended before the interrupt";
    EXPECT_EQ(WEXITSTATUS(st), 130);
    std::string out = read_file("out.txt");
    EXPECT_NE(out.find("Scan aborted!\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SCAN FAILED !\n"), std::string::npos) << out;
    int held = 0, all = 0;
    size_t at = out.find("The index now holds the first ");
    ASSERT_NE(at, std::string::npos) << out;
    ASSERT_EQ(sscanf(out.c_str() + at, "The index now holds the first %d of %d files.", &held, &all), 2);
    EXPECT_GE(held, 0); // 0 when the interrupt came while the tree was listed
    EXPECT_LE(held, all);
    EXPECT_EQ(all, 400);
    // What was read before the abort is a whole index.
    CliRun r = cli("search --no-excerpts lighthouse");
    EXPECT_EQ(r.code, held > 0 ? 0 : 1) << r.err; // loads either way; empty when nothing was read
    EXPECT_EQ(r.err.find("No index loaded"), std::string::npos) << r.err;
}

// A few thousand files over a vocabulary of made-up words; every answer is worked out here from
// the generated contents: which files hold a word, how often, in which order they rank.
TEST_F(Cli, GeneratedTreeAnswersMatchTheContents) {
    // Words the indexer keeps as they are: their stem is themselves, the trigram table accepts each
    // as the first word of a text (so no context can reject it), and no two share a stem.
    std::string beside = std::filesystem::path(OLMAREST_CLI).parent_path().string() + "/trigram_freqs.dat";
    load_trigrams(beside.c_str());
    static std::string *accepted_word;
    static bool accepted;
    word_sink = [](char *w, int) {
        accepted = *accepted_word == w;
        return 0;
    };
    const char *syl[] = {"bar", "ten", "mor", "lan", "der", "sil", "ven", "tor", "rim", "pel",
                         "dan", "kor", "fal", "mun", "ser", "gan", "hol", "win", "bel", "cas"};
    std::vector<std::string> vocab;
    for (const char *a : syl)
        for (const char *b : syl) {
            std::string w = std::string(a) + b, up = w;
            std::transform(up.begin(), up.end(), up.begin(), ::toupper);
            char buf[32];
            snprintf(buf, sizeof buf, "%s", up.c_str());
            int len = static_cast<int>(up.size());
            if (stem_word(buf, len) != static_cast<int>(up.size())) continue;
            accepted_word = &up;
            accepted = false;
            std::string text = w + " ";
            extract_reset();
            extract_plain(text.c_str(), static_cast<int>(text.size()));
            if (accepted) vocab.push_back(w);
        }
    ASSERT_GE(vocab.size(), 100u);

    // 3000 files in 10 folders; each holds 6 words of the vocabulary, 1 to 5 times each, and the
    // common word, which is then in too many files to be kept.
    const std::string common = vocab.back();
    vocab.pop_back();
    std::mt19937 rng(2024);
    std::vector<std::string> paths; // in file-number order: folders, then names, bytewise
    std::map<std::string, std::map<int, int>> counts; // word -> file number -> occurrences
    for (int d = 0; d < 10; d++)
        for (int f = 0; f < 300; f++) {
            char rel[64];
            snprintf(rel, sizeof rel, "tree/d%02d/f%04d.txt", d, f);
            int fn = static_cast<int>(paths.size());
            std::string text = common + " of the day\n";
            for (int k = 0; k < 6; k++) {
                const std::string &w = vocab[rng() % vocab.size()];
                int n = 1 + static_cast<int>(rng() % 5);
                counts[w][fn] += n;
                for (int i = 0; i < n; i++) text += w + (i % 7 == 6 ? "\n" : " ");
            }
            write(rel, text);
            paths.push_back(root() + "/" + rel);
        }
    CliRun r = cli("index " + root() + "/tree");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("  total files: 3000 \n"), std::string::npos);

    EXPECT_EQ(cli("search --no-excerpts " + common).out, "");
    int checked = 0;
    for (auto &[word, files] : counts) {
        if (files.size() > 1785 || checked++ >= 25) continue;
        std::vector<std::pair<int, int>> expect(files.begin(), files.end()); // (file, count)
        std::stable_sort(expect.begin(), expect.end(),
                         [](auto &a, auto &b) { return std::min(a.second, 63) > std::min(b.second, 63); });
        std::string want;
        for (auto &[fn, n] : expect) want += std::to_string(n) + "\t" + paths[fn] + "\n";
        SCOPED_TRACE(word);
        EXPECT_EQ(cli("search --no-excerpts " + word).out, want);
    }
    // Two words: files with both come first, then by capped total, then by file number.
    auto it = counts.begin();
    const std::string &w1 = it->first, &w2 = std::next(it)->first;
    std::map<int, std::pair<int, int>> both; // file -> (matched, total)
    for (auto *w : {&w1, &w2})
        for (auto &[fn, n] : counts[*w]) {
            both[fn].first++;
            both[fn].second += n;
        }
    std::vector<std::pair<int, std::pair<int, int>>> expect(both.begin(), both.end());
    std::stable_sort(expect.begin(), expect.end(), [](auto &a, auto &b) {
        int sa = a.second.first * 64 + std::min(a.second.second, 63);
        int sb = b.second.first * 64 + std::min(b.second.second, 63);
        return sa > sb;
    });
    std::string want;
    for (auto &[fn, s] : expect) want += std::to_string(s.second) + "\t" + paths[fn] + "\n";
    EXPECT_EQ(cli("search --no-excerpts " + w1 + " " + w2).out, want);
    // With excerpts, every row shows its word.
    for (auto &row : lines(cli("search " + w1).out)) EXPECT_NE(split_tabs(row)[2].find(w1), std::string::npos);
}

} // namespace
