#include "filelist/AddFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/FakeFileList.h"
#include "filelist/StdDirectoryListing.h"

namespace quorvane::filelist {
namespace {

using Texts = std::vector<std::string>;

TEST(MatchesPattern, WorkbookPatternAndWildcards) {
  for (const char* name : {"Book1.xls", "Q3.XLSX", "macro.xlsm", "data.xlsb", "form.xlt", "tool.xla",
                           "a.b.Xl", ".xl", "x.xls.bak"})
    EXPECT_TRUE(MatchesPattern(name, kWorkbookPattern)) << name;
  for (const char* name : {"Book1.csv", "Book1.xml", "xls", "Book1.x ls", "", "Book1_xls"})
    EXPECT_FALSE(MatchesPattern(name, kWorkbookPattern)) << name;

  EXPECT_TRUE(MatchesPattern("abc", "a?c"));
  EXPECT_FALSE(MatchesPattern("ac", "a?c"));
  EXPECT_TRUE(MatchesPattern("aXbXc", "*b*c"));
  EXPECT_FALSE(MatchesPattern("aXbXcd", "*b*c"));
  EXPECT_TRUE(MatchesPattern("", "*"));
}

class FolderWalk : public ::testing::Test {
 protected:
  void Press(const std::string& folder) {
    picker.choice = folder;
    AddFolder(picker, listing, pump, list, pointer);
  }
  Texts Entries() const { return testing::Texts(list); }

  testing::FakeFolderPicker picker;
  testing::FakeListing listing;
  testing::FakePump pump;
  FileList list;
  base::Property<int> pointer{base::kPointerCustom};
};

TEST_F(FolderWalk, WalksLevelByLevelGroupedByParentThenListsFolderByFolder) {
  listing.Add("W", {"a.xls", "X\\", "b.xls", "Y\\"});
  listing.Add("W\\X", {"x.xls", "Deep2\\", "Deep1\\"});  // listing order, not sorted
  listing.Add("W\\Y", {"y.xls", "Below\\"});
  listing.Add("W\\X\\Deep1", {"d1.xls"});
  listing.Add("W\\X\\Deep2", {"d2.xls"});
  listing.Add("W\\Y\\Below", {"z.xls"});
  list.Add("first");

  Press("W");
  EXPECT_EQ(picker.prompts, Texts{"Please select folder to add:"});
  EXPECT_EQ(Entries(), (Texts{"first", "W\\a.xls", "W\\b.xls", "W\\X\\x.xls", "W\\Y\\y.xls", "W\\X\\Deep2\\d2.xls",
                              "W\\X\\Deep1\\d1.xls", "W\\Y\\Below\\z.xls"}));
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);

  // The same folder again lists every workbook again.
  Press("W");
  EXPECT_EQ(list.Count(), 15u);

