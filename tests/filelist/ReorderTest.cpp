#include "filelist/Reorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/FakeFileList.h"

namespace quorvane::filelist {
namespace {

using Texts = std::vector<std::string>;

class Reorder : public ::testing::Test {
 protected:
  Reorder() {
    for (const char* t : {"A", "B", "C", "D"}) list.Add(t);
    view.list = &list;
  }
  // The user presses on an entry: the list selects it, then reports the press and the click.
  void PressOn(std::size_t index) {
    list.Select(index);
    drag.Press();
    drag.ItemClicked();
  }
  void MoveTo(std::size_t index) { drag.Move(3, testing::FakeListView::Row(index)); }
  Texts Entries() const { return testing::Texts(list); }

  FileList list;
  testing::FakeListView view;
  testing::FakeCursor cursor;
  base::Property<int> listPointer{base::kPointerDefault};
  ListReorder drag{list, view, cursor, listPointer, "C:\\Program Files\\Quorvane"};
};

// Each entry passed is exchanged with the dragged one: a slow drag shifts
// them all, a jump exchanges only the two. Equal texts are passed over;
// case counts.
TEST_F(Reorder, TheDraggedEntryIsExchangedWithEachEntryItPasses) {
  const struct {
    Texts before;
    std::vector<std::size_t> moves;
    Texts after;
    std::size_t dragged;
  } cases[] = {
      {{"A", "B", "C", "D"}, {2, 3, 4}, {"B", "C", "D", "A"}, 4},
      {{"A", "B", "C", "D"}, {4, 4, 99}, {"D", "B", "C", "A"}, 4},  // itself and blank space change nothing
      {{"a", "a", "A", "b"}, {2}, {"a", "a", "A", "b"}, 1},
      {{"a", "a", "A", "b"}, {2, 3}, {"A", "a", "a", "b"}, 3},
  };
  for (const auto& c : cases) {
    for (std::size_t i = 1; i <= 4; ++i) list.SetText(i, c.before[i - 1]);
    PressOn(1);
    for (std::size_t to : c.moves) MoveTo(to);
    EXPECT_EQ(Entries(), c.after);
    EXPECT_EQ(list.SelectedIndex(), c.dragged);
    EXPECT_EQ(drag.DragItem(), c.dragged);
    drag.Release();
  }
  EXPECT_FALSE(drag.HoverItem());
}

TEST_F(Reorder, NothingMovesWithoutAClickedEntryOrWithoutTheButton) {
  drag.Press();  // press on blank space: no entry click yet
  MoveTo(2);
  PressOn(1);
  drag.Release();
  MoveTo(3);
  // An entry click with nothing selected leaves nothing to drag.
  list.ClearSelection();
  drag.Press();
  drag.ItemClicked();
  MoveTo(3);
  EXPECT_EQ(Entries(), (Texts{"A", "B", "C", "D"}));
}

TEST_F(Reorder, ScrollsOnlyRightAfterAnExchangeNearTheScreenEdges) {
  const struct {
    std::size_t from, to;
    std::optional<int> screenY;
    std::vector<std::size_t> ensured;
  } cases[] = {
      {2, 1, 304, {}},   // first entry: nothing above
      {1, 2, 304, {1}},  // second entry: the first comes into view
      {1, 2, 305, {}},          {1, 2, 364, {}},
      {3, 4, 365, {}},   // last entry: nothing below
      {1, 2, 365, {3}},         {4, 3, 365, {4}},
      {1, 2, std::nullopt, {}},  // where the pointer is is unknown
  };
  for (const auto& c : cases) {
    view.ensured.clear();
    cursor.y = c.screenY;
    PressOn(c.from);
    MoveTo(c.to);
    MoveTo(c.to);  // no exchange, no scrolling
    EXPECT_EQ(view.ensured, c.ensured) << c.from << "->" << c.to << " at " << c.screenY.value_or(-1);
    drag.Release();
  }
}

// The list shows the drag image while an entry is held and the arrow after;
// a missing image does not stop the drag.
TEST_F(Reorder, ThePointerOfTheList) {
  view.iconThrows = true;
  PressOn(1);
  EXPECT_EQ(listPointer.Get(), base::kPointerCustom);
  EXPECT_EQ(view.icon, "C:\\Program Files\\Quorvane\\drag.ico");
  MoveTo(2);
  EXPECT_EQ(Entries(), (Texts{"B", "A", "C", "D"}));
  drag.Release();
  EXPECT_FALSE(drag.MouseIsDown());
  EXPECT_EQ(listPointer.Get(), base::kPointerArrow);

  ListReorder rooted{list, view, cursor, listPointer, "D:\\"};
  rooted.ItemClicked();
  EXPECT_EQ(view.icon, "D:\\drag.ico");
}

TEST_F(Reorder, ReleaseKeepsTheDraggedEntryUntilItIsRemoved) {
  PressOn(2);
  MoveTo(3);  // A, C, B, D with B dragged
  drag.Release();
  drag.Press();  // a later press on blank space goes on moving the same entry
  MoveTo(4);
  EXPECT_EQ(Entries(), (Texts{"A", "C", "D", "B"}));
  drag.Release();

  list.Select(4);
  list.RemoveSelected();
  EXPECT_FALSE(drag.DragItem());
  drag.Press();
  MoveTo(1);
  MoveTo(3);
  EXPECT_EQ(Entries(), (Texts{"A", "C", "D"}));
}

}  // namespace
}  // namespace quorvane::filelist
