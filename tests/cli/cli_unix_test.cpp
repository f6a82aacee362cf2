// olmarest-cli as a Unix tool, run in-process: exit codes, argument parsing, where the index
// lives, output that pipes well, and output that could not be written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "cli/commands.h"
#include "idx/text/extract.h"
#include "idx/idxdir.h"
#include "tests/test_util.h"

namespace {

struct CliResult {
    int code;
    std::string out;
    std::string err;
};

class CliUnix : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        // Never the real user's index: the per-user directory is made under the test's root.
        setenv("HOME", path("home").c_str(), 1);
        unsetenv("XDG_DATA_HOME");
        unsetenv("OLMAREST_DIR");
        set_idx_dir("");
    }

    // Runs olmarest-cli with args in this process; out is captured, or written to out_file.
    static CliResult cli(std::vector<std::string> args, FILE *out_file = nullptr) {
        args.insert(args.begin(), "olmarest-cli");
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        char *ob = nullptr, *eb = nullptr;
        size_t on = 0, en = 0;
        FILE *o = out_file ? out_file : open_memstream(&ob, &on);
        FILE *e = open_memstream(&eb, &en);
        int code = cli_run(static_cast<int>(args.size()), argv.data(), o, e);
        if (!out_file) fclose(o);
        fclose(e);
        CliResult r{code, ob ? std::string(ob, on) : "", std::string(eb, en)};
        free(ob);
        free(eb);
        return r;
    }

    static std::string user_dir() { return std::string(getenv("HOME")) + "/.local/share/olmarest"; }
};

TEST_F(CliUnix, ExitCodesFollowGrep) {
    write("tree/a.txt", "the keeper of the lighthouse\n");
    mkdir("empty/sub");
    write("plain.txt", "not a folder");
    EXPECT_EQ(cli({"search", "lighthouse"}).code, EXIT_ERROR); // no index yet
    EXPECT_EQ(cli({"index", tree()}).code, EXIT_MATCH);
    EXPECT_EQ(cli({"search", "lighthouse"}).code, EXIT_MATCH);
    EXPECT_EQ(cli({"search", "zebrafish"}).code, EXIT_NONE);
    EXPECT_EQ(cli({"search", "the"}).code, EXIT_NONE); // too short to be a word: nothing listed
    CliResult r = cli({"search"});
    EXPECT_EQ(r.code, EXIT_ERROR);
    EXPECT_NE(r.err.find("search needs at least one word"), std::string::npos);
    EXPECT_EQ(cli({"search", "--frobnicate", "x"}).code, EXIT_ERROR);
    EXPECT_EQ(cli({"frobnicate"}).code, EXIT_ERROR);
    EXPECT_EQ(cli({}).code, EXIT_ERROR);
    EXPECT_EQ(cli({"index"}).code, EXIT_ERROR);
    EXPECT_EQ(cli({"index", "a", "b"}).code, EXIT_ERROR);
    EXPECT_EQ(cli({"index", "--raw", tree()}).code, EXIT_ERROR);
    EXPECT_EQ(cli({"search", "--verbose", "x"}).code, EXIT_ERROR);
    r = cli({"index", path("no-such-dir")});
    EXPECT_EQ(r.code, EXIT_ERROR);
    EXPECT_EQ(r.err, "Please enter a valid pathname !\n");
    r = cli({"index", "plain.txt"});
    EXPECT_EQ(r.code, EXIT_ERROR);
    EXPECT_EQ(r.err, "olmarest-cli: plain.txt: not a directory\n");
    r = cli({"index", "empty"});
    EXPECT_EQ(r.code, EXIT_FAILED);
    EXPECT_NE(r.out.find("SCAN FAILED !\n"), std::string::npos);
}

TEST_F(CliUnix, OptionsStandAnywhereBeforeDoubleDash) {
    write("tree/a.txt", "the keeper of the lighthouse\n");
    ASSERT_EQ(cli({"index", tree(), "--verbose"}).code, 0);
    std::string row = path("tree/a.txt");
    EXPECT_EQ(cli({"search", "lighthouse", "--no-excerpts"}).out, "1\t" + row + "\n");
    EXPECT_EQ(cli({"--no-excerpts", "search", "lighthouse"}).out, "1\t" + row + "\n");
    EXPECT_EQ(cli({"search", "lighthouse", "-l"}).out, row + "\n");
    // After "--" everything is a word, however it looks.
    CliResult r = cli({"search", "--", "--no-excerpts"});
    EXPECT_EQ(r.code, EXIT_NONE);
    EXPECT_EQ(r.out, "");
    for (const char *help : {"--help", "-h"}) {
        r = cli({"index", help});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out.rfind("Usage: olmarest-cli", 0), 0u);
        EXPECT_NE(r.out.find("Exit status"), std::string::npos);
    }
    r = cli({"search", "-d"});
    EXPECT_EQ(r.code, EXIT_ERROR);
    EXPECT_NE(r.err.find("option needs a value: -d"), std::string::npos);
}

