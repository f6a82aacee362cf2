// Several programs on one index directory: searches never refuse each other, an index loaded in
// one process never blocks a search in another, and runs still refuse each other.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "idx/idxdir.h"
#include "idx/index.h"
#include "tests/test_util.h"

extern char **environ;

namespace {

class SharedIndex : public TempTree {
  protected:
    void SetUp() override {
        TempTree::SetUp();
        set_idx_dir("");
        for (int i = 0; i < 40; i++)
            write("tree/f" + std::to_string(i) + ".txt", "the lighthouse keeper climbs the stairs " + std::to_string(i) + "\n");
    }

    // Starts olmarest-cli with args, its output thrown away; the child's pid.
    pid_t start_cli(std::vector<std::string> args) {
        args.insert(args.begin(), {OLMAREST_CLI, "-d", root()});
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        int e = posix_spawn(&pid, OLMAREST_CLI, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        return e == 0 ? pid : -1;
    }

    static int exit_code(pid_t pid) {
        int st = 0;
        if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
        return WEXITSTATUS(st);
    }
};

TEST_F(SharedIndex, TwentySearchesAtOnceAllSucceed) {
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    for (int round = 0; round < 3; round++) {
        std::vector<pid_t> pids;
        for (int i = 0; i < 20; i++) pids.push_back(start_cli({"search", "lighthouse"}));
        int ok = 0;
        for (pid_t p : pids) ok += p > 0 && exit_code(p) == 0;
        EXPECT_EQ(ok, 20) << "round " << round;
    }
}

TEST_F(SharedIndex, LoadedIndexBlocksNoSearchAndNoRun) {
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason(); // held for the rest of the test, as the desktop program does
    EXPECT_EQ(exit_code(start_cli({"search", "lighthouse"})), 0);
    EXPECT_EQ(exit_code(start_cli({"index", tree()})), 0);
    EXPECT_EQ(exit_code(start_cli({"search", "keeper"})), 0);
}

} // namespace
