// Shared test helpers: a temporary working directory with a small tree in it, and engine runs.
#ifndef OLMAREST_TESTS_TEST_UTIL_H
#define OLMAREST_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>

// A fresh temporary directory that becomes the current directory (idx.dat lands there) for the
// life of the fixture; removed with everything in it afterwards.
class TempTree : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes data to root()/rel, creating parent directories.
    void write(const std::string &rel, const std::string &data);
    void mkdir(const std::string &rel);
    void remove(const std::string &rel);
    std::string path(const std::string &rel) const { return root_ + "/" + rel; }
    const std::string &root() const { return root_; }
    // Directory for the tree to index: root()/tree.
    std::string tree() const { return root_ + "/tree"; }

    // Runs create_idx over dir and waits for the end; returns status_idx().
    static int index_tree(const std::string &dir);

  private:
    std::string root_;
    std::string old_cwd_;
};

std::string read_file(const std::string &path);

#endif
