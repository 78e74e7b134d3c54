// The real window under Wine on one OLE thread, as the program runs it, with
// fakes behind the services not under test: its controls, layout, drops and
// dialogs, platform services, quorvane.exe itself and a run end to end.
#include <windows.h>
#undef Yield
#include <commctrl.h>
#include <dlgs.h>
#include <process.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fakes/FakeExcel.h"
#include "fakes/FakeServices.h"
#include "ooxml/BuiltinExcel.h"
#include "ooxml/Workbook.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/ComExcel.h"
#include "win32/DirectoryListing.h"
#include "win32/FileCopier.h"
#include "win32/MessageBoxes.h"
#include "win32/RegionalClock.h"
#include "win32/RegistrySettings.h"
#include "win32/Resource.h"
#include "win32/Strings.h"
#include "win32/window/EngineChoice.h"
#include "win32/window/Program.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using win32::ControlId;
using Texts = std::vector<std::wstring>;

// Runs every waiting message of this thread.
void Pump() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

Texts ListTexts(HWND list) {
  Texts out;
  for (int row = 0; row < ListView_GetItemCount(list); ++row) {
    wchar_t buffer[1024] = {};
    ListView_GetItemText(list, row, 0, buffer, 1024);
    out.push_back(buffer);
  }
  return out;
}

// A mouse message at the centre of a row of the list, the left button held
// except when it is let go.
void OnRow(HWND list, UINT message, int row) {
  RECT r{};
  ListView_GetItemRect(list, row, &r, LVIR_BOUNDS);
  ::SendMessageW(list, message, message == WM_LBUTTONUP ? 0 : MK_LBUTTON,
                 MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2));
}

void Click(HWND button) { ::SendMessageW(button, BM_CLICK, 0, 0); }
bool Checked(HWND button) { return ::SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED; }

bool HasClass(HWND hwnd, const wchar_t* name) {
  wchar_t buffer[64] = {};
  ::GetClassNameW(hwnd, buffer, 64);
  return std::wstring(buffer) == name;
}

// Drags the system's data object over the clipboard holding one format onto
// the list and drops it there, unless refused; gives the effect the window
// chose. CF_HDROP is DROPFILES followed by the wide paths, each NUL-ended, and
// a closing NUL; CF_UNICODETEXT the same without the header.
DWORD Drop(win32::MainWindow& window, UINT format, const Texts& items) {
  std::wstring list;
  for (const auto& item : items) list += item + L'\0';
  list += L'\0';
  const DROPFILES header{sizeof header, {}, FALSE, TRUE};
  std::string bytes(reinterpret_cast<const char*>(&header), format == CF_HDROP ? sizeof header : 0);
  bytes.append(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(wchar_t));
  HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  std::memcpy(::GlobalLock(memory), bytes.data(), bytes.size());
  ::GlobalUnlock(memory);
  EXPECT_TRUE(::OpenClipboard(window.Handle()) && ::EmptyClipboard() && ::SetClipboardData(format, memory));
  ::CloseClipboard();
  win32::ComPtr<IDataObject> data;
  EXPECT_EQ(::OleGetClipboard(data.put()), S_OK);
  POINTL at{20, 20};
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
  EXPECT_EQ(window.DropTarget()->DragEnter(data.get(), MK_LBUTTON, at, &effect), S_OK);
  if (effect == DROPEFFECT_NONE) window.DropTarget()->DragLeave();
  else window.DropTarget()->Drop(data.get(), 0, at, &effect);
  return effect;
}

// The first top-level window of the process that the test accepts, waiting
// up to 20 s (or until told to stop) for it.
HWND WaitForWindow(DWORD process, const std::function<bool(HWND)>& accept, std::stop_token stop = {}) {
  for (int i = 0; i < 400 && !stop.stop_requested(); ++i, ::Sleep(50))
    for (HWND h = ::FindWindowExW(nullptr, nullptr, nullptr, nullptr); h;
         h = ::FindWindowExW(nullptr, h, nullptr, nullptr)) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(h, &owner);
      if (owner == process && accept(h)) return h;
    }
  return nullptr;
}

