#include "filelist/AddFolder.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvane::filelist {
namespace {

FileAttributes File() { return {}; }
FileAttributes Folder() { return {.directory = true}; }
FileAttributes Hidden(FileAttributes a) { a.hidden = true; return a; }
FileAttributes System(FileAttributes a) { a.system = true; return a; }
FileAttributes Link(FileAttributes a) { a.link = true; return a; }

// An in-memory tree with Windows paths. Folders are listed in the order
// their entries were added.
class FakeListing final : public DirectoryListing {
 public:
  std::map<std::string, std::vector<DirectoryEntry>> folders;
  std::set<std::string> unlistable;
  std::map<std::string, std::size_t> breakAfter;  // the listing fails after this many entries
  std::vector<std::string> opened;

  void Add(const std::string& folder, const std::string& name, std::optional<FileAttributes> a) {
    folders[folder].push_back({name, a});
  }

  std::unique_ptr<DirectoryScan> Open(const std::string& folder) override {
    opened.push_back(folder);
    if (unlistable.count(folder)) throw std::runtime_error("access denied");
    auto it = breakAfter.find(folder);
    return std::make_unique<Scan>(folders[folder], it == breakAfter.end() ? SIZE_MAX : it->second);
  }

 private:
  class Scan final : public DirectoryScan {
   public:
    Scan(std::vector<DirectoryEntry> entries, std::size_t breakAfter)
        : entries_(std::move(entries)), breakAfter_(breakAfter) {}
    std::optional<DirectoryEntry> Next() override {
      if (next_ == breakAfter_) throw std::runtime_error("device gone");
      if (next_ == entries_.size()) return std::nullopt;
      return entries_[next_++];
    }

   private:
    std::vector<DirectoryEntry> entries_;  // a copy: the tree may change while a scan runs
    std::size_t breakAfter_;
    std::size_t next_ = 0;
  };
};

class FakePump final : public MessagePump {
 public:
  std::function<bool()> onYield;
  int yields = 0;
  bool Yield() override {
    ++yields;
    return onYield ? onYield() : true;
  }
};

class FakePicker final : public FolderPicker {
 public:
  std::string choice;
  std::vector<std::string> prompts;
  std::string BrowseForFolder(const std::string& prompt) override {
    prompts.push_back(prompt);
    return choice;
  }
};

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
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (std::size_t i = 1; i <= list.Count(); ++i) out.push_back(list.Text(i));
    return out;
  }
  void Press(const std::string& folder) {
    picker.choice = folder;
    check4.UserClick();
  }

  app::CheckBox check4;
  FakePicker picker;
  FakeListing listing;
  FakePump pump;
  FileList list;
  app::Property<int> pointer{app::kPointerCustom};
};

TEST_F(AddFolderButton, WalksLevelByLevelThenListsFolderByFolder) {
  listing.Add("W", "a.xls", File());
  listing.Add("W", "X", Folder());
  listing.Add("W", "b.xls", File());
  listing.Add("W", "Y", Folder());
  listing.Add("W\\X", "x.xls", File());
  listing.Add("W\\X", "Deep", Folder());
  listing.Add("W\\X\\Deep", "d.xls", File());
  listing.Add("W\\Y", "y.xls", File());
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
  listing.Add("R", "A", Folder());
  listing.Add("R", "B", Folder());
  listing.Add("R\\A", "A2", Folder());
  listing.Add("R\\A", "A1", Folder());
  listing.Add("R\\B", "B1", Folder());
  listing.Add("R\\A\\A2", "Z", Folder());

  std::vector<std::string> one{"R"};
  ASSERT_TRUE(AddSubFolders(listing, pump, one, false));
  EXPECT_EQ(one, (std::vector<std::string>{"R", "R\\A", "R\\B"}));

  std::vector<std::string> all{"R"};
  ASSERT_TRUE(AddSubFolders(listing, pump, all, true));
  EXPECT_EQ(all, (std::vector<std::string>{"R", "R\\A", "R\\B", "R\\A\\A2", "R\\A\\A1", "R\\B\\B1",
                                           "R\\A\\A2\\Z"}));
}

TEST_F(AddFolderButton, NamesAndAttributesDecideWhatIsAddedAndEntered) {
  listing.Add("C:\\", ".", Folder());
  listing.Add("C:\\", "..", Folder());
  listing.Add("C:\\", "Book1.xls", File());
  listing.Add("C:\\", "Notes.txt", File());
  listing.Add("C:\\", "~$Book1.xls", File());
  listing.Add("C:\\", "Book1.csv", File());
  listing.Add("C:\\", "Book1.xml", File());
  listing.Add("C:\\", "BOOK2.XLSX", File());
  listing.Add("C:\\", "h.xlsm", Hidden(File()));
  listing.Add("C:\\", "s.xlsb", System(File()));
  listing.Add("C:\\", "unknown.xls", std::nullopt);  // attributes could not be read
  listing.Add("C:\\", "Old.xls", Folder());          // walked, not added
  listing.Add("C:\\", "HiddenDir", Hidden(Folder()));
  listing.Add("C:\\", "SystemDir", System(Folder()));
  listing.Add("C:\\", "Mystery", std::nullopt);
  listing.Add("C:\\Old.xls", "in.xls", File());
  listing.Add("C:\\HiddenDir", "no1.xls", File());
  listing.Add("C:\\SystemDir", "no2.xls", File());
  listing.Add("C:\\Mystery", "no3.xls", File());

  Press("C:\\");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"C:\\Book1.xls", "C:\\BOOK2.XLSX", "C:\\h.xlsm", "C:\\s.xlsb",
                                                 "C:\\Old.xls\\in.xls"}));
}

TEST_F(AddFolderButton, UnreadableFoldersAndLinksArePassedOver) {
  listing.Add("W", "Locked", Folder());
  listing.Add("W", "Flaky", Folder());
  listing.Add("W", "Loop", Link(Folder()));  // leads back to W
  listing.Add("W", "Ok", Folder());
  listing.Add("W", "link.xls", Link(File()));  // a linked workbook is still a workbook
  listing.Add("W\\Locked", "l.xls", File());
  listing.Add("W\\Flaky", "f1.xls", File());
  listing.Add("W\\Flaky", "Sub", Folder());
  listing.Add("W\\Flaky", "f2.xls", File());
  listing.Add("W\\Flaky\\Sub", "s.xls", File());
  listing.Add("W\\Ok", "o.xls", File());
  listing.unlistable.insert("W\\Locked");
  listing.breakAfter["W\\Flaky"] = 2;  // breaks off after f1.xls and Sub

  Press("W");
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{"W\\link.xls", "W\\Flaky\\f1.xls", "W\\Ok\\o.xls", "W\\Flaky\\Sub\\s.xls"}));
  for (const auto& folder : listing.opened) EXPECT_EQ(folder.find("Loop"), std::string::npos) << folder;
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);
}

TEST_F(AddFolderButton, HourglassWhileWorkingAndYieldPoints) {
  listing.Add("W", "a.xls", File());
  listing.Add("W", "X", Folder());
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
  listing.Add("W", "a.xls", File());
  listing.Add("W", "X", Folder());
  listing.Add("W\\X", "x.xls", File());
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
  listing.Add("W", "a.xls", File());
  listing.Add("W", "X", Folder());
  listing.Add("W", "b.xls", File());
  listing.Add("W\\X", "x.xls", File());
  listing.Add("V", "v.xls", File());
  listing.Add("V", "Sub", Folder());
  listing.Add("V\\Sub", "s.xls", File());

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
