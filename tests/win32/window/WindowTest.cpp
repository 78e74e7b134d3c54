// The real window under Wine: what its controls show and how input on them
// reaches the model (the window's logic is tested on the model), its looks
// at two DPIs, drops, the system dialogs, the pointer files, and quorvane.exe
// as its own process.
#include <windows.h>
#undef Yield
#include <commctrl.h>
#include <dlgs.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>

#include "TestWindow.h"
#include "win32/Resource.h"
#include "win32/Strings.h"
#include "win32/window/Window.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using win32::ControlId;
using Texts = std::vector<std::wstring>;

TEST(Window, FocusHeaderNoteTooltipAndTabOrder) {
  FakeProgram p;
  HWND main = p.Window().Handle();
  HWND list = p.List();
  EXPECT_EQ(::GetFocus(), list);
  wchar_t header[64] = {};
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT;
  column.pszText = header;
  column.cchTextMax = 64;
  ASSERT_TRUE(ListView_GetColumn(list, 0, &column));
  EXPECT_STREQ(header, L"Excel File(s)");
  EXPECT_FALSE(ListView_GetColumn(list, 1, &column));

  // The note is red on white.
  HDC dc = ::GetDC(main);
  ::SendMessageW(main, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(p.Control(ControlId::Label1)));
  EXPECT_EQ(::GetTextColor(dc), RGB(255, 0, 0));
  EXPECT_EQ(::GetBkColor(dc), RGB(255, 255, 255));
  ::ReleaseDC(main, dc);

  HWND tooltip = WaitForWindow(::GetCurrentProcessId(), [main](HWND h) {
    return HasClass(h, TOOLTIPS_CLASSW) && ::GetWindow(h, GW_OWNER) == main;
  });
  ASSERT_NE(tooltip, nullptr);
  wchar_t text[256] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = main;
  tool.uId = reinterpret_cast<UINT_PTR>(list);
  tool.lpszText = text;
  ::SendMessageW(tooltip, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&tool));
  EXPECT_EQ(win32::Narrow(text), app::kListToolTip);

  const std::vector<HWND> order{list, p.Control(ControlId::Check3), p.Control(ControlId::Check2),
                                p.Control(ControlId::Check1), p.Control(ControlId::Check4), list};
  for (std::size_t i = 0; i + 1 < order.size(); ++i) EXPECT_EQ(::GetNextDlgTabItem(main, order[i], FALSE), order[i + 1]) << i;
  EXPECT_EQ(::GetNextDlgTabItem(main, list, TRUE), p.Control(ControlId::Check4));
}

// The window at 96 and 144 dpi: laid out again at the new DPI, every caption
// fits its control in the control's own font (a wider stand-in for Arial cut
// the backup box's text and the note off), the button pictures as large as
// the DPI asks.
// A device context of the control with the control's font selected.
class FontDc {
 public:
  explicit FontDc(HWND control)
      : control_(control), dc_(::GetDC(control)),
        old_(::SelectObject(dc_, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)))) {}
  FontDc(const FontDc&) = delete;
  FontDc& operator=(const FontDc&) = delete;
  ~FontDc() {
    ::SelectObject(dc_, old_);
    ::ReleaseDC(control_, dc_);
  }
  HDC get() const { return dc_; }

 private:
  HWND control_;
  HDC dc_;
  HGDIOBJ old_;
};