  std::vector<std::string> oneLevel{"W"};
  ASSERT_TRUE(AddSubFolders(listing, pump, oneLevel, false));
  EXPECT_EQ(oneLevel, (Texts{"W", "W\\X", "W\\Y"}));
}

TEST_F(FolderWalk, NamesAndAttributesDecideWhatIsAddedAndEntered) {
  listing.Add("C:\\", {".\\", "..\\", "Book1.xls", "Notes.txt", "~$Book1.xls", "Book1.csv", "Book1.xml", "BOOK2.XLSX"});
  // Our own backups: breaking their links would leave no linked copy.
  listing.Add("C:\\", {"Book1 Backup 7 04 PM Saturday, Dec 5 2026.xls", "BOOK2 Backup 12 00  Sonntag, Jul 4 2027 (2).XLSX"});
  listing.Add("C:\\", "h.xlsm", FileAttributes{.hidden = true});
  listing.Add("C:\\", "s.xlsb", FileAttributes{.system = true});
  listing.Add("C:\\", "unknown.xls", std::nullopt);  // attributes could not be read
  listing.Add("C:\\", {"Old.xls\\"});                // walked, not added
  listing.Add("C:\\", "HiddenDir", FileAttributes{.directory = true, .hidden = true});
  listing.Add("C:\\", "SystemDir", FileAttributes{.directory = true, .system = true});
  listing.Add("C:\\", "Mystery", std::nullopt);
  listing.Add("C:\\Old.xls", {"in.xls"});
  listing.Add("C:\\HiddenDir", {"no1.xls"});
  listing.Add("C:\\SystemDir", {"no2.xls"});
  listing.Add("C:\\Mystery", {"no3.xls"});

  Press("C:\\");
  EXPECT_EQ(Entries(), (Texts{"C:\\Book1.xls", "C:\\BOOK2.XLSX", "C:\\h.xlsm", "C:\\s.xlsb", "C:\\Old.xls\\in.xls"}));
}

TEST_F(FolderWalk, UnreadableFoldersAndLinksArePassedOver) {
  listing.Add("W", {"Locked\\", "Flaky\\"});
  listing.Add("W", "Loop", FileAttributes{.directory = true, .link = true});  // leads back to W
  listing.Add("W", {"Ok\\"});
  listing.Add("W", "link.xls", FileAttributes{.link = true});  // a linked workbook is still a workbook
  listing.Add("W\\Locked", {"l.xls"});
  listing.Add("W\\Flaky", {"f1.xls", "Sub\\", "f2.xls"});
  listing.Add("W\\Flaky\\Sub", {"s.xls"});
  listing.Add("W\\Ok", {"o.xls"});
  listing.unlistable.insert("W\\Locked");
  listing.breakAfter["W\\Flaky"] = 2;  // breaks off after f1.xls and Sub

  Press("W");
  EXPECT_EQ(Entries(), (Texts{"W\\link.xls", "W\\Flaky\\f1.xls", "W\\Ok\\o.xls", "W\\Flaky\\Sub\\s.xls"}));
  for (const auto& folder : listing.opened) EXPECT_EQ(folder.find("Loop"), std::string::npos) << folder;
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
}

TEST_F(FolderWalk, HourglassYieldPointsAndTheProgramEndingMidWalk) {
  listing.Add("W", {"a.xls", "X\\"});
  listing.Add("W\\X", {"x.xls"});
  std::vector<int> seen;
  pump.onYield = [&] {
    seen.push_back(pointer.Get());
    return true;
  };
  Press("W");
  // Listing a folder: once after opening it and once per entry; once before
  // taking X into the sequence. Files are listed without yielding.
  EXPECT_EQ(seen, std::vector<int>(6, base::kPointerHourglass));
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
  EXPECT_EQ(list.Count(), 2u);

  // A cancelled picker changes nothing, not even the pointer.
  pointer.Set(base::kPointerCustom);
  Press("");
  EXPECT_EQ(pointer.Get(), base::kPointerCustom);
  EXPECT_EQ(pump.yields, 6);

  // The program ending at any of those points abandons the walk: nothing is added.
  for (int allowed = 0; allowed < 6; ++allowed) {
    int left = allowed;
    pump.onYield = [&] { return left-- > 0; };
    Press("W");
    EXPECT_EQ(list.Count(), 2u) << allowed;
    EXPECT_EQ(pointer.Get(), base::kPointerDefault);
  }
  // A failure escaping the walk still takes the hourglass away.
  pump.onYield = []() -> bool { throw std::runtime_error("boom"); };
  EXPECT_THROW(Press("W"), std::runtime_error);
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
}

TEST_F(FolderWalk, SecondWalkFromTheMessagePumpKeepsItsOwnState) {
  listing.Add("W", {"a.xls", "X\\", "b.xls"});
  listing.Add("W\\X", {"x.xls"});
  listing.Add("V", {"v.xls", "Sub\\"});
  listing.Add("V\\Sub", {"s.xls"});

  int inner = 0;
  std::vector<int> outerPointers;
  pump.onYield = [&] {
    if (inner == 0) {
      inner = 1;
      Press("V");  // the user presses the button again while W is walked
      inner = 2;
      // Something else changes the list in between; the walk only appends.
      list.RemoveSelected();
    } else if (inner == 2) {
      outerPointers.push_back(pointer.Get());
    }
    return true;
  };
  list.Add("keep");
  list.Add("removed");
  list.Select(2);

  Press("W");
  EXPECT_EQ(Entries(), (Texts{"keep", "V\\v.xls", "V\\Sub\\s.xls", "W\\a.xls", "W\\b.xls", "W\\X\\x.xls"}));
  // The inner walk ended while the outer still worked: the hourglass stayed.
  ASSERT_FALSE(outerPointers.empty());
  for (int p : outerPointers) EXPECT_EQ(p, base::kPointerHourglass);
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
}

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

// The same walk over a real tree.
TEST(StdDirectoryListing, WalksARealTreeWithoutFollowingLinks) {
#ifdef _WIN32
  GTEST_SKIP() << "dot-files as hidden and \"/\" joins are the POSIX behaviour of this listing";
#endif
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
  base::Property<int> pointer;
  AddFolder(picker, listing, pump, list, pointer);

  const auto root = tree.Root();
  ASSERT_EQ(list.Count(), 4u);
  // The root's own order is the file system's; the levels come in order.
  EXPECT_EQ((std::set<std::string>{list.Text(1), list.Text(2)}),
            (std::set<std::string>{(root / "a.xls").string(), (root / ".dotted.xlsx").string()}));
  EXPECT_EQ(list.Text(3), (root / "sub" / "b.XLSM").string());
  EXPECT_EQ(list.Text(4), (root / "sub" / "deeper" / "c.xlsb").string());
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);

  // What is no folder cannot be opened; names are joined with slashes.
  EXPECT_THROW(listing.Open((root / "missing").string()), std::exception);
  EXPECT_THROW(listing.Open((root / "a.xls").string()), std::exception);
  EXPECT_EQ(listing.Join("/", "a.xls"), "/a.xls");
  EXPECT_EQ(listing.Join("/data", "a.xls"), "/data/a.xls");
}

}  // namespace
}  // namespace quorvane::filelist
