// The real controls of the main window under Wine: where they are, what they
// show, and how input on them reaches the model.
#include <windows.h>
#undef Yield
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "TestWindow.h"
#include "win32/Strings.h"
#include "win32/window/Layout.h"

namespace quorvane::testing {
namespace {

using win32::ControlId;

LOGFONTW FontOf(HWND control) {
  LOGFONTW font{};
  auto handle = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
  ::GetObjectW(handle, sizeof font, &font);
  return font;
}

// Under Wine without a window manager every destroyed window costs about two
// seconds, so the checks that change nothing share one window.
class FreshWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared_ = new FakeProgram(); }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }
  static inline FakeProgram* shared_ = nullptr;
  FakeProgram& p = *shared_;
};

TEST_F(FreshWindow, ControlsSitAtTheirDesignPlaceInPixels) {
  HWND main = p.Window().Handle();
  EXPECT_EQ(::GetFocus(), p.List());  // the list has the focus when the window shows
  if (p.Window().Dpi() != 96) GTEST_SKIP() << "the display is not at 96 dpi";
  RECT client{};
  ::GetClientRect(main, &client);
  EXPECT_EQ(client.right, 498);
  EXPECT_EQ(client.bottom, 286);
  const std::vector<std::pair<ControlId, win32::PixelRect>> expected{
      {ControlId::ListView1, {8, 8, 481, 105}},   {ControlId::Check3, {8, 120, 353, 17}},
      {ControlId::Check1, {8, 144, 161, 81}},     {ControlId::Check4, {176, 144, 153, 81}},
      {ControlId::Check2, {336, 144, 153, 81}},   {ControlId::ProgressBar1, {8, 232, 481, 25}},
      {ControlId::Label1, {8, 264, 441, 17}}};
  for (const auto& [id, rect] : expected)
    EXPECT_EQ(ChildRect(main, p.Control(id)), rect) << static_cast<int>(id);

  const LONG style = ::GetWindowLongW(main, GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_EQ(WindowText(main), L"Quorvane");
}

TEST_F(FreshWindow, TextsFontsAndColours) {
  EXPECT_EQ(WindowText(p.Control(ControlId::Check1)), L"Add Excel File(s)");
  EXPECT_EQ(WindowText(p.Control(ControlId::Check2)), L"Remove File Links");
  EXPECT_EQ(WindowText(p.Control(ControlId::Check3)), L"Make backup of Excel files and put backup in same folder.");
  EXPECT_EQ(WindowText(p.Control(ControlId::Check4)), L"Add All Excel File(s) In Folder");
  EXPECT_EQ(WindowText(p.Control(ControlId::Label1)),
            L" Note: You must have Excel 2002 (XP) or higher installed to use this software.");

  const int dpi = p.Window().Dpi();
  for (ControlId id : {ControlId::ListView1, ControlId::Check3, ControlId::Label1, ControlId::Check1,
                       ControlId::Check2, ControlId::Check4}) {
    const LOGFONTW font = FontOf(p.Control(id));
    EXPECT_STREQ(font.lfFaceName, L"Arial");
    EXPECT_EQ(font.lfWeight, FW_BOLD);
    EXPECT_FALSE(font.lfItalic);
    EXPECT_FALSE(font.lfUnderline);
    const bool large = id == ControlId::Check1 || id == ControlId::Check2 || id == ControlId::Check4;
    EXPECT_EQ(font.lfHeight, win32::FontHeight(large ? 11.25 : 9.0, dpi)) << static_cast<int>(id);
  }
  if (dpi == 96) {
    EXPECT_EQ(FontOf(p.Control(ControlId::Check1)).lfHeight, -15);
  }

  // The one column, its width from 6100 twips.
  HWND list = p.List();
  wchar_t header[64] = {};
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = header;
  column.cchTextMax = 64;
  ASSERT_TRUE(ListView_GetColumn(list, 0, &column));
  EXPECT_STREQ(header, L"Excel File(s)");
  EXPECT_EQ(column.cx, win32::TwipsToPixels(6100, dpi));
  EXPECT_FALSE(ListView_GetColumn(list, 1, &column));
  EXPECT_TRUE(::GetWindowLongW(list, GWL_STYLE) & LVS_REPORT);

  // PBM_SETBKCOLOR answers with the colour it replaces: white from start-up.
  HWND bar = p.Control(ControlId::ProgressBar1);
  EXPECT_EQ(::SendMessageW(bar, PBM_SETBKCOLOR, 0, RGB(255, 255, 255)), RGB(255, 255, 255));

  // The note is red on white; the check box white behind its text.
  HDC dc = ::GetDC(p.Window().Handle());
  ::SendMessageW(p.Window().Handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(p.Control(ControlId::Label1)));
  EXPECT_EQ(::GetTextColor(dc), RGB(255, 0, 0));
  EXPECT_EQ(::GetBkColor(dc), RGB(255, 255, 255));
  ::ReleaseDC(p.Window().Handle(), dc);

  // The buttons are push-like check boxes with their icon above the caption.
  for (ControlId id : {ControlId::Check1, ControlId::Check2, ControlId::Check4}) {
    HWND button = p.Control(id);
    const LONG style = ::GetWindowLongW(button, GWL_STYLE);
    EXPECT_EQ(style & BS_TYPEMASK, BS_AUTOCHECKBOX);
    EXPECT_TRUE(style & BS_PUSHLIKE);
    BUTTON_IMAGELIST images{};
    ASSERT_TRUE(::SendMessageW(button, BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)));
    ASSERT_NE(images.himl, nullptr);
    EXPECT_EQ(images.uAlign, static_cast<UINT>(BUTTON_IMAGELIST_ALIGN_TOP));
    int cx = 0, cy = 0;
    ::ImageList_GetIconSize(images.himl, &cx, &cy);
    EXPECT_EQ(cx, ::MulDiv(32, dpi, 96));
  }
}

