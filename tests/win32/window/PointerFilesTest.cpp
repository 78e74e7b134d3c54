// The pointer images read from the program's folder: HAND-M.CUR for the
// window's custom pointer, drag.ico for the list's, and what shows when they
// are missing or broken. A DPI change lays the window out again.
#include <windows.h>
#undef Yield
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "TestWindow.h"
#include "win32/Strings.h"
#include "win32/window/Layout.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using win32::ControlId;

template <typename T>
void Put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A 32x32, 32-bit .cur (type 2, with a hot spot) or .ico (type 1) file.
std::string PointerFile(std::uint16_t type, std::uint16_t hotX, std::uint16_t hotY) {
  constexpr std::uint32_t kPixels = 32 * 32 * 4, kMask = 32 * 4, kHeader = 40;
  std::string out;
  Put<std::uint16_t>(out, 0);
  Put<std::uint16_t>(out, type);
  Put<std::uint16_t>(out, 1);
  Put<std::uint8_t>(out, 32);
  Put<std::uint8_t>(out, 32);
  Put<std::uint8_t>(out, 0);
  Put<std::uint8_t>(out, 0);
  Put<std::uint16_t>(out, type == 2 ? hotX : 1);
  Put<std::uint16_t>(out, type == 2 ? hotY : 32);
  Put<std::uint32_t>(out, kHeader + kPixels + kMask);
  Put<std::uint32_t>(out, 22);
  Put<std::uint32_t>(out, kHeader);
  Put<std::int32_t>(out, 32);
  Put<std::int32_t>(out, 64);
  Put<std::uint16_t>(out, 1);
  Put<std::uint16_t>(out, 32);
  for (int i = 0; i < 6; ++i) Put<std::uint32_t>(out, 0);
  for (std::uint32_t i = 0; i < 32 * 32; ++i) Put<std::uint32_t>(out, 0xFF2060A0u);
  out.append(kMask, '\0');
  return out;
}

class ProgramFolderFiles {
 public:
  ProgramFolderFiles() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    folder_ = fs::path(path).parent_path();
  }
  ProgramFolderFiles(const ProgramFolderFiles&) = delete;
  ProgramFolderFiles& operator=(const ProgramFolderFiles&) = delete;
  ~ProgramFolderFiles() {
    std::error_code ignored;
    for (const auto& name : written_) fs::remove(folder_ / name, ignored);
  }
  void Write(const std::wstring& name, const std::string& bytes) {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
    written_.push_back(name);
  }
  void Remove(const std::wstring& name) { fs::remove(folder_ / name); }

 private:
  fs::path folder_;
  std::vector<std::wstring> written_;
};

POINT HotSpot(HCURSOR cursor) {
  ICONINFO info{};
  if (!::GetIconInfo(cursor, &info)) return {-1, -1};
  if (info.hbmMask) ::DeleteObject(info.hbmMask);
  if (info.hbmColor) ::DeleteObject(info.hbmColor);
  return {static_cast<LONG>(info.xHotspot), static_cast<LONG>(info.yHotspot)};
}

HCURSOR CursorShownOver(HWND control) {
  ::SendMessageW(control, WM_SETCURSOR, reinterpret_cast<WPARAM>(control), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  return ::GetCursor();
}

TEST(PointerFiles, HandAndDragImagesFromTheProgramFolder) {
  ProgramFolderFiles files;
  files.Write(L"HAND-M.CUR", PointerFile(2, 3, 5));
  files.Write(L"drag.ico", PointerFile(1, 0, 0));
  FakeProgram p;
  EXPECT_TRUE(p.Form().HasMouseIcon());

  HWND check1 = p.Control(ControlId::Check1);
  ::SendMessageW(check1, WM_MOUSEMOVE, 0, Point(5, 5));
  const HCURSOR hand = CursorShownOver(check1);
  EXPECT_NE(hand, ::LoadCursorW(nullptr, IDC_HAND));
  const POINT spot = HotSpot(hand);
  EXPECT_EQ(spot.x, 3);
  EXPECT_EQ(spot.y, 5);

  // An entry click gives the list the drag image; it stays when the file is
  // gone at the next click, and the release shows the arrow.
  p.Form().ListView1.Add("A");
  p.Form().ListView1.Add("B");
  HWND list = p.List();
  const POINT row = RowCentre(list, 0);
  ::SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, Point(row.x, row.y));
  const HCURSOR drag = CursorShownOver(list);
  EXPECT_EQ(HotSpot(drag).x, 16);  // an icon's hot spot is its centre
  ::SendMessageW(list, WM_LBUTTONUP, 0, Point(row.x, row.y));
  EXPECT_EQ(CursorShownOver(list), ::LoadCursorW(nullptr, IDC_ARROW));
  files.Remove(L"drag.ico");
  ::SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, Point(row.x, row.y));
  EXPECT_EQ(CursorShownOver(list), drag);
  ::SendMessageW(list, WM_LBUTTONUP, 0, Point(row.x, row.y));
}

TEST(PointerFiles, UnreadableHandFileLeavesTheSystemHand) {
  ProgramFolderFiles files;
  files.Write(L"HAND-M.CUR", "not a cursor at all");
  FakeProgram p;
  EXPECT_FALSE(p.Form().HasMouseIcon());
  EXPECT_TRUE(p.messages.shown.empty());
  HWND check2 = p.Control(ControlId::Check2);
  ::SendMessageW(check2, WM_MOUSEMOVE, 0, Point(5, 5));
  EXPECT_EQ(CursorShownOver(check2), ::LoadCursorW(nullptr, IDC_HAND));

  // Before any entry click the list shows its own default pointer.
  ::SendMessageW(p.List(), WM_MOUSEMOVE, 0, Point(5, 5));
  EXPECT_EQ(p.Form().ListView1MousePointer.Get(), app::kPointerDefault);
}

TEST(Dpi, ADpiChangeLaysTheWindowOutAgain) {
  FakeProgram p;
  HWND main = p.Window().Handle();
  RECT outer{};
  ::GetWindowRect(main, &outer);
  RECT suggested{outer.left, outer.top, outer.left + 800, outer.top + 500};
  ::SendMessageW(main, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(p.Window().Dpi(), 144);

  RECT client{};
  ::GetClientRect(main, &client);
  EXPECT_EQ(client.right, win32::ClientPixels(144).width);
  EXPECT_EQ(client.bottom, win32::ClientPixels(144).height);
  for (const auto& design : win32::kDesign) {
    EXPECT_EQ(ChildRect(main, p.Control(design.id)), win32::ToPixels(design.twips, 144))
        << static_cast<int>(design.id);
  }
  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(p.Control(ControlId::Check2), WM_GETFONT, 0, 0)), sizeof font,
               &font);
  EXPECT_EQ(font.lfHeight, win32::FontHeight(11.25, 144));
  EXPECT_EQ(ListView_GetColumnWidth(p.List(), 0), ::MulDiv(win32::TwipsToPixels(6100, 96), 144, 96));
}

}  // namespace
}  // namespace quorvane::testing
