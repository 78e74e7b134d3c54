// The pointers the window shows: the hover rules, and the images read from
// the program's folder (HAND-M.CUR for the window's custom pointer, drag.ico
// for the list's) with what shows when they are missing or broken.
#include <windows.h>
#undef Yield

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <utility>

#include "TestWindow.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using win32::ControlId;

// A 32x32, 32-bit .cur (type 2, with a hot spot) or .ico (type 1) file.
std::string PointerFile(std::uint32_t type, std::uint32_t hotX, std::uint32_t hotY) {
  constexpr std::uint32_t kPixels = 32 * 32 * 4, kMask = 32 * 4, kHeader = 40;
  std::string out;
  // Directory, one entry, then the BITMAPINFOHEADER: (value, bytes) little-endian.
  const std::initializer_list<std::pair<std::uint32_t, int>> fields = {
      {0, 2}, {type, 2}, {1, 2}, {32, 1}, {32, 1}, {0, 1}, {0, 1}, {type == 2 ? hotX : 1, 2},
      {type == 2 ? hotY : 32, 2}, {kHeader + kPixels + kMask, 4}, {22, 4}, {kHeader, 4}, {32, 4}, {64, 4},
      {1, 2}, {32, 2}, {0, 24}};
  for (auto [value, bytes] : fields)
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(i < 4 ? (value >> (8 * i)) & 0xFF : 0));
  for (std::uint32_t i = 0; i < 32 * 32; ++i) out.append("\xA0\x60\x20\xFF", 4);
  out.append(kMask, '\0');
  return out;
}

// Files written beside the test program, removed again at the end.
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
    for (const auto* name : {L"HAND-M.CUR", L"drag.ico"}) fs::remove(folder_ / name, ignored);
  }
  void Write(const wchar_t* name, const std::string& bytes) {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
  }
  void Remove(const wchar_t* name) { fs::remove(folder_ / name); }

 private:
  fs::path folder_;
};

POINT HotSpot(HCURSOR cursor) {
  ICONINFO info{};
  if (!::GetIconInfo(cursor, &info)) return {-1, -1};
  if (info.hbmMask) ::DeleteObject(info.hbmMask);
  if (info.hbmColor) ::DeleteObject(info.hbmColor);
  return {static_cast<LONG>(info.xHotspot), static_cast<LONG>(info.yHotspot)};
}

TEST(PointerFiles, HandAndDragImagesFromTheProgramFolder) {
  ProgramFolderFiles files;
  files.Write(L"HAND-M.CUR", PointerFile(2, 3, 5));
  files.Write(L"drag.ico", PointerFile(1, 0, 0));
  FakeProgram p;
  EXPECT_TRUE(p.Form().HasMouseIcon());

  HWND check1 = p.Control(ControlId::Check1);
  Mouse(check1, WM_MOUSEMOVE, {5, 5});
  const HCURSOR hand = CursorShownOver(check1);
  EXPECT_NE(hand, ::LoadCursorW(nullptr, IDC_HAND));
  const POINT spot = HotSpot(hand);
  EXPECT_EQ(spot.x, 3);
  EXPECT_EQ(spot.y, 5);

  // An entry click gives the list the drag image; it stays when the file is
  // gone at the next click, and the release shows the arrow.
  p.Files().Add("A");
  p.Files().Add("B");
  HWND list = p.List();
  const POINT row = RowCentre(list, 0);
  Mouse(list, WM_LBUTTONDOWN, row, MK_LBUTTON);
  const HCURSOR drag = CursorShownOver(list);
  EXPECT_EQ(HotSpot(drag).x, 16);  // an icon's hot spot is its centre
  Mouse(list, WM_LBUTTONUP, row);
  EXPECT_EQ(CursorShownOver(list), ::LoadCursorW(nullptr, IDC_ARROW));
  files.Remove(L"drag.ico");
  Mouse(list, WM_LBUTTONDOWN, row, MK_LBUTTON);
  EXPECT_EQ(CursorShownOver(list), drag);
  Mouse(list, WM_LBUTTONUP, row);
}

// With an unreadable HAND-M.CUR the system's hand stands in, and nobody is told.
TEST(PointerFiles, HoverRulesWithTheSystemHand) {
  ProgramFolderFiles files;
  files.Write(L"HAND-M.CUR", "not a cursor at all");
  FakeProgram p;
  EXPECT_FALSE(p.Form().HasMouseIcon());
  EXPECT_TRUE(p.messages.shown.empty());
  auto& pointer = p.Form().MousePointer;
  auto move = [&](HWND over) { Mouse(over, WM_MOUSEMOVE, {5, 5}); };

  // Before any entry click the list shows its own default pointer.
  move(p.List());
  EXPECT_EQ(p.Form().ListView1MousePointer.Get(), base::kPointerDefault);

  move(p.Control(ControlId::Check2));
  EXPECT_EQ(pointer.Get(), base::kPointerCustom);
  EXPECT_EQ(CursorShownOver(p.Control(ControlId::Check2)), ::LoadCursorW(nullptr, IDC_HAND));
  // The label, the bar and the backup box leave the pointer alone.
  for (ControlId id : {ControlId::Label1, ControlId::ProgressBar1, ControlId::Check3}) move(p.Control(id));
  EXPECT_EQ(pointer.Get(), base::kPointerCustom);

  move(p.Window().Handle());
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
  move(p.Control(ControlId::Check1));
  move(p.List());
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);

  pointer.Set(base::kPointerHourglass);
  move(p.Control(ControlId::Check4));
  EXPECT_EQ(pointer.Get(), base::kPointerHourglass);
  EXPECT_EQ(CursorShownOver(p.List()), ::LoadCursorW(nullptr, IDC_WAIT));
}

}  // namespace
}  // namespace quorvane::testing