// Every child with a caption against the room its kind of control leaves for
// text. A caption on a kind not known here fails, so no control slips past.
void ExpectCaptionsFit(HWND main, int dpi) {
  int checked = 0;
  for (HWND child = ::GetWindow(main, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring text = WindowText(child);
    if (text.empty()) continue;
    FontDc dc(child);
    RECT client{};
    ::GetClientRect(child, &client);
    SIZE room{client.right, client.bottom};
    UINT format = DT_WORDBREAK;
    if (HasClass(child, WC_BUTTONW) && (::GetWindowLongW(child, GWL_STYLE) & BS_PUSHLIKE)) {
      // Inside the frame, below the picture and its margins.
      const int frame = ::GetSystemMetricsForDpi(SM_CXEDGE, dpi) + 1;
      room.cx -= 2 * frame;
      room.cy -= 2 * frame;
      BUTTON_IMAGELIST images{};
      int cx = 0, cy = 0;
      if (::SendMessageW(child, BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)) &&
          ::ImageList_GetIconSize(images.himl, &cx, &cy))
        room.cy -= cy + images.margin.top + images.margin.bottom;
      format |= DT_CENTER;
    } else if (HasClass(child, WC_BUTTONW)) {
      // One line beside the box, half a character away from it.
      TEXTMETRICW metrics{};
      ::GetTextMetricsW(dc.get(), &metrics);
      room.cx -= ::GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi) + metrics.tmAveCharWidth / 2;
      format = DT_SINGLELINE;
    } else if (!HasClass(child, WC_STATICW)) {
      ADD_FAILURE() << "a caption on a control this check does not know: " << win32::Narrow(text);
      continue;
    }
    RECT needed{0, 0, room.cx, 0};
    ::DrawTextW(dc.get(), text.c_str(), -1, &needed, format | DT_EXPANDTABS | DT_CALCRECT);
    wchar_t face[LF_FACESIZE] = {};
    ::GetTextFaceW(dc.get(), LF_FACESIZE, face);
    const std::string where = win32::Narrow(text) + " at " + std::to_string(dpi) + " dpi in " + win32::Narrow(face);
    EXPECT_LE(needed.right, room.cx) << where;
    EXPECT_LE(needed.bottom, room.cy) << where;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

// Every control's place in the window's client area.
std::vector<RECT> Places(HWND main) {
  std::vector<RECT> places;
  for (HWND child = ::GetWindow(main, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    RECT r{};
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
    places.push_back(r);
  }
  return places;
}

TEST(Looks, ADpiChangeScalesTheWindowCaptionsFitAndPicturesAreSizedForTheDpi) {
  FakeProgram p;
  HWND main = p.Window().Handle();
  std::vector<RECT> at96;
  for (int dpi : {96, 144}) {
    RECT outer{};
    ::GetWindowRect(main, &outer);
    ::SendMessageW(main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&outer));
    ASSERT_EQ(p.Window().Dpi(), dpi);
    ExpectCaptionsFit(main, dpi);
    for (auto id : {win32::ControlId::Check1, win32::ControlId::Check2, win32::ControlId::Check4}) {
      BUTTON_IMAGELIST images{};
      int cx = 0, cy = 0;
      ASSERT_TRUE(::SendMessageW(p.Control(id), BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)));
      ::ImageList_GetIconSize(images.himl, &cx, &cy);
      EXPECT_TRUE(cx == ::MulDiv(32, dpi, USER_DEFAULT_SCREEN_DPI) && cy == cx) << dpi;
    }
    if (dpi == 96) at96 = Places(main);
  }
  // At 144 dpi every control is where it was at 96, half as large again.
  const std::vector<RECT> at144 = Places(main);
  ASSERT_EQ(at144.size(), at96.size());
  for (std::size_t i = 0; i < at96.size(); ++i) {
    const LONG was[] = {at96[i].left, at96[i].top, at96[i].right, at96[i].bottom};
    const LONG is[] = {at144[i].left, at144[i].top, at144[i].right, at144[i].bottom};
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(is[k], was[k] * 3 / 2, 2) << "control " << i << ", edge " << k;
  }
}

// Stands in for Excel and, while the run works, lets the test act as a user.
class DuringRun final : public base::ExcelAutomation {
 public:
  std::function<void()> action;
  std::unique_ptr<base::ExcelApplication> GetRunning() override { throw base::AutomationError("GetRunning", "no"); }
  std::unique_ptr<base::ExcelApplication> Create() override {
    if (action) action();
    throw base::AutomationError("Create", "no Excel here");
  }
};

