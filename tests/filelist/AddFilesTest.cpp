#include "filelist/AddFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/FakeFileList.h"
#include "fakes/FakeServices.h"

namespace quorvane::filelist {
namespace {

using namespace std::string_literals;

TEST(ParseOpenResult, ShapesOfTheDialogResult) {
  struct Case {
    std::string result;
    std::vector<std::string> paths;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"C:\\Data\\Book1.xls", {"C:\\Data\\Book1.xls"}},
      // A single choice is kept exactly, also with spaces, odd case or separators.
      {"C:\\My Data\\ReportQ3.XLSX", {"C:\\My Data\\ReportQ3.XLSX"}},
      {"C:\\Data/odd\\x.xls\0\0"s, {"C:\\Data/odd\\x.xls"}},
      {"C:\\Data\0a.xls\0b.xlsx"s, {"C:\\Data\\a.xls", "C:\\Data\\b.xlsx"}},
      {"C:\\\0a.xls\0b.xls"s, {"C:\\a.xls", "C:\\b.xls"}},
      {"\\\\srv\\share\\Dir\0a.xls\0b.xls"s, {"\\\\srv\\share\\Dir\\a.xls", "\\\\srv\\share\\Dir\\b.xls"}},
      // The dialog's buffer ends the list with a double NUL; what follows is not read.
      {"C:\\Data\0a.xls\0b.xls\0\0"s, {"C:\\Data\\a.xls", "C:\\Data\\b.xls"}},
      {"C:\\Data\0a.xls\0\0stale.xls\0"s, {"C:\\Data\\a.xls"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseOpenResult(c.result), c.paths) << c.result;
}

class AddFilesButton : public ::testing::Test {
 protected:
  AddFilesButton() {
    list.Add("C:\\existing.xls");
    check1.Click = [this] { Check1_Click(check1, dialog, list, boxes); };
  }

  app::CheckBox check1;
  testing::FakeOpenDialog dialog;
  FileList list;
  testing::FakeMessages boxes;
};

TEST_F(AddFilesButton, PressSpringsBackShowsTheDialogOnceAndAppends) {
  dialog.result = "C:\\Data\0a.xls\0b.xlsx\0\0"s;
  check1.UserClick();

  EXPECT_EQ(check1.Value(), 0);
  // Settings in their order, then exactly one showing although Click ran twice.
  const std::vector<std::string> expected = {
      "FileName=", "Flags=2621953", "DialogTitle=Add File(s) - Hold Ctrl to select multiple files",
      "Filter=Excel Files (*.xl*)|*.xl*|", "ShowOpen"};
  EXPECT_EQ(dialog.calls, expected);
  EXPECT_EQ(testing::Texts(list), (std::vector<std::string>{"C:\\existing.xls", "C:\\Data\\a.xls", "C:\\Data\\b.xlsx"}));

  // Choosing the same files again lists them again; cancelling adds nothing.
  check1.UserClick();
  dialog.result = "";
  check1.UserClick();
  EXPECT_EQ(list.Count(), 5u);
  EXPECT_EQ(check1.Value(), 0);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(AddFilesButton, FailuresAreToldAndAppendNothing) {
  // A selection too large for the result buffer: the user hears why.
  dialog.show = OpenFileDialog::ShowResult::TooLarge;
  dialog.result = "C:\\Data\0partial.xls"s;
  check1.UserClick();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, kSelectionTooLarge);

  dialog.show = OpenFileDialog::ShowResult::Closed;
  dialog.fail = true;
  check1.UserClick();
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_NE(boxes.shown[1].text.find("no dialog today"), std::string::npos);

  EXPECT_EQ(check1.Value(), 0);
  EXPECT_EQ(testing::Texts(list), std::vector<std::string>{"C:\\existing.xls"});
}

}  // namespace
}  // namespace quorvane::filelist
