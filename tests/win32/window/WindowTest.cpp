// The window's design in pixels, and the real controls of the main window
// under Wine: where they are, what they show, and how input on them reaches
// the model.
#include <windows.h>
#undef Yield
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>

#include "TestWindow.h"
#include "win32/Strings.h"
#include "win32/window/Layout.h"

namespace quorvane::testing {
namespace {

using win32::ControlId;
using win32::PixelRect;
using win32::ToPixels;

TEST(Layout, DesignInPixels) {
  EXPECT_EQ(win32::ClientPixels(96), (win32::PixelSize{498, 286}));
  const std::pair<ControlId, PixelRect> at96[] = {
      {ControlId::ListView1, {8, 8, 481, 105}},  {ControlId::Check3, {8, 120, 353, 17}},
      {ControlId::Check1, {8, 144, 161, 81}},    {ControlId::Check4, {176, 144, 153, 81}},
      {ControlId::Check2, {336, 144, 153, 81}},  {ControlId::ProgressBar1, {8, 232, 481, 25}},
      {ControlId::Label1, {8, 264, 441, 17}}};
  for (const auto& [id, rect] : at96) EXPECT_EQ(ToPixels(win32::DesignOf(id).twips, 96), rect) << static_cast<int>(id);
  EXPECT_EQ(ToPixels(win32::DesignOf(ControlId::ListView1).twips, 144), (PixelRect{12, 12, 722, 158}));

  // At fractional scales the edges are rounded, so two controls that touch or
  // keep a gap in twips do the same in pixels, and nothing leaves the client.
  for (int dpi : {96, 120, 144, 168, 192, 288}) {
    const win32::PixelSize client = win32::ClientPixels(dpi);
    const PixelRect check1 = ToPixels(win32::DesignOf(ControlId::Check1).twips, dpi);
    const PixelRect check4 = ToPixels(win32::DesignOf(ControlId::Check4).twips, dpi);
    const PixelRect check2 = ToPixels(win32::DesignOf(ControlId::Check2).twips, dpi);
    EXPECT_LT(check1.left + check1.width, check4.left) << dpi;
    EXPECT_LT(check4.left + check4.width, check2.left) << dpi;
    EXPECT_EQ(check4.top, check2.top) << dpi;
    for (const win32::ControlDesign& design : win32::kDesign) {
      const PixelRect r = ToPixels(design.twips, dpi);
      EXPECT_GT(r.width, 0);
      EXPECT_LE(r.left + r.width, client.width) << dpi;
      EXPECT_LE(r.top + r.height, client.height) << dpi;
    }
  }
  EXPECT_EQ(win32::FontHeight(win32::kSmallFontPoints, 96), -12);
  EXPECT_EQ(win32::FontHeight(win32::kLargeFontPoints, 96), -15);
  EXPECT_EQ(win32::FontHeight(win32::kSmallFontPoints, 144), -18);
  EXPECT_FLOAT_EQ(win32::PixelsToTwips(1024, 96), 15360.0f);
  EXPECT_EQ(win32::TwipsToPixels(6100, 96), 407);
}

LOGFONTW FontOf(HWND control) {
  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font;
}

// Every control where the design puts it at the window's DPI, in its bold
// Arial, and the list's one column as wide as given.
void ExpectLaidOut(FakeProgram& p, int dpi, int columnWidth) {
  HWND main = p.Window().Handle();
  RECT client{};
  ::GetClientRect(main, &client);
  EXPECT_EQ(client.right, win32::ClientPixels(dpi).width);
  EXPECT_EQ(client.bottom, win32::ClientPixels(dpi).height);
  for (const auto& design : win32::kDesign) {
    HWND control = p.Control(design.id);
    EXPECT_EQ(ChildRect(main, control), ToPixels(design.twips, dpi)) << static_cast<int>(design.id);
    if (design.fontPoints == 0) continue;
    const LOGFONTW font = FontOf(control);
    EXPECT_STREQ(font.lfFaceName, L"Arial");
    EXPECT_EQ(font.lfWeight, FW_BOLD);
    EXPECT_FALSE(font.lfItalic || font.lfUnderline);
    EXPECT_EQ(font.lfHeight, win32::FontHeight(design.fontPoints, dpi)) << static_cast<int>(design.id);
  }
  EXPECT_EQ(ListView_GetColumnWidth(p.List(), 0), columnWidth);
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

TEST_F(FreshWindow, FrameTextsAndControls) {
  HWND main = p.Window().Handle();
  EXPECT_EQ(::GetFocus(), p.List());  // the list has the focus when the window shows
  ExpectLaidOut(p, p.Window().Dpi(), win32::TwipsToPixels(6100, p.Window().Dpi()));
  const LONG style = ::GetWindowLongW(main, GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & (WS_MAXIMIZEBOX | WS_THICKFRAME));
  EXPECT_EQ(WindowText(main), L"Quorvane");
  EXPECT_EQ(WindowText(p.Control(ControlId::Check1)), L"Add Excel File(s)");
  EXPECT_EQ(WindowText(p.Control(ControlId::Check2)), L"Remove File Links");
  EXPECT_EQ(WindowText(p.Control(ControlId::Check3)), L"Make backup of Excel files and put backup in same folder.");
  EXPECT_EQ(WindowText(p.Control(ControlId::Check4)), L"Add All Excel File(s) In Folder");
  EXPECT_EQ(WindowText(p.Control(ControlId::Label1)),
            L" Note: You must have Excel 2002 (XP) or higher installed to use this software.");

  HWND list = p.List();
  wchar_t header[64] = {};
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT;
  column.pszText = header;
  column.cchTextMax = 64;
  ASSERT_TRUE(ListView_GetColumn(list, 0, &column));
  EXPECT_STREQ(header, L"Excel File(s)");
  EXPECT_FALSE(ListView_GetColumn(list, 1, &column));
  EXPECT_TRUE(::GetWindowLongW(list, GWL_STYLE) & LVS_REPORT);

  // PBM_SETBKCOLOR answers with the colour it replaces: white from start-up.
  EXPECT_EQ(::SendMessageW(p.Control(ControlId::ProgressBar1), PBM_SETBKCOLOR, 0, RGB(255, 255, 255)),
            RGB(255, 255, 255));
  // The note is red on white.
  HDC dc = ::GetDC(main);
  ::SendMessageW(main, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(p.Control(ControlId::Label1)));
  EXPECT_EQ(::GetTextColor(dc), RGB(255, 0, 0));
  EXPECT_EQ(::GetBkColor(dc), RGB(255, 255, 255));
  ::ReleaseDC(main, dc);

  // The buttons are push-like check boxes with their icon above the caption.
  for (ControlId id : {ControlId::Check1, ControlId::Check2, ControlId::Check4}) {
    const LONG button = ::GetWindowLongW(p.Control(id), GWL_STYLE);
    EXPECT_EQ(button & BS_TYPEMASK, BS_AUTOCHECKBOX);
    EXPECT_TRUE(button & BS_PUSHLIKE);
    BUTTON_IMAGELIST images{};
    ASSERT_TRUE(::SendMessageW(p.Control(id), BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)));
    ASSERT_NE(images.himl, nullptr);
    EXPECT_EQ(images.uAlign, static_cast<UINT>(BUTTON_IMAGELIST_ALIGN_TOP));
    int cx = 0, cy = 0;
    ::ImageList_GetIconSize(images.himl, &cx, &cy);
    EXPECT_EQ(cx, ::MulDiv(32, p.Window().Dpi(), 96));
  }
}

TEST_F(FreshWindow, ListHintIsItsTooltip) {
  HWND main = p.Window().Handle();
  HWND tooltip = WaitForWindow(::GetCurrentProcessId(), [main](HWND h) {
    return HasClass(h, TOOLTIPS_CLASSW) && ::GetWindow(h, GW_OWNER) == main;
  });
  ASSERT_NE(tooltip, nullptr);
  wchar_t text[256] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = main;
  tool.uId = reinterpret_cast<UINT_PTR>(p.List());
  tool.lpszText = text;
  ::SendMessageW(tooltip, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&tool));
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

TEST(Window, ADpiChangeLaysTheWindowOutAgain) {
  FakeProgram p;
  RECT outer{};
  ::GetWindowRect(p.Window().Handle(), &outer);
  RECT suggested{outer.left, outer.top, outer.left + 800, outer.top + 500};
  ::SendMessageW(p.Window().Handle(), WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(p.Window().Dpi(), 144);
  // The column keeps the width it had, scaled.
  ExpectLaidOut(p, 144, ::MulDiv(win32::TwipsToPixels(6100, 96), 144, 96));
}

// Stands in for Excel and, while the run works, lets the test act as a user.
class DuringRun final : public base::ExcelAutomation {
 public:
  std::function<void()> action;
  std::unique_ptr<base::ExcelApplication> GetRunning() override {
    throw base::AutomationError("GetRunning", "not running");
  }
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
  std::vector<long> positions;
  automation.action = [&] {
    positions.push_back(static_cast<long>(::SendMessageW(bar, PBM_GETPOS, 0, 0)));
    EXPECT_TRUE(p.Window().Busy());
    // A double-click would remove an entry, a click on the box store it.
    Mouse(list, WM_LBUTTONDBLCLK, RowCentre(list, 0), MK_LBUTTON);
    Mouse(list, WM_LBUTTONUP, RowCentre(list, 0));
    Click(p.Control(ControlId::Check3));
    Click(p.Control(ControlId::Check2));
  };
  Click(p.Control(ControlId::Check2));
  EXPECT_EQ(positions, (std::vector<long>{5000, 10000}));
  EXPECT_EQ(p.Files().Count(), 2u);
  EXPECT_TRUE(p.settings.writes.empty());
  EXPECT_FALSE(Checked(p.Control(ControlId::Check3)));
  ASSERT_EQ(p.messages.shown.size(), 1u);  // one run, one closing message
  EXPECT_EQ(p.messages.shown[0].progress, 100.0);
  EXPECT_FALSE(p.Window().Busy());
  EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
  // The button springs back.
  EXPECT_FALSE(Checked(p.Control(ControlId::Check2)));
  EXPECT_EQ(p.Form().Check2.Value(), 0);
  EXPECT_EQ(p.Form().MousePointer.Get(), base::kPointerDefault);

  // Once the run is over the backup box stores at every click, and a stored
  // "True" shows ticked on the next window.
  HWND check3 = p.Control(ControlId::Check3);
  Click(check3);
  EXPECT_TRUE(Checked(check3));
  EXPECT_EQ(p.Form().Check3.Value(), 1);
  Click(check3);
  EXPECT_EQ(p.settings.writes, (std::vector<std::string>{"True", "False"}));
  FakeProgram second(nullptr, "True");
  EXPECT_TRUE(Checked(second.Control(ControlId::Check3)));
}

// A click or key press made while the run worked waits in the queue; when
// the run ends it is dropped, so it neither answers the closing message nor
// starts a second run.
TEST(Window, InputQueuedDuringTheRunIsDroppedWhenItEnds) {
  DuringRun automation;
  FakeProgram p(&automation);
  p.Files().Add("C:\\a.xlsx");
  HWND check2 = p.Control(ControlId::Check2);
  RECT r{};
  ::GetClientRect(check2, &r);
  const LPARAM centre = Point((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  automation.action = [&] {
    ::PostMessageW(check2, WM_LBUTTONDOWN, MK_LBUTTON, centre);
    ::PostMessageW(check2, WM_LBUTTONUP, 0, centre);
    ::PostMessageW(check2, WM_KEYDOWN, VK_SPACE, 0x00390001);
    ::PostMessageW(check2, WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001u));
  };
  Click(check2);
  automation.action = nullptr;
  Pump();
  EXPECT_EQ(p.messages.shown.size(), 1u) << "a second run started";
}

TEST(Window, ListMirrorsTheModelDoubleClickRemovesAndClosingEnds) {
  FakeProgram p;
  auto& files = p.Files();
  files.Add("C:\\Data\\Book1.xls");
  files.Add(win32::Narrow(L"C:\\Données\\Łódź 東京.xlsx"));
  files.Add("C:\\Data\\Book3.xlsm");
  HWND list = p.List();
  EXPECT_EQ(ListTexts(list),
            (std::vector<std::wstring>{L"C:\\Data\\Book1.xls", L"C:\\Données\\Łódź 東京.xlsx", L"C:\\Data\\Book3.xlsm"}));

  const POINT second = RowCentre(list, 1);
  for (UINT message : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
    Mouse(list, message, second, message == WM_LBUTTONUP ? 0 : MK_LBUTTON);
  EXPECT_EQ(ListTexts(list), (std::vector<std::wstring>{L"C:\\Data\\Book1.xls", L"C:\\Data\\Book3.xlsm"}));
  EXPECT_EQ(files.Count(), 2u);

  // Below the last entry: nothing is hit, nothing selected goes.
  files.ClearSelection();
  RECT client{};
  ::GetClientRect(list, &client);
  Mouse(list, WM_LBUTTONDBLCLK, {20, client.bottom - 3}, MK_LBUTTON);
  Mouse(list, WM_LBUTTONUP, {20, client.bottom - 3});
  EXPECT_EQ(files.Count(), 2u);

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
  EXPECT_EQ(files.Count(), 3u);
}

TEST(Window, DraggingTheFirstEntryDownOneRowAtATime) {
  FakeProgram p;
  for (const char* text : {"A", "B", "C", "D"}) p.Files().Add(text);
  HWND list = p.List();
  Mouse(list, WM_LBUTTONDOWN, RowCentre(list, 0), MK_LBUTTON);
  EXPECT_EQ(::GetCapture(), list);
  for (int row = 1; row <= 3; ++row) Mouse(list, WM_MOUSEMOVE, RowCentre(list, row), MK_LBUTTON);
  Mouse(list, WM_LBUTTONUP, RowCentre(list, 0));
  EXPECT_EQ(ListTexts(list), (std::vector<std::wstring>{L"B", L"C", L"D", L"A"}));
  EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 3);
  EXPECT_EQ(p.Files().Text(4), "A");
  EXPECT_EQ(p.Form().ListView1MousePointer.Get(), base::kPointerArrow);
  EXPECT_NE(::GetCapture(), list);

  // Moves without a press exchange nothing.
  Mouse(list, WM_MOUSEMOVE, RowCentre(list, 0));
  EXPECT_EQ(ListTexts(list), (std::vector<std::wstring>{L"B", L"C", L"D", L"A"}));
}

}  // namespace
}  // namespace quorvane::testing
