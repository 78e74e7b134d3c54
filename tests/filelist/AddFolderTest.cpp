#include "filelist/AddFolder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/FakeFileList.h"
#include "filelist/StdDirectoryListing.h"
#include "support/ScratchDir.h"

namespace quorvane::filelist {
namespace {

using Texts = std::vector<std::string>;

// One tree with every kind of entry. Names (the workbook pattern, in any
// case) and attributes decide what is added and what is entered; one place
// that cannot be read, or that gives nothing to read, does not stop the walk.
struct FolderWalk : ::testing::Test {
  testing::FakeShell tree;
  FileList list;
  base::Property<int> pointer{base::kPointerCustom};
  // Level by level, each level's folders grouped by parent in listing order;
  // then the workbooks folder by folder.
  const Texts walked = {"W\\a.xls",          "W\\B.XLSX",           "W\\a.b.Xl",           "W\\x.xls.bak",
                        "W\\.xl",            "W\\h.xlsm",           "W\\s.xlsb",           "W\\link.xls",
                        "W\\X\\x.xls",       "W\\Y\\y.xls",         "W\\Old.xls\\in.xls",  "W\\Flaky\\f1.xls",
                        "W\\X\\Deep2\\d2.xls", "W\\X\\Deep1\\d1.xls", "W\\Y\\Below\\z.xls", "W\\Flaky\\Sub\\s.xls"};

  FolderWalk() {
    tree.Add("W", {".\\", "..\\", "a.xls", "X\\", "Notes.txt", "~$a.xls", "a.csv", "Y\\", "B.XLSX", "Old.xls\\"});
    tree.Add("W", {"a.b.Xl", "x.xls.bak", ".xl", "xls", "Book1.x ls", "Book1_xls", "Book1.xml"});
    // Our own backups: breaking their links would leave no linked copy.
    tree.Add("W", {"a Backup 7 04 PM Saturday, Dec 5 2026.xls", "B Backup 12 00  Sonntag, Jul 4 2027 (2).XLSX"});
    // A linked workbook is still a workbook; a linked folder may lead back to W.
    tree.Add("W", {"[h]h.xlsm", "[s]s.xlsb", "[l]link.xls", "[?]unknown.xls"});
    tree.Add("W", {"[h]HiddenDir\\", "[s]SystemDir\\", "[l]Loop\\", "[?]Mystery"});
    tree.Add("W", {"Locked\\", "Gone\\", "Flaky\\"});
    tree.Add("W\\X", {"x.xls", "Deep2\\", "Deep1\\"});
    tree.Add("W\\Y", {"y.xls", "Below\\"});
    tree.Add("W\\X\\Deep1", {"d1.xls"});
    tree.Add("W\\X\\Deep2", {"d2.xls"});
    tree.Add("W\\Y\\Below", {"z.xls"});
    tree.Add("W\\Old.xls", {"in.xls"});
    for (const char* skipped : {"HiddenDir", "SystemDir", "Mystery", "Loop", "Locked"})
      tree.Add("W\\" + std::string(skipped), {"no.xls"});
    tree.unlistable.insert("W\\Locked");
    tree.Add("W\\Flaky", {"f1.xls", "Sub\\", "!", "f2.xls"});
    tree.Add("W\\Flaky\\Sub", {"s.xls"});
  }
  void Press(const std::string& folder) {
    tree.choice = folder;
    AddFolder(tree, tree, tree, list, pointer);
  }
};

// The walk yields only under the hourglass; the program ending at any of its
// yields abandons it, adding nothing. A cancelled picker changes nothing, not
// even the pointer; a failure escaping the walk takes the hourglass away.
TEST_F(FolderWalk, WalksLevelByLevelTakingOnlyWorkbooksAndReadableFolders) {
  int yields = 0;
  tree.onYield = [&] {
    ++yields;
    return pointer.Get() == base::kPointerHourglass;
  };
  Press("W");
  EXPECT_EQ(testing::Texts(list), walked);
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
  for (int allowed = 0; allowed < yields; ++allowed) {
    int left = allowed;
    tree.onYield = [&] { return left-- > 0; };
    Press("W");
    EXPECT_EQ(list.Count(), walked.size()) << allowed;
    EXPECT_EQ(pointer.Get(), base::kPointerDefault);
  }
  tree.onYield = {};
  Press("W");  // every workbook again
  EXPECT_EQ(list.Count(), 2 * walked.size());
  pointer.Set(base::kPointerCustom);
  Press("");
  EXPECT_EQ(pointer.Get(), base::kPointerCustom);
  tree.onYield = []() -> bool { throw std::runtime_error("boom"); };
  EXPECT_THROW(Press("W"), std::runtime_error);
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
}

TEST_F(FolderWalk, SecondWalkFromTheMessagePumpKeepsItsOwnState) {
  bool pressedAgain = false;
  tree.onYield = [&] {
    if (pressedAgain) return true;
    pressedAgain = true;
    Press("W\\X");  // the user presses the button again while W is walked
    EXPECT_EQ(pointer.Get(), base::kPointerHourglass) << "the inner walk took the outer one's hourglass";
    list.RemoveSelected();  // something else changes the list in between; the walk only appends
    return true;
  };
  list.Add("keep");
  list.Add("removed");
  list.Select(2);
  Press("W");
  Texts expected = {"keep", "W\\X\\x.xls", "W\\X\\Deep2\\d2.xls", "W\\X\\Deep1\\d1.xls"};
  expected.insert(expected.end(), walked.begin(), walked.end());
  EXPECT_EQ(testing::Texts(list), expected);
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
}

// The walk over a real tree, links and all, is a command-line case
// (folder-walk); here what that case does not show.
TEST(StdDirectoryListing, ListsDotFilesRefusesWhatIsNoFolderAndJoinsWithSlashes) {
#ifdef _WIN32
  GTEST_SKIP() << "dot-files as hidden and \"/\" joins are the POSIX behaviour of this listing";
#endif
  const quorvane::tests::ScratchDir tree;
  tree.File(".dotted.xlsx");  // hidden, and still a workbook
  StdDirectoryListing listing;
  EXPECT_EQ(ListFiles(listing, tree.Path().string(), kWorkbookPattern), Texts{".dotted.xlsx"});
  for (const char* noFolder : {"missing", ".dotted.xlsx"})
    EXPECT_THROW(listing.Open((tree / noFolder).string()), std::exception) << noFolder;
  EXPECT_EQ(listing.Join("/", "a.xls"), "/a.xls");
}

}  // namespace
}  // namespace quorvane::filelist