// Hands the first dialog of this process to `look` on a thread of its own
// while the test's thread sits in the modal loop, then presses `button`; the
// thread ends with the scope of the result.
std::jthread Answer(int button, std::function<void(HWND)> look) {
  return std::jthread([button, look = std::move(look)](std::stop_token stop) {
    const auto isDialog = [](HWND h) { return ::IsWindowVisible(h) && HasClass(h, L"#32770"); };
    if (HWND dialog = WaitForWindow(::GetCurrentProcessId(), isDialog, stop)) {
      ::Sleep(200);  // let the dialog finish filling itself
      look(dialog);
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    }
  });
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

// The program with fakes behind the services that are not under test, the
// backup option stored as ticked. The dice never draw the site visit.
struct FakeProgram {
  FakeSettings settings;
  FakeMessages messages;
  DuringRun excel;
  FakeFiles files;
  FakeClock clock;
  FakeRandom random;
  FakeStarter starter;
  win32::Program program{{settings, messages, excel, files, clock, &random, &starter}, {false}};

  FakeProgram() {
    settings.values[FakeSettings::Key("Tarnwick", "Quorvane", "BackupCheck")] = "True";
    program.Start();
  }
  filelist::FileList& Files() { return program.Form().ListView1; }
  win32::MainWindow& Window() { return program.Window(); }
  HWND Control(ControlId id) { return Window().Control(id); }
};

// Sets the window to `dpi` and checks that every control lies inside the client
// area, overlaps no other, and that its caption fits the room its kind of
// control leaves for text, in its own font (a wider stand-in for Arial once cut
// the backup box's text and the note off); a caption on a kind not known here
// fails, so none slips past. Gives the client area, then each control's place.
std::vector<RECT> ExpectLaidOut(HWND main, int dpi) {
  RECT outer{};
  ::GetWindowRect(main, &outer);
  ::SendMessageW(main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&outer));
  std::vector<RECT> places(1);
  ::GetClientRect(main, &places[0]);
  for (HWND child = ::GetWindow(main, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    RECT r{};
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
    RECT common{};
    EXPECT_TRUE(::IntersectRect(&common, &r, &places[0]) && ::EqualRect(&common, &r))
        << "control " << places.size() << " outside the client area at " << dpi << " dpi";
    for (std::size_t j = 1; j < places.size(); ++j)
      EXPECT_FALSE(::IntersectRect(&common, &r, &places[j])) << "controls " << j << ", " << places.size();
    places.push_back(r);

    const std::wstring text = WindowText(child);
    if (text.empty()) continue;
    HDC dc = ::GetDC(child);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(child, WM_GETFONT, 0, 0)));
    RECT room{};
    ::GetClientRect(child, &room);
    UINT format = DT_WORDBREAK;
    if (HasClass(child, WC_BUTTONW) && (::GetWindowLongW(child, GWL_STYLE) & BS_PUSHLIKE)) {
      // Inside the frame, below the picture and its margins.
      const int frame = ::GetSystemMetricsForDpi(SM_CXEDGE, dpi) + 1;
      ::InflateRect(&room, -frame, -frame);
      BUTTON_IMAGELIST images{};
      int cx = 0, cy = 0;
      if (::SendMessageW(child, BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)) &&
          ::ImageList_GetIconSize(images.himl, &cx, &cy))
        room.top += cy + images.margin.top + images.margin.bottom;
      format |= DT_CENTER;
    } else if (HasClass(child, WC_BUTTONW)) {
      // One line beside the box, half a character away from it.
      TEXTMETRICW metrics{};
      ::GetTextMetricsW(dc, &metrics);
      room.left += ::GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi) + metrics.tmAveCharWidth / 2;
      format = DT_SINGLELINE;
    } else if (!HasClass(child, WC_STATICW)) {
      ADD_FAILURE() << "a caption on a control this check does not know: " << win32::Narrow(text);
    }
    RECT needed{room.left, room.top, room.right, room.top};
    ::DrawTextW(dc, text.c_str(), -1, &needed, format | DT_EXPANDTABS | DT_CALCRECT);
    ::SelectObject(dc, old);
    ::ReleaseDC(child, dc);
    EXPECT_TRUE(needed.right <= room.right && needed.bottom <= room.bottom)
        << win32::Narrow(text) << " at " << dpi << " dpi";
  }
  return places;
}

