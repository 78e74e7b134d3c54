#include "filelist/StdDirectoryListing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "fakes/FakeFileList.h"

namespace quorvane::filelist {
namespace {

namespace fs = std::filesystem;

class TempTree {
 public:
  TempTree() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / (std::string("quorvane-") + info->name() + "-" +
                                         std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  ~TempTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  void File(const fs::path& relative) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative) << "x";
  }
  const fs::path& Root() const { return root_; }

 private:
  fs::path root_;
};

// Dot-files as hidden and "/" joins are the POSIX behaviour of this listing.
#ifdef _WIN32
#define SKIP_ON_WINDOWS() GTEST_SKIP() << "POSIX listing"
#else
#define SKIP_ON_WINDOWS() (void)0
#endif

TEST(StdDirectoryListing, WalksARealTreeWithoutFollowingLinks) {
  SKIP_ON_WINDOWS();
  TempTree tree;
  tree.File("a.xls");
  tree.File(".dotted.xlsx");  // hidden files are still listed
  tree.File("~$a.xls");
  tree.File("notes.txt");
  tree.File("sub/b.XLSM");
  tree.File("sub/deeper/c.xlsb");
  tree.File(".hidden/never.xls");
  fs::create_directory_symlink(tree.Root(), tree.Root() / "sub" / "loop");
  fs::create_directory_symlink(tree.Root() / "sub" / "deeper", tree.Root() / "shortcut");

  StdDirectoryListing listing;
  testing::FakePump pump;
  testing::FakeFolderPicker picker;
  picker.choice = tree.Root().string();
  FileList list;
  app::CheckBox check4;
  app::Property<int> pointer;
  check4.Click = [&] { Check4_Click(check4, picker, listing, pump, list, pointer); };
  check4.UserClick();

  const auto root = tree.Root();
  ASSERT_EQ(list.Count(), 4u);
  // The root's own order is the file system's; the levels come in order.
  EXPECT_EQ((std::set<std::string>{list.Text(1), list.Text(2)}),
            (std::set<std::string>{(root / "a.xls").string(), (root / ".dotted.xlsx").string()}));
  EXPECT_EQ(list.Text(3), (root / "sub" / "b.XLSM").string());
  EXPECT_EQ(list.Text(4), (root / "sub" / "deeper" / "c.xlsb").string());
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);

  // What is no folder cannot be opened; names are joined with slashes.
  EXPECT_THROW(listing.Open((root / "missing").string()), std::exception);
  EXPECT_THROW(listing.Open((root / "a.xls").string()), std::exception);
  EXPECT_EQ(listing.Join("/", "a.xls"), "/a.xls");
  EXPECT_EQ(listing.Join("/data", "a.xls"), "/data/a.xls");
}

}  // namespace
}  // namespace quorvane::filelist
