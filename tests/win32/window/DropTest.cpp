// Drops onto the list through the IDropTarget the window registered, with
// data objects of the test's own: a real CF_HDROP and a text-only drag.
#include <windows.h>
#undef Yield
#include <shlobj.h>

#include <gtest/gtest.h>

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

// A file list is taken as a copy and appended in order after the entries; a
// text drag is refused at every step and drops nothing.
TEST(Drop, FileListsAreAppendedAndTextIsRefused) {
  FakeProgram p;
  p.Files().Add("C:\\first.xls");
  IDropTarget* target = p.Window().DropTarget();
  ASSERT_NE(target, nullptr);
  const std::vector<std::wstring> paths{L"C:\\Données\\Łódź.xlsx", L"D:\\日本\\報告 Q3.xls", L"C:\\Folder",
                                        L"C:\\first.xls"};
  struct Case {
    OneFormatData data;
    DWORD effect;
  } cases[] = {{{CF_UNICODETEXT, Text(L"C:\\looks\\like\\a\\path.xlsx")}, DROPEFFECT_NONE},
               {{CF_HDROP, HDrop(paths)}, DROPEFFECT_COPY}};
  for (auto& c : cases) {
    POINTL at{10, 10};
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
    EXPECT_EQ(target->DragEnter(&c.data, MK_LBUTTON, at, &effect), S_OK);
    EXPECT_EQ(effect, c.effect);
    effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    EXPECT_EQ(target->DragOver(MK_LBUTTON, at, &effect), S_OK);
    EXPECT_EQ(effect, c.effect);
    effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    EXPECT_EQ(target->Drop(&c.data, 0, at, &effect), S_OK);
    EXPECT_EQ(effect, c.effect);
    EXPECT_EQ(c.data.references(), 1u);  // nothing kept hold of the data
    EXPECT_EQ(ListView_GetItemCount(p.List()), c.effect == DROPEFFECT_NONE ? 1 : 5);
  }
  EXPECT_EQ(ListTexts(p.List()), (std::vector<std::wstring>{L"C:\\first.xls", paths[0], paths[1], paths[2], paths[3]}));
  EXPECT_EQ(p.Files().Text(3), win32::Narrow(paths[1]));
}

}  // namespace
}  // namespace quorvane::testing
