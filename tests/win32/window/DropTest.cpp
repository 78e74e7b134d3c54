// Drops onto the list through the IDropTarget the window registered, with
// data objects of the test's own: a real CF_HDROP and a text-only drag.
#include <windows.h>
#undef Yield
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TestWindow.h"
#include "win32/Strings.h"

namespace quorvane::testing {
namespace {

std::vector<char> Text(const std::wstring& text) {
  std::vector<char> bytes((text.size() + 1) * sizeof(wchar_t));
  std::memcpy(bytes.data(), text.c_str(), bytes.size());
  return bytes;
}

TEST(Drop, FileListIsAppendedInOrderAfterTheEntries) {
  FakeProgram p;
  p.Form().ListView1.Add("C:\\first.xls");
  IDropTarget* target = p.Window().DropTarget();
  ASSERT_NE(target, nullptr);
  const std::vector<std::wstring> paths{L"C:\\Données\\Łódź.xlsx", L"D:\\日本\\報告 Q3.xls", L"C:\\Folder",
                                        L"C:\\first.xls"};
  OneFormatData data(CF_HDROP, HDrop(paths));
  POINTL at{10, 10};
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
  ASSERT_EQ(target->DragEnter(&data, MK_LBUTTON, at, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  ASSERT_EQ(target->DragOver(MK_LBUTTON, at, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  ASSERT_EQ(target->Drop(&data, 0, at, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));

  EXPECT_EQ(ListTexts(p.List()), (std::vector<std::wstring>{L"C:\\first.xls", paths[0], paths[1], paths[2], paths[3]}));
  EXPECT_EQ(p.Form().ListView1.Text(3), win32::Narrow(paths[1]));
  EXPECT_EQ(data.references(), 1u);  // nothing kept hold of the data
}

TEST(Drop, TextDragIsRefusedAndDropsNothing) {
  FakeProgram p;
  IDropTarget* target = p.Window().DropTarget();
  ASSERT_NE(target, nullptr);
  OneFormatData data(CF_UNICODETEXT, Text(L"C:\\looks\\like\\a\\path.xlsx"));
  POINTL at{10, 10};
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  target->DragEnter(&data, MK_LBUTTON, at, &effect);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
  effect = DROPEFFECT_COPY;
  target->DragOver(MK_LBUTTON, at, &effect);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
  effect = DROPEFFECT_COPY;
  target->Drop(&data, 0, at, &effect);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
  EXPECT_EQ(p.Form().ListView1.Count(), 0u);
  EXPECT_EQ(ListView_GetItemCount(p.List()), 0);
}

}  // namespace
}  // namespace quorvane::testing