// The backup box shows the stored option. While the run works the bar moves
// and input starts nothing; a click or key press queued meanwhile is dropped
// when it ends: it neither answers the closing message nor starts a second
// run. Afterwards the backup box stores at every click.
TEST(Window, InputDuringTheRunStartsNothingThenTheBackupBoxStores) {
  FakeProgram p;
  p.files.files = {"C:\\a.xlsx", "C:\\b.xlsx"};  // backed up before Excel is asked
  for (const auto& file : p.files.files) p.Files().Add(file);
  HWND bar = p.Control(ControlId::ProgressBar1);
  HWND check2 = p.Control(ControlId::Check2);
  HWND check3 = p.Control(ControlId::Check3);
  EXPECT_TRUE(Checked(check3));
  std::vector<long> positions;
  p.excel.action = [&] {
    positions.push_back(static_cast<long>(::SendMessageW(bar, PBM_GETPOS, 0, 0)));
    // A double-click would remove an entry, a click on the box store it.
    for (UINT message : {WM_LBUTTONDBLCLK, WM_LBUTTONUP}) OnRow(p.Control(ControlId::ListView1), message, 0);
    Click(check3);
    Click(check2);
    ::PostMessageW(check2, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    ::PostMessageW(check2, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    ::PostMessageW(check2, WM_KEYDOWN, VK_SPACE, 0x00390001);
    ::PostMessageW(check2, WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001u));
  };
  Click(check2);
  p.excel.action = nullptr;
  Pump();
  EXPECT_EQ(positions, (std::vector<long>{5000, 10000}));
  EXPECT_EQ(p.Files().Count(), 2u);
  EXPECT_TRUE(Checked(check3));
  EXPECT_EQ(p.messages.shown.size(), 1u) << "one run, one closing message";
  EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
  EXPECT_FALSE(Checked(check2));  // the button springs back

  Click(check3);
  Click(check3);
  // The start-up's write, then the two clicks: none from the run.
  EXPECT_EQ(p.settings.writes, (std::vector<std::string>{"True", "False", "True"}));
}

// One window through a DPI change, its list, the system dialogs behind the two
// add buttons and the program's message boxes, then closed.
TEST(Window, ScalesMirrorsTheModelAndTakesInputThroughControlsAndDialogs) {
  const tests::ScratchDir dir("dialogs");
  const auto file = dir.File(L"Łódź budget.xlsx");
  FakeProgram p;
  HWND main = p.Window().Handle();
  // At 144 dpi the client area (the design's, not the size the system
  // suggests) and each control are half as large again as at 96.
  const auto was = ExpectLaidOut(main, 96);
  const auto is = ExpectLaidOut(main, 144);
  ASSERT_TRUE(is.size() == was.size() && was.size() > 1) << "the window and its controls, at each DPI";
  for (std::size_t i = 0; i < was.size(); ++i)
    for (LONG RECT::*edge : {&RECT::left, &RECT::top, &RECT::right, &RECT::bottom})
      EXPECT_NEAR(is[i].*edge, was[i].*edge * 3 / 2, 2) << "place " << i;

  // The list mirrors the model under its one column's header; mouse messages
  // remove and drag entries, a keyboard selection is the model's and a text
  // drag is refused.
  auto& files = p.Files();
  HWND list = p.Control(ControlId::ListView1);
  wchar_t header[64] = {};
  LVCOLUMNW column{LVCF_TEXT, 0, 0, header, 64, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(ListView_GetColumn(list, 0, &column) && !ListView_GetColumn(list, 1, &column));
  EXPECT_STREQ(header, L"Excel File(s)");
  const Texts texts{L"C:\\A.xls", L"C:\\Données\\Łódź 東京.xlsx", L"C:\\B.xlsm", L"C:\\C.xls"};
  for (const auto& text : texts) files.Add(win32::Narrow(text));
  EXPECT_EQ(ListTexts(list), texts);
  for (UINT message : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}) OnRow(list, message, 1);
  EXPECT_EQ(ListTexts(list), (Texts{L"C:\\A.xls", L"C:\\B.xlsm", L"C:\\C.xls"}));
  OnRow(list, WM_LBUTTONDOWN, 0);
  EXPECT_EQ(::GetCapture(), list);
  for (int row = 1; row <= 2; ++row) OnRow(list, WM_MOUSEMOVE, row);
  OnRow(list, WM_LBUTTONUP, 0);
  EXPECT_EQ(ListTexts(list), (Texts{L"C:\\B.xlsm", L"C:\\C.xls", L"C:\\A.xls"}));
  EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 2);
  EXPECT_NE(::GetCapture(), list);
  ListView_SetItemState(list, 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  EXPECT_EQ(files.SelectedIndex(), std::optional<std::size_t>(2));
  EXPECT_EQ(Drop(p.Window(), CF_UNICODETEXT, {L"C:\\looks\\like\\a\\path.xlsx"}), DWORD{DROPEFFECT_NONE});

  std::wstring seen;
  {
    auto answer = Answer(IDOK, [&](HWND dialog) {
      HWND types = ::GetDlgItem(dialog, cmb1);
      seen = WindowText(dialog) + L"; " + std::to_wstring(::SendMessageW(types, CB_GETCOUNT, 0, 0)) + L" " +
             WindowText(types) + (::GetWindow(dialog, GW_OWNER) == main ? L"; owned" : L"") +
             (::IsWindowVisible(::GetDlgItem(dialog, chx1)) ? L"; read-only box" : L"");
      ::SetDlgItemTextW(dialog, cmb13, file.c_str());
    });
    Click(p.Control(ControlId::Check1));
  }
  // The run writes to every file chosen: no "Open as read-only" to tick.
  EXPECT_EQ(seen, L"Add File(s) - Hold Ctrl to select multiple files; 1 Excel Files (*.xl*); owned");
  EXPECT_EQ(ListTexts(list).back(), file.wstring());

  // Cancel appends nothing, in either dialog; the picker's prompt is one of its texts.
  seen.clear();
  for (ControlId button : {ControlId::Check1, ControlId::Check4}) {
    auto answer = Answer(IDCANCEL, [&](HWND dialog) {
      seen += L"|";
      for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if (WindowText(child) == L"Please select folder to add:") seen += L"prompt";
    });
    Click(p.Control(button));
  }
  EXPECT_EQ(seen, L"||prompt");
  EXPECT_EQ(files.Count(), 4u);

  // A box is titled, modal to the window, asks with the buttons wanted and
  // gives the user's answer (the OK box is the end-to-end run's).
  win32::Win32MessageBoxes boxes(main);
  for (const auto& [press, answer] : {std::pair{IDNO, base::MessageAnswer::No}, {IDYES, base::MessageAnswer::Yes}}) {
    {
      auto handler = Answer(press, [&](HWND box) {
        seen = WindowText(box) + L": " + WindowText(::GetDlgItem(box, 0xFFFF)) +
               (::IsWindowEnabled(main) ? L"" : L"; owner disabled") + (::GetDlgItem(box, IDNO) ? L"; No" : L"");
      });
      EXPECT_EQ(boxes.Show("Excel may be open.\r\n\r\nProceed?", base::MessageButtons::YesNo), answer);
    }
    EXPECT_EQ(seen, L"Quorvane: Excel may be open.\r\n\r\nProceed?; owner disabled; No");
  }
  EXPECT_TRUE(::IsWindowEnabled(main));

  // The model outlives the controls.
  ::SendMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(p.Window().Handle(), nullptr);
  files.Add("C:\\b.xls");
  p.program.Form().ProgressBar1.Set(50.0);
  EXPECT_EQ(files.Count(), 5u);
}

// quorvane.exe shows its window and ends when the window is closed, asking nothing.
TEST(Program, StartsShowsItsWindowAndEndsOnClose) {
  wchar_t tests[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, tests, MAX_PATH);
  const fs::path exe = fs::path(tests).parent_path() / L"quorvane.exe";
  const intptr_t started = ::_wspawnl(_P_NOWAIT, exe.c_str(), L"quorvane", nullptr);
  ASSERT_NE(started, -1);
  win32::UniqueHandle process(reinterpret_cast<HANDLE>(started));
  const auto isMain = [](HWND h) { return ::IsWindowVisible(h) && HasClass(h, win32::kWindowClass); };
  HWND main = WaitForWindow(::GetProcessId(process.get()), isMain);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(WindowText(main), L"Quorvane");
  ::PostMessageW(main, WM_CLOSE, 0, 0);
  ASSERT_EQ(::WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
  DWORD code = 1;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 0u);
}

// The real listing's attributes, which the walk (tested on fakes) decides by.
TEST(DirectoryListing, AttributesOfARealFolder) {
  const tests::ScratchDir dir("listing");
  dir.File("a.xls");
  ::SetFileAttributesW(dir.File("hidden.xlsx").c_str(), FILE_ATTRIBUTE_HIDDEN);
  ::SetFileAttributesW(dir.File("system.xlsm").c_str(), FILE_ATTRIBUTE_SYSTEM);
  fs::create_directory(dir / "SystemDir");
  ::SetFileAttributesW((dir / "SystemDir").c_str(), FILE_ATTRIBUTE_SYSTEM);
  const std::string root = win32::Narrow(dir.Path().wstring());
  win32::Win32DirectoryListing listing;
  std::map<std::string, std::string> seen;
  for (auto scan = listing.Open(root); auto entry = scan->Next();) {
    const auto& a = entry->attributes.value();
    seen[entry->name] = std::string(a.directory ? "d" : "") + (a.hidden ? "h" : "") + (a.system ? "s" : "");
  }
  EXPECT_EQ(seen, (std::map<std::string, std::string>{
                      {".", "d"}, {"..", "d"}, {"a.xls", ""}, {"hidden.xlsx", "h"}, {"system.xlsm", "s"},
                      {"SystemDir", "ds"}}));
  EXPECT_THROW(listing.Open(root + "\\no such folder"), std::exception);
}

TEST(OpenDialog, FilterAndResultBuffers) {
  EXPECT_EQ(win32::DialogFilter(L"A|*.a"), std::wstring(L"A\0*.a\0\0", 7));
  const std::pair<std::wstring, std::wstring> cases[] = {
      {std::wstring(L"C:\\Data\\Book1.xls\0\0garbage", 26), L"C:\\Data\\Book1.xls"},
      {std::wstring(L"C:\\Data\0a.xls\0b.xlsx\0\0garbage", 29), std::wstring(L"C:\\Data\0a.xls\0b.xlsx", 20)},
      {L"abcd", L"abcd"},  // filled to its end without the closing NULs
  };
  for (const auto& [buffer, result] : cases) EXPECT_EQ(win32::DialogResult(buffer.data(), buffer.size()), result);
}

TEST(MessagePump, RunsWaitingMessagesAndStopsForGoodAtQuit) {
  bool ending = false;
  HWND none = nullptr;
  win32::Win32MessagePump pump(none, ending);
  for (int i = 0; i < 2; ++i) ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0);
  EXPECT_TRUE(pump.Yield());
  MSG msg;
  EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_NOREMOVE));
  ending = true;  // the window is going
  EXPECT_FALSE(pump.Yield());
  ending = false;
  ::PostQuitMessage(7);
  EXPECT_FALSE(pump.Yield());
  // The quit was put back for the outer loop.
  EXPECT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) && msg.wParam == 7);
}

