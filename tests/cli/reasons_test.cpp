// olmarest-cli search says, after the match count, why each word that found nothing did.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/wait.h>

#include "tests/test_util.h"

namespace {

class CliReasons : public TempTree {};

TEST_F(CliReasons, OneLinePerWordThatFoundNothing) {
    for (int i = 0; i < 1786; i++) write("tree/f" + std::to_string(10000 + i) + ".txt", "memory of the island\n");
    write("tree/a.txt", "lighthouse keepers of the kernel coast, caf\xc3\xa9 du port\n");
    write("stopwords.txt", "kernel\n");
    // The index and stopwords.txt live in the tree's parent (-d .), not the per-user directory.
    auto run = [&](const std::string &args, int code) {
        std::string cmd = std::string(OLMAREST_CLI) + " -d . " + args + " >out.txt 2>err.txt </dev/null";
        int st = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == code) << args;
    };
    run("index tree", 0);

    run("search memory 1999 kernel ipv6 weather lighthouse", 1);
    EXPECT_EQ(read_file("out.txt"), "");
    EXPECT_EQ(read_file("err.txt"), "0 matches found !\n"
                                    "memory: in more than 1,785 files, too common to be indexed\n"
                                    "1999: numbers are not indexed\n"
                                    "kernel: a stop word, left out of the index\n"
                                    "ipv: shorter than 4 letters (digits separate words)\n"
                                    "weather: not in the index\n"
                                    "lighthouse: not searched, only the first three words are\n");

    // Words typed in UTF-8 are echoed in UTF-8; a word that found something has no line.
    run("search --no-excerpts Leuchtt\xc3\xbcrme lighthouse", 0);
    EXPECT_EQ(read_file("out.txt"), "1\t" + path("tree/a.txt") + "\n");
    EXPECT_EQ(read_file("err.txt"), "1 matches found !\nLeuchtt\xc3\xbcrme: not in the index\n");

    // A typed "Café" is the word CAFE; "gcc" gets its line.
    run("search --no-excerpts Caf\xc3\xa9 gcc", 0);
    EXPECT_EQ(read_file("out.txt"), "1\t" + path("tree/a.txt") + "\n");
    EXPECT_EQ(read_file("err.txt"), "1 matches found !\ngcc: shorter than 4 letters\n");
}

} // namespace