TEST_F(FreshWindow, ListHintIsItsTooltip) {
  struct Search {
    HWND owner;
    HWND found = nullptr;
  } search{p.Window().Handle()};
  ::EnumThreadWindows(
      ::GetCurrentThreadId(),
      [](HWND hwnd, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        wchar_t name[64] = {};
        ::GetClassNameW(hwnd, name, 64);
        if (std::wstring(name) == TOOLTIPS_CLASSW && ::GetWindow(hwnd, GW_OWNER) == s->owner) s->found = hwnd;
        return s->found == nullptr;
      },
      reinterpret_cast<LPARAM>(&search));
  ASSERT_NE(search.found, nullptr);
  wchar_t text[256] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = p.Window().Handle();
  tool.uId = reinterpret_cast<UINT_PTR>(p.List());
  tool.lpszText = text;
  ::SendMessageW(search.found, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&tool));
  EXPECT_EQ(win32::Narrow(text), app::kListToolTip);
}

TEST_F(FreshWindow, TabGoesListCheck3Check2Check1Check4AndRound) {
  HWND main = p.Window().Handle();
  const std::vector<HWND> order{p.List(), p.Control(ControlId::Check3), p.Control(ControlId::Check2),
                                p.Control(ControlId::Check1), p.Control(ControlId::Check4), p.List()};
  for (std::size_t i = 0; i + 1 < order.size(); ++i)
    EXPECT_EQ(::GetNextDlgTabItem(main, order[i], FALSE), order[i + 1]) << i;
  EXPECT_EQ(::GetNextDlgTabItem(main, p.List(), TRUE), p.Control(ControlId::Check4));
}

