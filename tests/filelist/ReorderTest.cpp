#include "filelist/Reorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/FakeFileList.h"

namespace quorvane::filelist {
namespace {

int Row(std::size_t index) { return testing::FakeListView::Row(index); }
constexpr int kBlank = testing::FakeListView::kBlank;

class Reorder : public ::testing::Test {
 protected:
  explicit Reorder(std::vector<std::string> texts = {"A", "B", "C", "D"}) {
    for (auto& t : texts) list.Add(t);
    view.Attach(list);
  }
  std::vector<std::string> Texts() const { return testing::Texts(list); }
  // The user presses on an entry: the list selects it, then reports the press and the click.
  void PressOn(std::size_t index) {
    list.Select(index);
    drag.Press();
    drag.ItemClicked();
  }
  void MoveTo(std::size_t index) { drag.Move(3, Row(index)); }

  FileList list;
  testing::FakeListView view;
  testing::FakeCursor cursor;
  base::Property<int> listPointer{base::kPointerDefault};
  ListReorder drag{list, view, cursor, listPointer, "C:\\Program Files\\Quorvane"};
};

TEST_F(Reorder, SlowDragShiftsEveryEntryPassed) {
  PressOn(1);
  EXPECT_EQ(listPointer.Get(), base::kPointerCustom);
  EXPECT_EQ(view.iconLoads, std::vector<std::string>{"C:\\Program Files\\Quorvane\\drag.ico"});
  for (std::size_t i : {2, 3, 4}) MoveTo(i);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"B", "C", "D", "A"}));
  EXPECT_EQ(list.SelectedIndex(), 4u);
  EXPECT_EQ(drag.DragItem(), 4u);
  EXPECT_FALSE(drag.HoverItem());
  EXPECT_TRUE(view.ensured.empty());
}

TEST_F(Reorder, JumpExchangesOnlyTheTwoEntries) {
  PressOn(1);
  MoveTo(4);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"D", "B", "C", "A"}));
  // Moving over the dragged entry itself or blank space changes nothing.
  MoveTo(4);
  drag.Move(3, kBlank);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"D", "B", "C", "A"}));
  EXPECT_EQ(drag.DragItem(), 4u);
}

class ReorderSameTexts : public Reorder {
 protected:
  ReorderSameTexts() : Reorder({"C:\\a.xls", "C:\\a.xls", "C:\\A.xls", "C:\\b.xls"}) {}
};

TEST_F(ReorderSameTexts, EqualTextsAreSkippedAndCaseCounts) {
  PressOn(1);
  MoveTo(2);  // the same path listed twice: the dragged entry stays
  EXPECT_EQ(Texts(), (std::vector<std::string>{"C:\\a.xls", "C:\\a.xls", "C:\\A.xls", "C:\\b.xls"}));
  EXPECT_EQ(drag.DragItem(), 1u);
  MoveTo(3);  // differs only in case: exchanged with the first
  EXPECT_EQ(Texts(), (std::vector<std::string>{"C:\\A.xls", "C:\\a.xls", "C:\\a.xls", "C:\\b.xls"}));
  EXPECT_EQ(drag.DragItem(), 3u);
}

TEST_F(Reorder, NothingMovesWithoutAClickedEntryOrWithoutTheButton) {
  drag.Press();  // press on blank space: no entry click yet
  MoveTo(2);
  MoveTo(4);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"A", "B", "C", "D"}));

  PressOn(1);
  drag.Release();
  MoveTo(3);  // button up
  EXPECT_EQ(Texts(), (std::vector<std::string>{"A", "B", "C", "D"}));

  // An entry click with nothing selected leaves nothing to drag.
  list.ClearSelection();
  drag.Press();
  drag.ItemClicked();
  MoveTo(3);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"A", "B", "C", "D"}));
}

TEST_F(Reorder, ScrollsOnlyRightAfterAnExchangeNearTheScreenEdges) {
  struct Case {
    std::size_t from, to;
    int screenY;
    std::vector<std::size_t> ensured;
  };
  const Case cases[] = {
      {2, 1, 304, {}},   // first entry: nothing above
      {1, 2, 304, {1}},  // second entry: the first comes into view
      {1, 2, 305, {}},
      {1, 2, 364, {}},
      {3, 4, 365, {}},   // last entry: nothing below
      {1, 2, 365, {3}},
      {4, 3, 365, {4}},
  };
  for (const auto& c : cases) {
    view.ensured.clear();
    cursor.y = c.screenY;
    PressOn(c.from);
    MoveTo(c.to);
    EXPECT_EQ(view.ensured, c.ensured) << c.from << "->" << c.to << " at " << c.screenY;
    MoveTo(c.to);  // no exchange, no scrolling
    EXPECT_EQ(view.ensured, c.ensured);
    drag.Release();
  }

  // An unknown pointer position only skips the scrolling.
  cursor.y.reset();
  view.ensured.clear();
  PressOn(1);
  MoveTo(2);
  EXPECT_TRUE(view.ensured.empty());
}

TEST_F(Reorder, ReleaseShowsTheArrowOnTheList) {
  PressOn(1);
  MoveTo(2);
  drag.Release();
  EXPECT_FALSE(drag.MouseIsDown());
  EXPECT_EQ(listPointer.Get(), base::kPointerArrow);
}

TEST_F(Reorder, AMissingIconDoesNotStopTheDrag) {
  view.iconReadable = false;
  PressOn(1);
  view.iconThrows = true;
  PressOn(1);
  EXPECT_EQ(listPointer.Get(), base::kPointerCustom);
  MoveTo(2);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"B", "A", "C", "D"}));

  // A program in a drive root gets one backslash.
  ListReorder rooted{list, view, cursor, listPointer, "D:\\"};
  view.iconThrows = false;
  rooted.ItemClicked();
  EXPECT_EQ(view.iconLoads.back(), "D:\\drag.ico");
}

TEST_F(Reorder, ReleaseKeepsTheDraggedEntryUntilItIsRemoved) {
  PressOn(2);
  MoveTo(3);  // A, C, B, D with B dragged
  drag.Release();

  // A later press on blank space goes on moving the same entry.
  drag.Press();
  MoveTo(4);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"A", "C", "D", "B"}));
  drag.Release();

  // Once that entry is removed there is nothing left to drag.
  list.Select(4);
  list.RemoveSelected();
  EXPECT_FALSE(drag.DragItem());
  drag.Press();
  MoveTo(1);
  MoveTo(3);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"A", "C", "D"}));
}

}  // namespace
}  // namespace quorvane::filelist
