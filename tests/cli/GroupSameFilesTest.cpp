// Which command-line paths name the same file, and so must share a thread.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/Parallel.h"

namespace fs = std::filesystem;
using quorvane::cli::GroupSameFiles;

namespace {

class GroupSameFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quorvane-groups-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir_ / "sub");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Make(const std::string& name) {
    std::ofstream(dir_ / name) << name;
    return (dir_ / name).string();
  }
  fs::path dir_;
};

TEST_F(GroupSameFilesTest, EverySpellingOfOneFileFallsInOneGroupInOrderOfFirstAppearance) {
  const std::string a = Make("a.xlsx");
  const std::string b = Make("b.xlsx");
  fs::create_symlink(dir_ / "a.xlsx", dir_ / "sub" / "link.xlsx");
  fs::create_hard_link(dir_ / "a.xlsx", dir_ / "sub" / "hard.xlsx");
  const std::string missing = (dir_ / "gone.xlsx").string();

  const std::vector<std::string> paths = {
      b,                                              // 0
      a,                                              // 1
      (dir_ / "sub" / ".." / "a.xlsx").string(),      // 2
      missing,                                        // 3
      (dir_ / "sub" / "link.xlsx").string(),          // 4
      (dir_ / "sub" / ".." / "gone.xlsx").string(),   // 5
      (dir_ / "sub" / "hard.xlsx").string(),          // 6
      (dir_ / "." / "b.xlsx").string(),               // 7
      (dir_ / "sub" / "other.xlsx").string(),         // 8, missing too
  };
  const std::vector<std::vector<std::size_t>> expected = {{0, 7}, {1, 2, 4, 6}, {3, 5}, {8}};
  EXPECT_EQ(GroupSameFiles(paths), expected);
}

TEST_F(GroupSameFilesTest, FilesWithTheSameContentOrNameElsewhereStayApart) {
  const std::string a = Make("a.xlsx");
  std::ofstream(dir_ / "sub" / "a.xlsx") << "a.xlsx";
  const std::vector<std::string> paths = {a, (dir_ / "sub" / "a.xlsx").string()};
  EXPECT_EQ(GroupSameFiles(paths), (std::vector<std::vector<std::size_t>>{{0}, {1}}));
}

}  // namespace