TEST(Window, InputDuringTheRunStartsNothingThenTheBackupBoxStores) {
  DuringRun automation;
  FakeProgram p(&automation);
  p.Files().Add("C:\\a.xlsx");
  p.Files().Add("C:\\b.xlsx");
  HWND list = p.List();
  HWND bar = p.Control(ControlId::ProgressBar1);
  HWND check2 = p.Control(ControlId::Check2);
  HWND check3 = p.Control(ControlId::Check3);
  std::vector<long> positions;
  automation.action = [&] {
    positions.push_back(static_cast<long>(::SendMessageW(bar, PBM_GETPOS, 0, 0)));
    // A double-click would remove an entry, a click on the box store it.
    Mouse(list, WM_LBUTTONDBLCLK, RowCentre(list, 0), MK_LBUTTON);
    Mouse(list, WM_LBUTTONUP, RowCentre(list, 0));
    Click(check3);
    Click(check2);
  };
  Click(check2);
  EXPECT_EQ(positions, (std::vector<long>{5000, 10000}));
  EXPECT_EQ(p.Files().Count(), 2u);
  EXPECT_TRUE(p.settings.writes.empty());
  EXPECT_FALSE(Checked(check3));
  ASSERT_EQ(p.messages.shown.size(), 1u);  // one run, one closing message
  EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
  EXPECT_FALSE(Checked(check2));  // the button springs back

  // Once the run is over the backup box stores at every click, and a stored
  // "True" shows ticked on the next window.
  Click(check3);
  EXPECT_TRUE(Checked(check3));
  Click(check3);
  EXPECT_EQ(p.settings.writes, (std::vector<std::string>{"True", "False"}));
  FakeProgram second(nullptr, "True");
  EXPECT_TRUE(Checked(second.Control(ControlId::Check3)));
}

