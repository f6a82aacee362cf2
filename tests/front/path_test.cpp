#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "front/path.h"
#include "tests/test_util.h"

using Paths = TempTree;

// Both programs take a typed path through normalize_path; this table is what a user may type.
TEST_F(Paths, TypedPathsNormalizeByOneRule) {
    write("tree/sub/a.txt", "");
    write("tree/b.txt", "");
    std::filesystem::create_directory_symlink(path("tree/sub"), path("link"));
    setenv("HOME", path("tree").c_str(), 1);
    std::filesystem::current_path(path("tree"));
    const struct {
        std::string typed, want;
    } cases[] = {
        {"sub", path("tree/sub")},
        {"  sub/ \t\n", path("tree/sub")},               // surrounding white space, trailing slash
        {"./sub/../sub//", path("tree/sub")},            // "." and ".." lexically
        {"~", path("tree")},                             // the home directory
        {"~/sub", path("tree/sub")},
        {"~sub", path("tree/~sub")},                     // another user's home is not guessed
        {"/", "/"},
        {path("link") + "/../b.txt", path("tree/b.txt")}, // ".." after a link: the link's target
        {path("tree") + "/x.iso/docs/../img", path("tree/x.iso/img")}, // inside an image: lexical
        {"", ""},
        {" \t ", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(normalize_path(c.typed), c.want);
    }
}

TEST_F(Paths, OnlyWhatCanBeIndexedIsAnIndexPath) {
    write("tree/a.txt", "");
    std::filesystem::current_path(path("tree"));
    EXPECT_EQ(index_path_of(" . "), path("tree"));
    EXPECT_EQ(index_path_of("a.txt"), ""); // a file, but no image
    EXPECT_EQ(index_path_of("missing"), "");
    EXPECT_EQ(index_path_of(""), "");
}
