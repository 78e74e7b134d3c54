#include "filelist/AddFolder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/FakeFileList.h"

namespace quorvane::filelist {
namespace {

using testing::AFile;
using testing::AFolder;
using testing::FakeListing;
using testing::FakePump;
using testing::Hidden;
using testing::Link;
using testing::System;

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

class AddFolderButton : public ::testing::Test {
 protected:
  AddFolderButton() {
    check4.Click = [this] { Check4_Click(check4, picker, listing, pump, list, pointer); };
  }
  std::vector<std::string> Entries() const { return testing::Texts(list); }
  void Press(const std::string& folder) {
    picker.choice = folder;
    check4.UserClick();
  }

  app::CheckBox check4;
  testing::FakeFolderPicker picker;
  FakeListing listing;
  FakePump pump;
  FileList list;
  app::Property<int> pointer{app::kPointerCustom};
};

TEST_F(AddFolderButton, WalksLevelByLevelThenListsFolderByFolder) {
  listing.Add("W", "a.xls", AFile());
  listing.Add("W", "X", AFolder());
  listing.Add("W", "b.xls", AFile());
  listing.Add("W", "Y", AFolder());
  listing.Add("W\\X", "x.xls", AFile());
  listing.Add("W\\X", "Deep", AFolder());
  listing.Add("W\\X\\Deep", "d.xls", AFile());
  listing.Add("W\\Y", "y.xls", AFile());
  list.Add("first");

  Press("W");
  EXPECT_EQ(check4.Value(), 0);
  EXPECT_EQ(picker.prompts, std::vector<std::string>{"Please select folder to add:"});
  EXPECT_EQ(Entries(), (std::vector<std::string>{"first", "W\\a.xls", "W\\b.xls", "W\\X\\x.xls", "W\\Y\\y.xls",
                                                 "W\\X\\Deep\\d.xls"}));
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);

  // The same folder again lists every workbook again.
  Press("W");
  EXPECT_EQ(list.Count(), 11u);
}

TEST(AddSubFolders, GroupsEachLevelByParent) {
  FakeListing listing;
  FakePump pump;
  listing.Add("R", "A", AFolder());
  listing.Add("R", "B", AFolder());
  listing.Add("R\\A", "A2", AFolder());
  listing.Add("R\\A", "A1", AFolder());
  listing.Add("R\\B", "B1", AFolder());
  listing.Add("R\\A\\A2", "Z", AFolder());

  std::vector<std::string> one{"R"};
  ASSERT_TRUE(AddSubFolders(listing, pump, one, false));
  EXPECT_EQ(one, (std::vector<std::string>{"R", "R\\A", "R\\B"}));

  std::vector<std::string> all{"R"};
  ASSERT_TRUE(AddSubFolders(listing, pump, all, true));
  EXPECT_EQ(all, (std::vector<std::string>{"R", "R\\A", "R\\B", "R\\A\\A2", "R\\A\\A1", "R\\B\\B1",
                                           "R\\A\\A2\\Z"}));
}

TEST_F(AddFolderButton, NamesAndAttributesDecideWhatIsAddedAndEntered) {
  listing.Add("C:\\", ".", AFolder());
  listing.Add("C:\\", "..", AFolder());
  listing.Add("C:\\", "Book1.xls", AFile());
  listing.Add("C:\\", "Notes.txt", AFile());
  listing.Add("C:\\", "~$Book1.xls", AFile());
  listing.Add("C:\\", "Book1.csv", AFile());
  listing.Add("C:\\", "Book1.xml", AFile());
  listing.Add("C:\\", "BOOK2.XLSX", AFile());
  listing.Add("C:\\", "h.xlsm", Hidden(AFile()));
  listing.Add("C:\\", "s.xlsb", System(AFile()));
  listing.Add("C:\\", "unknown.xls", std::nullopt);  // attributes could not be read
  listing.Add("C:\\", "Old.xls", AFolder());          // walked, not added
  listing.Add("C:\\", "HiddenDir", Hidden(AFolder()));
  listing.Add("C:\\", "SystemDir", System(AFolder()));
  listing.Add("C:\\", "Mystery", std::nullopt);
  listing.Add("C:\\Old.xls", "in.xls", AFile());
  listing.Add("C:\\HiddenDir", "no1.xls", AFile());
  listing.Add("C:\\SystemDir", "no2.xls", AFile());
  listing.Add("C:\\Mystery", "no3.xls", AFile());

  Press("C:\\");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"C:\\Book1.xls", "C:\\BOOK2.XLSX", "C:\\h.xlsm", "C:\\s.xlsb",
                                                 "C:\\Old.xls\\in.xls"}));
}