// A click or key press queued while the run worked is dropped when it ends:
// it neither answers the closing message nor starts a second run.
TEST(Window, InputQueuedDuringTheRunIsDroppedWhenItEnds) {
  DuringRun automation;
  FakeProgram p(&automation);
  p.Files().Add("C:\\a.xlsx");
  HWND check2 = p.Control(ControlId::Check2);
  automation.action = [&] {
    ::PostMessageW(check2, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    ::PostMessageW(check2, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    ::PostMessageW(check2, WM_KEYDOWN, VK_SPACE, 0x00390001);
    ::PostMessageW(check2, WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001u));
  };
  Click(check2);
  automation.action = nullptr;
  Pump();
  EXPECT_EQ(p.messages.shown.size(), 1u) << "a second run started";
}

TEST(Window, ListMirrorsTheModelMouseRemovesAndDragsAndClosingEnds) {
  FakeProgram p;
  auto& files = p.Files();
  for (const wchar_t* text : {L"C:\\A.xls", L"C:\\Données\\Łódź 東京.xlsx", L"C:\\B.xlsm", L"C:\\C.xls"}) files.Add(win32::Narrow(text));
  HWND list = p.List();
  EXPECT_EQ(ListTexts(list), (Texts{L"C:\\A.xls", L"C:\\Données\\Łódź 東京.xlsx", L"C:\\B.xlsm", L"C:\\C.xls"}));
  for (UINT message : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
    Mouse(list, message, RowCentre(list, 1), message == WM_LBUTTONUP ? 0 : MK_LBUTTON);
  EXPECT_EQ(ListTexts(list), (Texts{L"C:\\A.xls", L"C:\\B.xlsm", L"C:\\C.xls"}));
  // Below the last entry nothing is hit, and nothing selected goes.
  files.ClearSelection();
  RECT client{};
  ::GetClientRect(list, &client);
  Mouse(list, WM_LBUTTONDBLCLK, {20, client.bottom - 3}, MK_LBUTTON);
  Mouse(list, WM_LBUTTONUP, {20, client.bottom - 3});
  EXPECT_EQ(files.Count(), 3u);

  // Dragging the first entry down one row at a time, under capture.
  Mouse(list, WM_LBUTTONDOWN, RowCentre(list, 0), MK_LBUTTON);
  EXPECT_EQ(::GetCapture(), list);
  for (int row = 1; row <= 2; ++row) Mouse(list, WM_MOUSEMOVE, RowCentre(list, row), MK_LBUTTON);
  Mouse(list, WM_LBUTTONUP, RowCentre(list, 0));
  Mouse(list, WM_MOUSEMOVE, RowCentre(list, 0));  // without a press: exchanges nothing
  EXPECT_EQ(ListTexts(list), (Texts{L"C:\\B.xlsm", L"C:\\C.xls", L"C:\\A.xls"}));
  EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 2);
  EXPECT_NE(::GetCapture(), list);

  // A selection made with the keyboard is the model's too.
  ::SetFocus(list);
  ListView_SetItemState(list, 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  EXPECT_EQ(files.SelectedIndex(), std::optional<std::size_t>(2));

  // Closing ends at once and asks nothing; the model outlives its controls.
  ::SendMessageW(p.Window().Handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(p.Window().Handle(), nullptr);
  EXPECT_TRUE(p.messages.shown.empty());
  files.Add("C:\\b.xls");
  p.Form().ProgressBar1.Set(50.0);
  EXPECT_EQ(files.Count(), 4u);
}

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
  }
  EXPECT_EQ(ListTexts(p.List()), (std::vector<std::wstring>{L"C:\\first.xls", paths[0], paths[1], paths[2], paths[3]}));
}

std::wstring ComboItem(HWND combo, int index) {
  const auto length = ::SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length < 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// The system dialogs behind the two add buttons, answered from a second
// thread while the window's thread sits in their modal loop.
TEST(Dialogs, OpenDialogAndFolderPicker) {
  const tests::ScratchDir dir("dialogs");
  const auto file = dir.File(L"Łódź budget.xlsx");
  FakeProgram p;
  HWND main = p.Window().Handle();
  HWND check1 = p.Control(ControlId::Check1);

  std::wstring title, filter;
  int filters = 0;
  bool ownedByMain = false;
  bool readOnlyShown = true;
  {
    DialogHandler handler([&](HWND dialog) {
      title = WindowText(dialog);
      ownedByMain = ::GetWindow(dialog, GW_OWNER) == main;
      HWND types = ::GetDlgItem(dialog, cmb1);
      filters = static_cast<int>(::SendMessageW(types, CB_GETCOUNT, 0, 0));
      filter = ComboItem(types, 0);
      readOnlyShown = ::IsWindowVisible(::GetDlgItem(dialog, chx1));
      ::SetDlgItemTextW(dialog, cmb13, file.c_str());
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    Click(check1);
    EXPECT_TRUE(handler.Handled());
  }
  EXPECT_EQ(title, L"Add File(s) - Hold Ctrl to select multiple files");
  EXPECT_TRUE(ownedByMain);
  EXPECT_TRUE(filters == 1 && filter == L"Excel Files (*.xl*)") << filters;
  // The run writes to every file chosen: no "Open as read-only" to tick.
  EXPECT_FALSE(readOnlyShown);
  ASSERT_EQ(p.Files().Count(), 1u);
  EXPECT_EQ(win32::Widen(p.Files().Text(1)), file.wstring());
  EXPECT_FALSE(Checked(check1));

  // Cancel appends nothing, in either dialog; the picker leaves the pointer alone.
  p.Form().MousePointer.Set(base::kPointerCustom);
  bool prompt = false;
  for (ControlId button : {ControlId::Check1, ControlId::Check4}) {
    DialogHandler handler([&](HWND dialog) {
      // The picker's prompt is one of its static texts.
      for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if (WindowText(child) == L"Please select folder to add:") prompt = true;
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    Click(p.Control(button));
    EXPECT_TRUE(handler.Handled());
    EXPECT_FALSE(Checked(p.Control(button)));
  }
  EXPECT_TRUE(prompt);
  EXPECT_EQ(p.Files().Count(), 1u);
  EXPECT_EQ(p.Form().MousePointer.Get(), base::kPointerCustom);
  EXPECT_TRUE(p.messages.shown.empty());
}

// The pointer images read from the program's folder: HAND-M.CUR for the
// window's custom pointer, drag.ico for the list's.
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
struct ProgramFolderFiles {
  ProgramFolderFiles() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    folder = fs::path(path).parent_path();
  }
  ProgramFolderFiles(const ProgramFolderFiles&) = delete;
  ProgramFolderFiles& operator=(const ProgramFolderFiles&) = delete;
  ~ProgramFolderFiles() {
    std::error_code ignored;
    for (const auto* name : {L"HAND-M.CUR", L"drag.ico"}) fs::remove(folder / name, ignored);
  }
  fs::path folder;
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
  tests::WriteBytes(files.folder / "HAND-M.CUR", PointerFile(2, 3, 5));
  tests::WriteBytes(files.folder / "drag.ico", PointerFile(1, 0, 0));
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
  fs::remove(files.folder / "drag.ico");
  Mouse(list, WM_LBUTTONDOWN, row, MK_LBUTTON);
  EXPECT_EQ(CursorShownOver(list), drag);
  Mouse(list, WM_LBUTTONUP, row);
}

// With an unreadable HAND-M.CUR the system's hand stands in, and nobody is told.
TEST(PointerFiles, SystemPointersStandIn) {
  ProgramFolderFiles files;
  tests::WriteBytes(files.folder / "HAND-M.CUR", "not a cursor at all");
  FakeProgram p;
  EXPECT_FALSE(p.Form().HasMouseIcon());
  EXPECT_TRUE(p.messages.shown.empty());
  HWND check2 = p.Control(ControlId::Check2);
  Mouse(check2, WM_MOUSEMOVE, {5, 5});
  EXPECT_EQ(CursorShownOver(check2), ::LoadCursorW(nullptr, IDC_HAND));
  p.Form().MousePointer.Set(base::kPointerHourglass);
  EXPECT_EQ(CursorShownOver(p.List()), ::LoadCursorW(nullptr, IDC_WAIT));
}

// quorvane.exe shows its window, answers the run button with its message box,
// and ends when the window is closed.
TEST(Program, StartsShowsItsWindowAnswersTheRunAndEndsOnClose) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::filesystem::path exe = std::filesystem::path(self).parent_path() / L"quorvane.exe";
  if (!std::filesystem::exists(exe)) GTEST_SKIP() << "quorvane.exe is not beside the tests";

  std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
  win32::UniqueHandle process(info.hProcess);
  win32::UniqueHandle thread(info.hThread);
  ::WaitForInputIdle(process.get(), 20000);

  HWND main =
      WaitForWindow(info.dwProcessId, [](HWND h) { return ::IsWindowVisible(h) && HasClass(h, win32::kWindowClass); });
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(WindowText(main), L"Quorvane");

  // The list is empty, so the run ends at once with its notice.
  HWND check2 = ::GetDlgItem(main, static_cast<int>(win32::ControlId::Check2));
  ASSERT_NE(check2, nullptr);
  ::PostMessageW(check2, BM_CLICK, 0, 0);
  HWND box = WaitForWindow(info.dwProcessId, [](HWND h) {
    return ::IsWindowVisible(h) && HasClass(h, L"#32770") && WindowText(h) == L"Quorvane";
  });
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(WindowText(::GetDlgItem(box, 0xFFFF)), L"No files added.");
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);

  for (int i = 0; i < 100 && ::IsWindow(box); ++i) ::Sleep(50);
  ::PostMessageW(main, WM_CLOSE, 0, 0);
  ASSERT_EQ(::WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
  DWORD code = 1;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace quorvane::testing
