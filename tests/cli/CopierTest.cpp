#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "cli/PosixFileCopier.h"
#include "support/WorkbookBuilder.h"

namespace fs = std::filesystem;
using quorvane::cli::PosixFileCopier;
using quorvane::links::CopyResult;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quorvane-copier-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::size_t Count() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

void Write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string Read(const std::string& path) { return quorvane::testing::ReadFileBytes(path); }

}  // namespace

TEST(PosixFileCopier, CopiesWholeFileWithItsMode) {
  TempDir dir;
  std::string content(300000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
  Write(dir / "book.xlsx", content);
  ::chmod((dir / "book.xlsx").c_str(), 0640);

  PosixFileCopier copier;
  EXPECT_EQ(copier.Copy(dir / "book.xlsx", dir / "copy.xlsx"), CopyResult::Copied);
  EXPECT_EQ(Read(dir / "copy.xlsx"), content);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "copy.xlsx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(dir.Count(), 2u) << "no temporary file may stay behind";
}

TEST(PosixFileCopier, ExistingTargetIsNeverReplaced) {
  TempDir dir;
  Write(dir / "book.xlsx", "new");
  Write(dir / "backup.xlsx", "older backup");
  fs::create_symlink(dir / "nowhere", dir / "dangling.xlsx");

  PosixFileCopier copier;
  EXPECT_EQ(copier.Copy(dir / "book.xlsx", dir / "backup.xlsx"), CopyResult::TargetExists);
  EXPECT_EQ(Read(dir / "backup.xlsx"), "older backup");
  // A dangling link is a taken name too: following it would write elsewhere.
  EXPECT_EQ(copier.Copy(dir / "book.xlsx", dir / "dangling.xlsx"), CopyResult::TargetExists);
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
  EXPECT_EQ(dir.Count(), 3u);
}

TEST(PosixFileCopier, FailuresThrowAndLeaveNothing) {
  TempDir dir;
  PosixFileCopier copier;

  EXPECT_THROW(copier.Copy(dir / "missing.xlsx", dir / "copy.xlsx"), std::runtime_error);
  EXPECT_EQ(dir.Count(), 0u);

  // A folder is no workbook to copy.
  fs::create_directory(dir / "folder.xlsx");
  EXPECT_THROW(copier.Copy(dir / "folder.xlsx", dir / "copy.xlsx"), std::runtime_error);
  EXPECT_FALSE(fs::exists(dir / "copy.xlsx"));

  if (::geteuid() != 0) {  // root reads anything
    Write(dir / "locked.xlsx", "secret");
    ::chmod((dir / "locked.xlsx").c_str(), 0);
    EXPECT_THROW(copier.Copy(dir / "locked.xlsx", dir / "copy.xlsx"), std::runtime_error);
    EXPECT_FALSE(fs::exists(dir / "copy.xlsx"));
  }

  // The target folder refuses new files: the error names the reason.
  fs::create_directory(dir / "ro");
  Write(dir / "book.xlsx", "data");
  fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  if (::access((dir / "ro").c_str(), W_OK) != 0) {
    try {
      copier.Copy(dir / "book.xlsx", dir / "ro/copy.xlsx");
      ADD_FAILURE() << "copy into a read-only folder succeeded";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("ro"), std::string::npos) << error.what();
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path() / "ro"), fs::directory_iterator()), 0);
  }
}