TEST_F(CliUnix, IndexDirectoryIsChosenMadeAndSeeded) {
    write("tree/a.txt", "the keeper of the lighthouse\n");
    // Default: the per-user directory, made on first use and seeded with the default stop list.
    ASSERT_EQ(cli({"index", tree()}).code, 0);
    std::string shipped = read_file(std::string(OLMAREST_SOURCE_DIR) + "/data/stopwords.txt");
    ASSERT_FALSE(shipped.empty());
    EXPECT_EQ(read_file(user_dir() + "/stopwords.txt"), shipped);
    EXPECT_TRUE(std::filesystem::exists(user_dir() + "/idx.dat"));
    EXPECT_FALSE(std::filesystem::exists(path("idx.dat")));
    // A stop list the user removed is not brought back: the directory is seeded only when made.
    remove("home/.local/share/olmarest/stopwords.txt");
    EXPECT_EQ(cli({"search", "lighthouse"}).code, 0);
    EXPECT_FALSE(std::filesystem::exists(user_dir() + "/stopwords.txt"));

    setenv("XDG_DATA_HOME", path("xdg").c_str(), 1);
    ASSERT_EQ(cli({"index", tree()}).code, 0);
    EXPECT_TRUE(std::filesystem::exists(path("xdg/olmarest/idx.dat")));
    EXPECT_TRUE(std::filesystem::exists(path("xdg/olmarest/stopwords.txt")));

    // -d and OLMAREST_DIR name a directory that must exist; -d wins.
    mkdir("mine");
    setenv("OLMAREST_DIR", path("mine").c_str(), 1);
    ASSERT_EQ(cli({"index", "--no-stopwords", tree()}).code, 0);
    EXPECT_TRUE(std::filesystem::exists(path("mine/idx.dat")));
    EXPECT_FALSE(std::filesystem::exists(path("mine/stopwords.txt"))) << "none was asked for";
    // A named directory without a stop list gets the default one for its run, as the per-user
    // one does; a list the user left there, even an empty one, stays as it is.
    ASSERT_EQ(cli({"index", tree()}).code, 0);
    EXPECT_EQ(read_file(path("mine/stopwords.txt")), read_file(path("xdg/olmarest/stopwords.txt")));
    write("own/stopwords.txt", "");
    ASSERT_EQ(cli({"-d", path("own"), "index", tree()}).code, 0);
    EXPECT_EQ(read_file(path("own/stopwords.txt")), "");
    ASSERT_EQ(cli({"-d", ".", "index", tree()}).code, 0);
    EXPECT_TRUE(std::filesystem::exists(path("idx.dat")));
    ASSERT_EQ(cli({"search", "--index-dir=.", "lighthouse"}).code, 0);
    CliResult r = cli({"search", "-d", path("missing"), "lighthouse"});
    EXPECT_EQ(r.code, EXIT_ERROR);
    EXPECT_NE(r.err.find("missing does not exist"), std::string::npos);

    unsetenv("OLMAREST_DIR");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    r = cli({"search", "lighthouse"});
    EXPECT_EQ(r.code, EXIT_ERROR);
    EXPECT_NE(r.err.find("-d DIR"), std::string::npos);
}

TEST_F(CliUnix, IndexedPathsAreAbsoluteAndSearchWorksAnywhere) {
    write("tree/sub/a.txt", "the keeper of the lighthouse\n");
    ASSERT_EQ(cli({"index", "./tree/../tree/"}).code, 0);
    std::filesystem::current_path(path("tree/sub"));
    EXPECT_EQ(cli({"search", "-l", "lighthouse"}).out, path("tree/sub/a.txt") + "\n");
}

