// The list model, the path-joining rule and drops onto the list.

#include <gtest/gtest.h>

#include "fakes/FakeFileList.h"
#include "filelist/Drop.h"
#include "filelist/FileList.h"

namespace quorvane::filelist {
namespace {

using Texts = std::vector<std::string>;

TEST(JoinPath, PutsExactlyOneBackslashBetween) {
  EXPECT_EQ(JoinPath("C:\\Data", "Book1.xls"), "C:\\Data\\Book1.xls");
  EXPECT_EQ(JoinPath("C:\\", "Book1.xls"), "C:\\Book1.xls");
  EXPECT_EQ(JoinPath("\\\\srv\\share\\Dir", "a.xls"), "\\\\srv\\share\\Dir\\a.xls");
  EXPECT_EQ(JoinPath("C:\\My Data", "Mixed Case.XLS"), "C:\\My Data\\Mixed Case.XLS");
}

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

TEST(FileList, DoubleClickRemovesOnlyTheSelectedEntry) {
  FileList list;
  list.DblClick();  // empty list
  for (const char* p : {"a", "b", "c"}) list.Add(p);
  list.DblClick();  // nothing selected: no change
  EXPECT_EQ(list.Count(), 3u);
  list.Select(3);
  list.Remove(1);
  EXPECT_EQ(list.SelectedIndex(), 2u);
  const auto id = list.IdAt(2);
  list.DblClick();
  EXPECT_EQ(testing::Texts(list), Texts{"b"});
  EXPECT_FALSE(list.SelectedIndex());
  EXPECT_FALSE(list.IndexOf(id));
  list.DblClick();
  EXPECT_EQ(list.Count(), 1u);
}

TEST(Drop, OnlyAFileListIsTakenAndEveryPathIsAppendedInOrder) {
  testing::FakeDrag text;
  text.formats = {1, 13};  // plain and Unicode text
  int effect = 1;          // copy, as the platform proposed
  ListView1_OLEDragOver(text, effect);
  EXPECT_EQ(effect, kDropEffectNone);

  testing::FakeDrag drag;
  drag.formats = {1, 15};
  for (int proposed : {1, 2, 5}) {
    effect = proposed;
    ListView1_OLEDragOver(drag, effect);
    EXPECT_EQ(effect, proposed);
  }

  FileList list;
  list.Add("C:\\Data\\a.xls");
  drag.files = {"C:\\Data\\b.xlsx", "C:\\Data\\a.xls", "C:\\Data\\Sub Folder", "\\\\srv\\share\\notes.TXT"};
  ListView1_OLEDragDrop(drag, list);
  EXPECT_EQ(testing::Texts(list), (Texts{"C:\\Data\\a.xls", "C:\\Data\\b.xlsx", "C:\\Data\\a.xls",
                                         "C:\\Data\\Sub Folder", "\\\\srv\\share\\notes.TXT"}));
}

}  // namespace
}  // namespace quorvane::filelist
