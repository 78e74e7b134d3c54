// The window's handlers for filling and ordering the list reach the file list
// logic with the window's own controls.

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "app/Form1.h"
#include "fakes/FakeExcel.h"
#include "fakes/FakeFileList.h"
#include "fakes/FakeServices.h"

namespace quorvane::app {
namespace {

using namespace std::string_literals;

struct FormLists : ::testing::Test {
  FormLists() { lists.listView.Attach(form.ListView1); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (std::size_t i = 1; i <= form.ListView1.Count(); ++i) out.push_back(form.ListView1.Text(i));
    return out;
  }

  testing::FakeWindow window;
  testing::FakeSettings settings;
  testing::FakeMessages messages;
  testing::FakeFiles files;
  testing::FakeStarter starter;
  testing::FakeRandom random;
  testing::FakeExcel excel;
  testing::FakeClock clock;
  testing::FileListFakes lists;
  Form1 form{{window, settings, messages, files, starter, random, excel, files, clock, lists.dialog, lists.picker,
              lists.listing, lists.pump, lists.listView, lists.cursor}};
};

TEST_F(FormLists, ButtonsAndDropFillTheWindowsList) {
  lists.dialog.result = "C:\\Data\0a.xls\0b.xls\0\0"s;
  form.Check1.UserClick();
  EXPECT_EQ(form.Check1.Value(), 0);
  EXPECT_EQ(std::count(lists.dialog.calls.begin(), lists.dialog.calls.end(), "ShowOpen"), 1);

  lists.listing.Add("D:\\W", "w.xlsx", testing::AFile());
  lists.picker.choice = "D:\\W";
  std::vector<int> pointers;
  lists.pump.onYield = [&] {
    pointers.push_back(form.MousePointer.Get());
    return true;
  };
  form.Check4.UserClick();
  EXPECT_EQ(form.Check4.Value(), 0);
  ASSERT_FALSE(pointers.empty());
  EXPECT_EQ(pointers.front(), kPointerHourglass);
  EXPECT_EQ(form.MousePointer.Get(), kPointerDefault);

  testing::FakeDrag drag;
  drag.formats = {15};
  drag.files = {"E:\\dropped.xls"};
  int effect = 1;
  form.ListView1_OLEDragOver(drag, effect);
  EXPECT_EQ(effect, 1);
  form.ListView1_OLEDragDrop(drag);

  EXPECT_EQ(Entries(), (std::vector<std::string>{"C:\\Data\\a.xls", "C:\\Data\\b.xls", "D:\\W\\w.xlsx",
                                                 "E:\\dropped.xls"}));
}

TEST_F(FormLists, PointerFeedbackAndDraggingShareTheWindowsState) {
  const std::pair<void (Form1::*)(), int> moves[] = {
      {&Form1::Check1_MouseMove, kPointerCustom}, {&Form1::Form_MouseMove, kPointerDefault},
      {&Form1::Check2_MouseMove, kPointerCustom}, {&Form1::Form_MouseMove, kPointerDefault},
      {&Form1::Check4_MouseMove, kPointerCustom}};
  for (const auto& [move, expected] : moves) {
    (form.*move)();
    EXPECT_EQ(form.MousePointer.Get(), expected);
  }
  form.ListView1_MouseMove(0, testing::FakeListView::kBlank);  // the list resets the window's pointer
  EXPECT_EQ(form.MousePointer.Get(), kPointerDefault);

  for (const char* text : {"A", "B", "C"}) form.ListView1.Add(text);
  form.ListView1.Select(1);
  form.ListView1_MouseDown();
  form.ListView1_ItemClick();
  EXPECT_EQ(lists.listView.iconLoads, std::vector<std::string>{"C:\\Program Files\\Quorvane\\drag.ico"});
  EXPECT_EQ(form.ListView1MousePointer.Get(), kPointerCustom);
  form.ListView1_MouseMove(0, testing::FakeListView::Row(3));
  form.ListView1_MouseUp();
  EXPECT_EQ(Entries(), (std::vector<std::string>{"C", "B", "A"}));
  EXPECT_EQ(form.Drag().DragItem(), 3u);
  EXPECT_EQ(form.ListView1MousePointer.Get(), kPointerArrow);
}

}  // namespace
}  // namespace quorvane::app