TEST_F(CliUnix, RowsPipeWell) {
    load_trigrams("/nonexistent");
    std::string text;
    for (int i = 0; i < 70; i++) text += "lighthouse ";
    for (int i = 0; i < 5; i++) text += "harbour ";
    write("tree/a.txt", text + "\n");
    // A tab, Latin-1 bytes and a control byte around the word.
    write("tree/b.txt", "M\xFCller\tsaw\x01the harbour light\x7F" "at dusk\n");
    write("tree/c.html", "<html><body><p class=\"x\">Fish &amp; chips at the <b>harbour</b> "
                         "caf&eacute;</p></body></html>\n");
    ASSERT_EQ(cli({"index", tree()}).code, 0);

    CliResult r = cli({"search", "lighthouse", "harbour", "--no-excerpts"});
    EXPECT_EQ(r.out, "68+\t" + path("tree/a.txt") + "\n1\t" + path("tree/b.txt") + "\n1\t" +
                         path("tree/c.html") + "\n");
    // --raw: the engine's own rows, byte for byte.
    r = cli({"search", "--raw", "harbour"});
    EXPECT_EQ(r.out, "5\t" + path("tree/a.txt") + "\tighthouse harbour harbour h ... \n"
                     "1\t" + path("tree/b.txt") + "\tr\tsaw\x01the harbour light\x7F" "at  ... \n"
                     "1\t" + path("tree/c.html") + "\tat the <b>harbour</b> caf&e ... \n");
    r = cli({"search", "--raw", "lighthouse", "harbour", "--no-excerpts"});
    EXPECT_EQ(r.out.rfind("> 68\t", 0), 0u);

    r = cli({"search", "harbour"});
    EXPECT_EQ(r.out, "5\t" + path("tree/a.txt") + "\tighthouse harbour harbour h ... \n"
                     "1\t" + path("tree/b.txt") + "\tr saw the harbour light at  ... \n"
                     "1\t" + path("tree/c.html") + "\tat the harbour caf&e ... \n");

    r = cli({"search", "-l0", "harbour"});
    EXPECT_EQ(r.out, path("tree/a.txt") + '\0' + path("tree/b.txt") + '\0' + path("tree/c.html") + '\0');
    EXPECT_EQ(r.err, "3 matches found !\n");
}

TEST_F(CliUnix, LostOutputIsAnError) {
    write("tree/a.txt", "the keeper of the lighthouse\n");
    FILE *full = fopen("/dev/full", "w");
    if (!full) GTEST_SKIP() << "no /dev/full here";
    CliResult r = cli({"index", tree()}, full);
    EXPECT_EQ(r.code, EXIT_ERROR);
    EXPECT_NE(r.err.find("cannot write the output: No space left on device"), std::string::npos) << r.err;
    clearerr(full);
    ASSERT_EQ(cli({"index", tree()}).code, 0);
    r = cli({"search", "lighthouse"}, full);
    EXPECT_EQ(r.code, EXIT_ERROR);
    EXPECT_NE(r.err.find("cannot write the output"), std::string::npos);
    fclose(full);
}

// The progress line goes to a terminal on standard error when standard output is no terminal,
// ends at 100 % on a finished run, and the report's maximum is never below its average.
TEST_F(CliUnix, ProgressOnTheTerminalAndAnHonestReport) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal";
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    struct termios raw;
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw); // no "\r" added to line ends: only ours remain
    tcsetattr(slave, TCSANOW, &raw);
    write("tree/a.txt", "the keeper of the lighthouse\n");
    char *ob = nullptr, *eb = nullptr;
    size_t on = 0;
    FILE *out = open_memstream(&ob, &on);
    FILE *err = fdopen(slave, "w");
    std::string t = tree();
    char *argv[] = {const_cast<char *>("olmarest-cli"), const_cast<char *>("index"), t.data(), nullptr};
    EXPECT_EQ(cli_run(3, argv, out, err), 0);
    fclose(out);
    fclose(err);
    std::string shown;
    fcntl(master, F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) shown.append(buf, static_cast<size_t>(n));
    close(master);
    std::string report(ob, on);
    free(ob);
    free(eb);
    EXPECT_EQ(report.find('\r'), std::string::npos) << report;
    size_t last = shown.rfind('\r');
    ASSERT_NE(last, std::string::npos) << shown;
    EXPECT_EQ(shown.substr(last + 1, 5), "100% ") << shown;
    double avg = 0, max = 0;
    ASSERT_EQ(sscanf(report.c_str() + report.find("  average throughput: "), "  average throughput: %lf", &avg), 1);
    ASSERT_EQ(sscanf(report.c_str() + report.find("  maximum throughput: "), "  maximum throughput: %lf", &max), 1);
    EXPECT_GE(max, avg);
}

} // namespace

namespace {

// A path of 260 bytes or more is read and found like any other.
TEST_F(CliUnix, LongPathIsReadAndFound) {
    std::string rel = "tree/" + std::string(120, 'a') + "/" + std::string(120, 'b') + "/" + std::string(40, 'c') + ".txt";
    write(rel, "the keeper of the lighthouse\n");
    ASSERT_GE(path(rel).size(), 300u);
    ASSERT_EQ(cli({"index", tree()}).code, 0);
    CliResult r = cli({"search", "keeper"});
    EXPECT_EQ(r.out, "1\t" + path(rel) + "\tthe keeper of the li ... \n");
}

} // namespace