TEST_F(AddFolderButton, UnreadableFoldersAndLinksArePassedOver) {
  listing.Add("W", "Locked", AFolder());
  listing.Add("W", "Flaky", AFolder());
  listing.Add("W", "Loop", Link(AFolder()));  // leads back to W
  listing.Add("W", "Ok", AFolder());
  listing.Add("W", "link.xls", Link(AFile()));  // a linked workbook is still a workbook
  listing.Add("W\\Locked", "l.xls", AFile());
  listing.Add("W\\Flaky", "f1.xls", AFile());
  listing.Add("W\\Flaky", "Sub", AFolder());
  listing.Add("W\\Flaky", "f2.xls", AFile());
  listing.Add("W\\Flaky\\Sub", "s.xls", AFile());
  listing.Add("W\\Ok", "o.xls", AFile());
  listing.unlistable.insert("W\\Locked");
  listing.breakAfter["W\\Flaky"] = 2;  // breaks off after f1.xls and Sub

  Press("W");
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{"W\\link.xls", "W\\Flaky\\f1.xls", "W\\Ok\\o.xls", "W\\Flaky\\Sub\\s.xls"}));
  for (const auto& folder : listing.opened) EXPECT_EQ(folder.find("Loop"), std::string::npos) << folder;
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);
}

TEST_F(AddFolderButton, HourglassWhileWorkingAndYieldPoints) {
  listing.Add("W", "a.xls", AFile());
  listing.Add("W", "X", AFolder());
  std::vector<int> seen;
  pump.onYield = [&] {
    seen.push_back(pointer.Get());
    return true;
  };

  Press("W");
  // Listing W: once after opening and once per entry; once before taking X
  // into the sequence; listing X: once after opening. Files are listed
  // without yielding.
  EXPECT_EQ(seen, std::vector<int>(5, app::kPointerHourglass));
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);

  // A cancelled picker changes nothing, not even the pointer.
  pointer.Set(app::kPointerCustom);
  Press("");
  EXPECT_EQ(pointer.Get(), app::kPointerCustom);
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_EQ(pump.yields, 5);
}

TEST_F(AddFolderButton, EndingTheProgramAbandonsTheWalk) {
  listing.Add("W", "a.xls", AFile());
  listing.Add("W", "X", AFolder());
  listing.Add("W\\X", "x.xls", AFile());
  for (int allowed = 0; allowed < 5; ++allowed) {
    int left = allowed;
    pump.onYield = [&] { return left-- > 0; };
    Press("W");
    EXPECT_EQ(list.Count(), 0u) << allowed;
    EXPECT_EQ(pointer.Get(), app::kPointerDefault);
  }

  // A failure escaping the walk still takes the hourglass away.
  pump.onYield = []() -> bool { throw std::runtime_error("boom"); };
  picker.choice = "W";
  EXPECT_THROW(check4.UserClick(), std::runtime_error);
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);
}

TEST_F(AddFolderButton, SecondWalkFromTheMessagePumpKeepsItsOwnState) {
  listing.Add("W", "a.xls", AFile());
  listing.Add("W", "X", AFolder());
  listing.Add("W", "b.xls", AFile());
  listing.Add("W\\X", "x.xls", AFile());
  listing.Add("V", "v.xls", AFile());
  listing.Add("V", "Sub", AFolder());
  listing.Add("V\\Sub", "s.xls", AFile());

  int inner = 0;
  std::vector<int> outerPointers;
  pump.onYield = [&] {
    if (inner == 0) {
      inner = 1;
      Press("V");  // the user presses the button again while W is walked
      inner = 2;
      // Something else changes the list in between; the walk only appends.
      list.DblClick();
    } else if (inner == 2) {
      outerPointers.push_back(pointer.Get());
    }
    return true;
  };
  list.Add("keep");
  list.Add("removed");
  list.Select(2);

  Press("W");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"keep", "V\\v.xls", "V\\Sub\\s.xls", "W\\a.xls", "W\\b.xls",
                                                 "W\\X\\x.xls"}));
  // The inner walk ended while the outer still worked: the hourglass stayed.
  ASSERT_FALSE(outerPointers.empty());
  for (int p : outerPointers) EXPECT_EQ(p, app::kPointerHourglass);
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);
}

}  // namespace
}  // namespace quorvane::filelist
