// The list model, and filling the list from the open dialog and from drops.

#include <gtest/gtest.h>

#include "fakes/FakeFileList.h"
#include "fakes/FakeMessages.h"
#include "filelist/AddFiles.h"
#include "filelist/Drop.h"
#include "filelist/FileList.h"

namespace quorvane::filelist {
namespace {

using Texts = std::vector<std::string>;
using namespace std::string_literals;

struct Recorder : FileListObserver {
  std::vector<std::string> events;
  void OnAppended(std::size_t i) override { events.push_back("add " + std::to_string(i)); }
  void OnRemoved(std::size_t i) override { events.push_back("remove " + std::to_string(i)); }
  void OnTextChanged(std::size_t i) override { events.push_back("text " + std::to_string(i)); }
  void OnSelectionChanged(std::optional<std::size_t> i) override {
    events.push_back("select " + (i ? std::to_string(*i) : std::string("none")));
  }
};

TEST(FileList, KeepsOrderDuplicatesAndClosesGaps) {
  FileList list;
  Recorder view;
  list.SetObserver(&view);
  list.Add("C:\\a.xls");
  list.Add("C:\\b.xls");
  list.Add("C:\\a.xls");
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list.Text(3), "C:\\a.xls");

  const auto thirdId = list.IdAt(3);
  list.Remove(2);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Text(2), "C:\\a.xls");
  EXPECT_EQ(list.IndexOf(thirdId), 2u);
  EXPECT_THROW(list.Text(3), std::out_of_range);
  EXPECT_THROW(list.Remove(0), std::out_of_range);
  EXPECT_EQ(view.events, (Texts{"add 1", "add 2", "add 3", "remove 2"}));
}

TEST(FileList, RemoveSelectedRemovesOnlyTheSelectedEntry) {
  FileList list;
  list.RemoveSelected();  // empty list
  for (const char* p : {"a", "b", "c"}) list.Add(p);
  list.RemoveSelected();  // nothing selected: no change
  EXPECT_EQ(list.Count(), 3u);
  list.Select(3);
  list.Remove(1);
  EXPECT_EQ(list.SelectedIndex(), 2u);
  const auto id = list.IdAt(2);
  list.RemoveSelected();
  EXPECT_EQ(testing::Texts(list), Texts{"b"});
  EXPECT_FALSE(list.SelectedIndex());
  EXPECT_FALSE(list.IndexOf(id));
  list.RemoveSelected();
  EXPECT_EQ(list.Count(), 1u);
}

TEST(Drop, OnlyAFileListIsTakenAndEveryPathIsAppendedInOrder) {
  testing::FakeDrag text;
  text.formats = {1, 13};  // plain and Unicode text
  int effect = 1;          // copy, as the platform proposed
  RefuseDragWithoutFiles(text, effect);
  EXPECT_EQ(effect, kDropEffectNone);

  testing::FakeDrag drag;
  drag.formats = {1, 15};
  for (int proposed : {1, 2, 5}) {
    effect = proposed;
    RefuseDragWithoutFiles(drag, effect);
    EXPECT_EQ(effect, proposed);
  }

  FileList list;
  list.Add("C:\\Data\\a.xls");
  drag.files = {"C:\\Data\\b.xlsx", "C:\\Data\\a.xls", "C:\\Data\\Sub Folder", "\\\\srv\\share\\notes.TXT"};
  AppendDroppedFiles(drag, list);
  EXPECT_EQ(testing::Texts(list), (Texts{"C:\\Data\\a.xls", "C:\\Data\\b.xlsx", "C:\\Data\\a.xls",
                                         "C:\\Data\\Sub Folder", "\\\\srv\\share\\notes.TXT"}));
}

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

class AddFiles : public ::testing::Test {
 protected:
  AddFiles() { list.Add("C:\\existing.xls"); }
  void Add() { AddFromOpenDialog(dialog, list, boxes); }

  testing::FakeOpenDialog dialog;
  FileList list;
  testing::FakeMessages boxes;
};

TEST_F(AddFiles, ShowsTheDialogOnceWithItsSettingsAndAppends) {
  dialog.result = "C:\\Data\0a.xls\0b.xlsx\0\0"s;
  Add();

  // Settings in their order, then exactly one showing.
  const std::vector<std::string> expected = {
      "FileName=", "Flags=2621957", "DialogTitle=Add File(s) - Hold Ctrl to select multiple files",
      "Filter=Excel Files (*.xl*)|*.xl*|", "ShowOpen"};
  EXPECT_EQ(dialog.calls, expected);
  EXPECT_EQ(testing::Texts(list), (std::vector<std::string>{"C:\\existing.xls", "C:\\Data\\a.xls", "C:\\Data\\b.xlsx"}));

  // Choosing the same files again lists them again; cancelling adds nothing.
  Add();
  dialog.result = "";
  Add();
  EXPECT_EQ(list.Count(), 5u);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(AddFiles, FailuresAreToldAndAppendNothing) {
  // A selection too large for the result buffer: the user hears why.
  dialog.show = OpenFileDialog::ShowResult::TooLarge;
  dialog.result = "C:\\Data\0partial.xls"s;
  Add();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, kSelectionTooLarge);

  dialog.show = OpenFileDialog::ShowResult::Closed;
  dialog.fail = true;
  Add();
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_NE(boxes.shown[1].text.find("no dialog today"), std::string::npos);

  EXPECT_EQ(testing::Texts(list), std::vector<std::string>{"C:\\existing.xls"});
}

}  // namespace
}  // namespace quorvane::filelist