// An installed Excel that fails to start fails the workbook: the built-in
// engine stands in only where Excel is not installed (the end-to-end run's).
TEST(EngineChoice, AnInstalledExcelThatFailsIsNotReplaced) {
  FakeExcel excel;
  FakeExcel builtin;
  excel.failOn = "Create";
  EXPECT_THROW(win32::EngineChoice(excel, builtin).Create(), base::AutomationError);
  EXPECT_EQ(builtin.created, 0);
}

// The window's client area as on the screen (PrintWindow leaves the controls
// out under Wine), a 24-bit BMP for people to look at the layout.
void SaveScreenshot(HWND window) {
  const wchar_t* folder = ::_wgetenv(L"QUORVANE_ARTIFACTS");
  const fs::path file = (folder ? fs::path(folder) : fs::path(L"build") / L"artifacts") / L"window.bmp";
  RECT r{};
  ::GetClientRect(window, &r);
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  HDC screen = ::GetDC(window);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, r.right, r.bottom);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, r.right, r.bottom, screen, 0, 0, SRCCOPY);
  BITMAPINFOHEADER info{sizeof info, r.right, r.bottom, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  std::string pixels(static_cast<std::size_t>((r.right * 3 + 3) & ~3) * r.bottom, '\0');
  ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(r.bottom), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
  ::SelectObject(memory, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(window, screen);
  const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof info;
  const BITMAPFILEHEADER header{0x4D42, offset + static_cast<DWORD>(pixels.size()), 0, 0, offset};
  tests::WriteBytes(file, std::string(reinterpret_cast<const char*>(&header), sizeof header) +
                              std::string(reinterpret_cast<const char*>(&info), sizeof info) + pixels);
}

// The program as a user drives it, on a machine without Excel: workbooks named
// outside the code page are dropped onto the list, the backup box is ticked,
// "Remove File Links" is pressed and the closing box answered.
TEST(EndToEnd, RemoveFileLinksWithBackupsOverDroppedWorkbooks) {
  const tests::ScratchDir dir("end-to-end");
  const std::pair<fs::path, std::string> books[] = {{dir / L"Budget 東京.xlsx", "42"}, {dir / L"Résumé été.xlsx", "7"}};
  for (const auto& [book, value] : books) {
    const std::string cell = "<row r=\"1\"><c r=\"A1\"><v>" + value + "</v></c></row>";
    WorkbookBuilder()
        .AddBookLink({"Sources.xlsx", {"Sheet1"}, "<sheetData sheetId=\"0\">" + cell + "</sheetData>"})
        .AddSheet("Sheet1", "<row r=\"1\"><c r=\"A1\"><f>[1]Sheet1!A1</f><v>" + value + "</v></c></row>")
        .Write(book);
  }
  const std::string_view oldBytes = "\xD0\xCF\x11\xE0 not a package";
  const fs::path old = dir.File(L"Ancien 東京.xls", oldBytes);
  std::map<std::wstring, std::string> before;
  for (const auto& entry : fs::directory_iterator(dir.Path()))
    before[entry.path().filename().wstring()] = tests::ReadBytes(entry.path());

  // The real services, the settings in a key of the test's own.
  win32::RegistrySettings settings(HKEY_CURRENT_USER, L"Software\\Quorvane window test");
  win32::Win32MessageBoxes boxes(nullptr);
  win32::ComExcel excel;
  ooxml::BuiltinAutomation builtin;
  win32::EngineChoice automation(excel, builtin);
  win32::Win32FileCopier copier;
  win32::Win32RegionalClock clock;
  FakeRandom random;  // never draws the site visit
  FakeStarter starter;
  win32::Program program({settings, boxes, automation, copier, clock, &random, &starter}, {false});
  program.Start();
  HWND main = program.Window().Handle();
  boxes.SetOwner(main);

  const Texts paths{books[0].first.wstring(), books[1].first.wstring(), old.wstring()};
  EXPECT_EQ(Drop(program.Window(), CF_HDROP, paths), DWORD{DROPEFFECT_COPY});
  ASSERT_EQ(ListTexts(program.Window().Control(ControlId::ListView1)), paths);
  if (HWND check3 = program.Window().Control(ControlId::Check3); !Checked(check3)) Click(check3);
  Pump();
  SaveScreenshot(main);

  std::wstring text;
  {
    auto answer = Answer(IDOK, [&](HWND box) { text = WindowText(::GetDlgItem(box, 0xFFFF)); });
    Click(program.Window().Control(ControlId::Check2));
  }
  // Only the old file is listed, its reason below it.
  const std::string message = win32::Narrow(text);
  EXPECT_EQ(message.substr(0, message.find("\r\n    ")),
            "Done.\r\n\r\n1 of 3 workbooks could not be processed:\r\n" + win32::Narrow(old.wstring()));

  for (const auto& [book, value] : books) {
    EXPECT_TRUE(ooxml::Workbook::Open(book).BookSources().empty());
    EXPECT_NE(ReadPackage(book).at("xl/worksheets/sheet1.xml").find("<v>" + value + "</v>"), std::string::npos);
  }
  // One backup beside each, the file as it was; nothing else is left behind.
  Texts names;
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    std::wstring name = entry.path().filename().wstring();
    if (const auto infix = name.find(L" Backup "); infix != std::wstring::npos) {
      const std::size_t dot = name.rfind(L'.');
      EXPECT_EQ(tests::ReadBytes(entry.path()), before.at(name.substr(0, infix) + name.substr(dot)));
      name.replace(infix + 8, dot - infix - 8, L"*");
    }
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Texts{L"Ancien 東京 Backup *.xls", L"Ancien 東京.xls", L"Budget 東京 Backup *.xlsx",
                          L"Budget 東京.xlsx", L"Résumé été Backup *.xlsx", L"Résumé été.xlsx"}));
  EXPECT_EQ(tests::ReadBytes(old), oldBytes);
  EXPECT_EQ(settings.GetSetting("Tarnwick", "Quorvane", "BackupCheck"), "True");
  ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quorvane window test");
}

}  // namespace
}  // namespace quorvane::testing

int main(int argc, char** argv) {
  if (FAILED(::OleInitialize(nullptr))) return 2;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES |
                                                     ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  ::OleUninitialize();
  return result;
}
