#include "filelist/AddFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/FakeFileList.h"

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

class RecordingBoxes final : public app::MessageBoxes {
 public:
  std::vector<std::string> texts;
  app::MessageAnswer Show(const std::string& text, app::MessageButtons) override {
    texts.push_back(text);
    return app::MessageAnswer::Ok;
  }
};

class AddFilesButton : public ::testing::Test {
 protected:
  AddFilesButton() {
    list.Add("C:\\existing.xls");
    check1.Click = [this] { Check1_Click(check1, dialog, list, boxes); };
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (std::size_t i = 1; i <= list.Count(); ++i) out.push_back(list.Text(i));
    return out;
  }

  app::CheckBox check1;
  testing::FakeOpenDialog dialog;
  FileList list;
  RecordingBoxes boxes;
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
  EXPECT_EQ(Entries(), (std::vector<std::string>{"C:\\existing.xls", "C:\\Data\\a.xls", "C:\\Data\\b.xlsx"}));
  EXPECT_TRUE(boxes.texts.empty());

  // Choosing the same files again lists them again.
  check1.UserClick();
  EXPECT_EQ(list.Count(), 5u);
}

TEST_F(AddFilesButton, CancelLeavesTheListAlone) {
  dialog.result = "";
  check1.UserClick();
  EXPECT_EQ(check1.Value(), 0);
  EXPECT_EQ(Entries(), std::vector<std::string>{"C:\\existing.xls"});
  EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(AddFilesButton, FailuresAreToldAndAppendNothing) {
  // A selection too large for the result buffer: the user hears why.
  dialog.show = OpenFileDialog::ShowResult::TooLarge;
  dialog.result = "C:\\Data\0partial.xls"s;
  check1.UserClick();
  ASSERT_EQ(boxes.texts.size(), 1u);
  EXPECT_EQ(boxes.texts[0], kSelectionTooLarge);

  dialog.show = OpenFileDialog::ShowResult::Closed;
  dialog.fail = true;
  check1.UserClick();
  ASSERT_EQ(boxes.texts.size(), 2u);
  EXPECT_NE(boxes.texts[1].find("no dialog today"), std::string::npos);

  EXPECT_EQ(check1.Value(), 0);
  EXPECT_EQ(Entries(), std::vector<std::string>{"C:\\existing.xls"});
}

}  // namespace
}  // namespace quorvane::filelist