TEST(Window, BackupBoxStoresAtEveryClickAndRestoresAtStart) {
  FakeProgram p;
  HWND check3 = p.Control(ControlId::Check3);
  ::SendMessageW(check3, BM_CLICK, 0, 0);
  EXPECT_EQ(::SendMessageW(check3, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(p.Form().Check3.Value(), 1);
  ::SendMessageW(check3, BM_CLICK, 0, 0);
  EXPECT_EQ(p.settings.writes, (std::vector<std::string>{"True", "False"}));

  // A stored "True" shows ticked on the next window.
  FakeSettings stored;
  stored.values[FakeSettings::Key("Tarnwick", "Quorvane", "BackupCheck")] = "True";
  FakeMessages messages;
  FakeExcel excel;
  FakeFiles files;
  FakeClock clock;
  NoVisit random;
  NoStart starter;
  win32::Program second({stored, messages, excel, files, clock, &random, &starter}, {false});
  second.Start();
  EXPECT_EQ(::SendMessageW(second.Window().Control(ControlId::Check3), BM_GETCHECK, 0, 0), BST_CHECKED);
}

TEST(Window, RunButtonSpringsBackAfterAnEmptyRun) {
  FakeProgram p;
  HWND check2 = p.Control(ControlId::Check2);
  ::SendMessageW(check2, BM_CLICK, 0, 0);
  ASSERT_EQ(p.messages.shown.size(), 1u);
  EXPECT_EQ(p.messages.shown[0].text, "No files added.");
  EXPECT_EQ(::SendMessageW(check2, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(p.Form().Check2.Value(), 0);
  EXPECT_EQ(p.Form().MousePointer.Get(), app::kPointerDefault);
}

// Stands in for Excel and, while the run works, lets the test act as a user.
class DuringRun final : public links::ExcelAutomation {
 public:
  std::function<void()> action;
  std::unique_ptr<links::ExcelApplication> GetRunning() override {
    throw links::AutomationError("GetRunning", "not running");
  }
  std::unique_ptr<links::ExcelApplication> Create() override {
    if (action) action();
    throw links::AutomationError("Create", "no Excel here");
  }
};

TEST(Window, InputDuringTheRunStartsNothingAndTheBarMoves) {
  DuringRun automation;
  FakeProgram p(&automation);
  p.Form().ListView1.Add("C:\\a.xlsx");
  p.Form().ListView1.Add("C:\\b.xlsx");
  HWND list = p.List();
  std::vector<long> positions;
  automation.action = [&] {
    positions.push_back(static_cast<long>(::SendMessageW(p.Control(ControlId::ProgressBar1), PBM_GETPOS, 0, 0)));
    EXPECT_TRUE(p.Window().Busy());
    // A double-click would remove an entry, a click on the box store it.
    const POINT row = RowCentre(list, 0);
    ::SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, Point(row.x, row.y));
    ::SendMessageW(list, WM_LBUTTONUP, 0, Point(row.x, row.y));
    ::SendMessageW(p.Control(ControlId::Check3), BM_CLICK, 0, 0);
    ::SendMessageW(p.Control(ControlId::Check2), BM_CLICK, 0, 0);
  };
  ::SendMessageW(p.Control(ControlId::Check2), BM_CLICK, 0, 0);
  EXPECT_EQ(positions, (std::vector<long>{5000, 10000}));
  EXPECT_EQ(p.Form().ListView1.Count(), 2u);
  EXPECT_TRUE(p.settings.writes.empty());
  EXPECT_EQ(::SendMessageW(p.Control(ControlId::Check3), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  ASSERT_EQ(p.messages.shown.size(), 1u);  // one run, one closing message
  EXPECT_EQ(p.messages.shown[0].progress, 100.0);
  EXPECT_FALSE(p.Window().Busy());
  EXPECT_EQ(::SendMessageW(p.Control(ControlId::ProgressBar1), PBM_GETPOS, 0, 0), 0);
}

TEST(Window, ListMirrorsTheModelAndDoubleClickRemovesTheEntryUnderIt) {
  FakeProgram p;
  auto& files = p.Form().ListView1;
  files.Add("C:\\Data\\Book1.xls");
  files.Add(win32::Narrow(L"C:\\Données\\Łódź 東京.xlsx"));
  files.Add("C:\\Data\\Book3.xlsm");
  HWND list = p.List();
  EXPECT_EQ(ListTexts(list),
            (std::vector<std::wstring>{L"C:\\Data\\Book1.xls", L"C:\\Données\\Łódź 東京.xlsx", L"C:\\Data\\Book3.xlsm"}));

  const POINT second = RowCentre(list, 1);
  ::SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, Point(second.x, second.y));
  ::SendMessageW(list, WM_LBUTTONUP, 0, Point(second.x, second.y));
  ::SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, Point(second.x, second.y));
  ::SendMessageW(list, WM_LBUTTONUP, 0, Point(second.x, second.y));
  EXPECT_EQ(ListTexts(list), (std::vector<std::wstring>{L"C:\\Data\\Book1.xls", L"C:\\Data\\Book3.xlsm"}));
  EXPECT_EQ(files.Count(), 2u);

  // Below the last entry: nothing is hit, nothing selected goes.
  files.ClearSelection();
  RECT client{};
  ::GetClientRect(list, &client);
  ::SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, Point(20, client.bottom - 3));
  ::SendMessageW(list, WM_LBUTTONUP, 0, Point(20, client.bottom - 3));
  EXPECT_EQ(files.Count(), 2u);

  // A selection made with the keyboard is the model's too.
  ::SetFocus(list);
  ListView_SetItemState(list, 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  EXPECT_EQ(files.SelectedIndex(), std::optional<std::size_t>(2));
}

TEST(Window, DraggingTheFirstEntryDownOneRowAtATime) {
  FakeProgram p;
  for (const char* text : {"A", "B", "C", "D"}) p.Form().ListView1.Add(text);
  HWND list = p.List();
  const POINT a = RowCentre(list, 0);
  ::SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, Point(a.x, a.y));
  EXPECT_EQ(::GetCapture(), list);
  for (int row = 1; row <= 3; ++row) {
    const POINT over = RowCentre(list, row);
    ::SendMessageW(list, WM_MOUSEMOVE, MK_LBUTTON, Point(over.x, over.y));
  }
  ::SendMessageW(list, WM_LBUTTONUP, 0, Point(a.x, a.y));
  EXPECT_EQ(ListTexts(list), (std::vector<std::wstring>{L"B", L"C", L"D", L"A"}));
  EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 3);
  EXPECT_EQ(p.Form().ListView1.Text(4), "A");
  EXPECT_EQ(p.Form().ListView1MousePointer.Get(), app::kPointerArrow);
  EXPECT_NE(::GetCapture(), list);

  // Moves without a press exchange nothing.
  const POINT first = RowCentre(list, 0);
  ::SendMessageW(list, WM_MOUSEMOVE, 0, Point(first.x, first.y));
  EXPECT_EQ(ListTexts(list), (std::vector<std::wstring>{L"B", L"C", L"D", L"A"}));
}

TEST(Window, HoverRulesAndThePointerShown) {
  FakeProgram p;
  HWND main = p.Window().Handle();
  auto& pointer = p.Form().MousePointer;
  ::SendMessageW(p.Control(ControlId::Check2), WM_MOUSEMOVE, 0, Point(5, 5));
  EXPECT_EQ(pointer.Get(), app::kPointerCustom);
  // Without HAND-M.CUR beside the program the system's hand stands in.
  ::SendMessageW(p.Control(ControlId::Check2), WM_SETCURSOR, reinterpret_cast<WPARAM>(p.Control(ControlId::Check2)),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(::GetCursor(), ::LoadCursorW(nullptr, IDC_HAND));

  ::SendMessageW(p.Control(ControlId::Label1), WM_MOUSEMOVE, 0, Point(5, 5));
  ::SendMessageW(p.Control(ControlId::ProgressBar1), WM_MOUSEMOVE, 0, Point(5, 5));
  ::SendMessageW(p.Control(ControlId::Check3), WM_MOUSEMOVE, 0, Point(5, 5));
  EXPECT_EQ(pointer.Get(), app::kPointerCustom);

  ::SendMessageW(main, WM_MOUSEMOVE, 0, Point(2, 2));
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);
  ::SendMessageW(p.Control(ControlId::Check1), WM_MOUSEMOVE, 0, Point(5, 5));
  ::SendMessageW(p.List(), WM_MOUSEMOVE, 0, Point(5, 5));
  EXPECT_EQ(pointer.Get(), app::kPointerDefault);

  pointer.Set(app::kPointerHourglass);
  ::SendMessageW(p.Control(ControlId::Check4), WM_MOUSEMOVE, 0, Point(5, 5));
  EXPECT_EQ(pointer.Get(), app::kPointerHourglass);
  ::SendMessageW(p.List(), WM_SETCURSOR, reinterpret_cast<WPARAM>(p.List()), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(::GetCursor(), ::LoadCursorW(nullptr, IDC_WAIT));
}

TEST(Window, ClosingEndsAtOnceAndAsksNothing) {
  FakeProgram p;
  p.Form().ListView1.Add("C:\\a.xls");
  ::SendMessageW(p.Window().Handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(p.Window().Handle(), nullptr);
  EXPECT_TRUE(p.messages.shown.empty());
  // The model outlives its controls; changes no longer reach them.
  p.Form().ListView1.Add("C:\\b.xls");
  p.Form().ProgressBar1.Set(50.0);
  EXPECT_EQ(p.Form().ListView1.Count(), 2u);
}

}  // namespace
}  // namespace quorvane::testing
