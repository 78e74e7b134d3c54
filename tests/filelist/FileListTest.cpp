// The list model, and filling the list from the open dialog.

#include <gtest/gtest.h>

#include "fakes/FakeFileList.h"
#include "fakes/FakeRunServices.h"
#include "filelist/AddFiles.h"
#include "filelist/FileList.h"

namespace quorvane::filelist {
namespace {

using Texts = std::vector<std::string>;
using namespace std::string_literals;

// Entries keep their order and duplicates; removing one closes the gap and
// moves the selection with its entry, and an entry's id follows it.
TEST(FileList, KeepsOrderAndDuplicatesAndClosesGaps) {
  FileList list;
  list.RemoveSelected();  // empty list
  for (const char* p : {"C:\\a.xls", "C:\\b.xls", "C:\\a.xls", "C:\\c.xls"}) list.Add(p);
  list.RemoveSelected();  // nothing selected: no change
  list.Select(4);
  const auto thirdId = list.IdAt(3);
  list.Remove(2);
  EXPECT_EQ(list.IndexOf(thirdId), 2u);
  EXPECT_EQ(list.SelectedIndex(), 3u);
  const auto selectedId = list.IdAt(3);
  list.RemoveSelected();
  EXPECT_EQ(testing::Texts(list), (Texts{"C:\\a.xls", "C:\\a.xls"}));
  EXPECT_FALSE(list.SelectedIndex());
  EXPECT_FALSE(list.IndexOf(selectedId));
  EXPECT_THROW(list.Text(3), std::out_of_range);
  EXPECT_THROW(list.Remove(0), std::out_of_range);
}

TEST(ParseOpenResult, ShapesOfTheDialogResult) {
  const std::pair<std::string, Texts> cases[] = {
      {"", {}},
      // A single choice is kept exactly, also with spaces, odd case or separators.
      {"C:\\My Data/odd\\x.XLS\0\0"s, {"C:\\My Data/odd\\x.XLS"}},
      {"C:\\Data\0a.xls\0b.xlsx"s, {"C:\\Data\\a.xls", "C:\\Data\\b.xlsx"}},
      {"C:\\\0a.xls\0b.xls"s, {"C:\\a.xls", "C:\\b.xls"}},
      {"\\\\srv\\share\\Dir\0a.xls\0b.xls"s, {"\\\\srv\\share\\Dir\\a.xls", "\\\\srv\\share\\Dir\\b.xls"}},
      // The dialog's buffer ends the list with a double NUL; what follows is not read.
      {"C:\\Data\0a.xls\0\0stale.xls\0"s, {"C:\\Data\\a.xls"}},
  };
  for (const auto& [result, paths] : cases) EXPECT_EQ(ParseOpenResult(result), paths) << result;
}

// Choices are appended after the entries; a selection too large for the
// dialog's buffer, or a failure, is told and adds nothing.
TEST(AddFromOpenDialog, AppendsWhatWasChosenAndTellsWhyNothingWas) {
  testing::FakeShell dialog;
  testing::FakeMessages boxes;
  FileList list;
  list.Add("C:\\existing.xls");
  dialog.result = "C:\\Data\0a.xls\0b.xlsx\0\0"s;
  AddFromOpenDialog(dialog, list, boxes);
  dialog.show = OpenFileDialog::ShowResult::TooLarge;  // with the same, partial result
  AddFromOpenDialog(dialog, list, boxes);
  dialog.fail = true;
  AddFromOpenDialog(dialog, list, boxes);
  EXPECT_EQ(testing::Texts(list), (Texts{"C:\\existing.xls", "C:\\Data\\a.xls", "C:\\Data\\b.xlsx"}));
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[0].text, kSelectionTooLarge);
  EXPECT_NE(boxes.shown[1].text.find("no dialog today"), std::string::npos);
}

}  // namespace
}  // namespace quorvane::filelist
