// The real window under Wine, in the test's own thread with in-memory services
// where a test does not need the real ones: what its controls show and how
// input on them reaches the model (the window's logic is tested on the model),
// its looks at two DPIs, drops, the system dialogs, the pointer files, the
// platform services, quorvane.exe as its own process, and a run end to end.
#include <windows.h>
#undef Yield
#include <commctrl.h>
#include <dlgs.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fakes/FakeExcel.h"
#include "fakes/FakeServices.h"
#include "filelist/AddFolder.h"
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
#include "win32/window/MessagePump.h"
#include "win32/window/OpenDialog.h"
#include "win32/window/Program.h"
#include "win32/window/Shell.h"
#include "win32/window/Window.h"

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

LRESULT Mouse(HWND control, UINT message, POINT at, WPARAM keys = 0) {
  return ::SendMessageW(control, message, keys, MAKELPARAM(at.x, at.y));
}
void Click(HWND button) { ::SendMessageW(button, BM_CLICK, 0, 0); }
bool Checked(HWND button) { return ::SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED; }
// The pointer the control shows now.
HCURSOR CursorShownOver(HWND control) {
  ::SendMessageW(control, WM_SETCURSOR, reinterpret_cast<WPARAM>(control), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  return ::GetCursor();
}

// Centre of a row of the list, in the list's client coordinates.
POINT RowCentre(HWND list, int row) {
  RECT r{};
  ListView_GetItemRect(list, row, &r, LVIR_BOUNDS);
  return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// A minimal IDataObject offering one HGLOBAL format.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class OneFormatData final : public IDataObject {
 public:
  OneFormatData(CLIPFORMAT format, std::vector<char> bytes) : format_(format), bytes_(std::move(bytes)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = riid == IID_IUnknown || riid == IID_IDataObject ? static_cast<IDataObject*>(this) : nullptr;
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  // Lives on the test's stack; the counts only have to balance.
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (QueryGetData(format) != S_OK) return DV_E_FORMATETC;
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes_.size());
    std::copy(bytes_.begin(), bytes_.end(), static_cast<char*>(::GlobalLock(memory)));
    ::GlobalUnlock(memory);
    *medium = STGMEDIUM{};
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = memory;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
    return format->cfFormat == format_ && (format->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_FORMATETC;
  }
  // Nothing else of IDataObject is asked of a drop source's data.
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

  ULONG references() const { return references_; }

 private:
  CLIPFORMAT format_;
  std::vector<char> bytes_;
  ULONG references_ = 1;
};
#pragma GCC diagnostic pop

// CF_HDROP: DROPFILES followed by the wide paths, each NUL-ended, and a
// closing NUL. CF_UNICODETEXT: the text and its NUL.
OneFormatData DropData(CLIPFORMAT format, const Texts& items) {
  std::wstring list;
  for (const auto& item : items) list += item + L'\0';
  if (format == CF_UNICODETEXT) list.pop_back();
  list += L'\0';
  DROPFILES header{};
  header.pFiles = sizeof header;
  header.fWide = TRUE;
  const std::size_t at = format == CF_HDROP ? sizeof header : 0;
  std::vector<char> bytes(at + list.size() * sizeof(wchar_t));
  std::memcpy(bytes.data(), &header, at);
  std::memcpy(bytes.data() + at, list.data(), list.size() * sizeof(wchar_t));
  return OneFormatData(format, std::move(bytes));
}

bool HasClass(HWND hwnd, const wchar_t* name) {
  wchar_t buffer[64] = {};
  ::GetClassNameW(hwnd, buffer, 64);
  return std::wstring(buffer) == name;
}

// The first top-level window of the process that the test accepts, waiting
// up to 20 s (or until told to stop) for it.
HWND WaitForWindow(DWORD process, const std::function<bool(HWND)>& accept, const std::atomic<bool>* stop = nullptr) {
  for (int i = 0; i < 400 && !(stop && *stop); ++i, ::Sleep(50))
    for (HWND h = ::FindWindowExW(nullptr, nullptr, nullptr, nullptr); h;
         h = ::FindWindowExW(nullptr, h, nullptr, nullptr)) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(h, &owner);
      if (owner == process && accept(h)) return h;
    }
  return nullptr;
}

bool IsDialog(HWND h) { return ::IsWindowVisible(h) && HasClass(h, L"#32770"); }

// Waits on a thread of its own for the first dialog of this process and
// hands it to `act` there, while the test's thread sits in the modal loop.
class DialogHandler {
 public:
  explicit DialogHandler(std::function<void(HWND)> act) : act_(std::move(act)), thread_([this] { Run(); }) {}
  DialogHandler(const DialogHandler&) = delete;
  DialogHandler& operator=(const DialogHandler&) = delete;
  ~DialogHandler() {
    stop_ = true;
    thread_.join();
  }
  bool Handled() const { return handled_; }

 private:
  void Run() {
    HWND dialog = WaitForWindow(::GetCurrentProcessId(), IsDialog, &stop_);
    if (!dialog) return;
    ::Sleep(200);  // let the dialog finish filling itself
    act_(dialog);
    handled_ = true;
  }
  std::function<void(HWND)> act_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> handled_{false};
  std::thread thread_;
};

// The program with fakes behind the services that are not under test. The
// dice never draw the site visit.
struct FakeProgram {
  FakeSettings settings;
  FakeMessages messages;
  FakeExcel excel;
  FakeFiles files;
  FakeClock clock;
  FakeRandom random;
  FakeStarter starter;
  std::unique_ptr<win32::Program> program;

  explicit FakeProgram(base::ExcelAutomation* automation = nullptr, const char* storedBackupOption = nullptr) {
    if (storedBackupOption)
      settings.values[FakeSettings::Key("Tarnwick", "Quorvane", "BackupCheck")] = storedBackupOption;
    program = std::make_unique<win32::Program>(
        win32::ProgramServices{settings, messages, automation ? *automation : excel, files, clock, &random, &starter},
        win32::WindowOptions{false});
    program->Start();
    messages.pointer = &Form().MousePointer;
    messages.progress = &Form().ProgressBar1;
    Pump();
  }
  app::Form1& Form() { return program->Form(); }
  filelist::FileList& Files() { return program->Form().ListView1; }
  win32::MainWindow& Window() { return program->Window(); }
  HWND Control(ControlId id) { return Window().Control(id); }
  HWND List() { return Control(ControlId::ListView1); }
};

// The list's one column carries the model's header; the tooltip and the tab
// order are the window's.
TEST(Window, FocusHeaderTooltipAndTabOrder) {
  FakeProgram p;
  HWND main = p.Window().Handle();
  HWND list = p.List();
  EXPECT_EQ(::GetFocus(), list);
  wchar_t header[64] = {};
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT;
  column.pszText = header;
  column.cchTextMax = 64;
  EXPECT_TRUE(ListView_GetColumn(list, 0, &column) && !ListView_GetColumn(list, 1, &column));
  EXPECT_STREQ(header, L"Excel File(s)");
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
  for (std::size_t i = 0; i + 1 < order.size(); ++i)
    EXPECT_EQ(::GetNextDlgTabItem(main, order[i], FALSE), order[i + 1]) << i;
  EXPECT_EQ(::GetNextDlgTabItem(main, list, TRUE), p.Control(ControlId::Check4));
}

// Every child with a caption against the room its kind of control leaves for
// text, in the control's own font (a wider stand-in for Arial once cut the
// backup box's text and the note off). A caption on a kind not known here
// fails, so no control slips past.
void ExpectCaptionsFit(HWND main, int dpi) {
  int checked = 0;
  for (HWND child = ::GetWindow(main, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring text = WindowText(child);
    if (text.empty()) continue;
    HDC dc = ::GetDC(child);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(child, WM_GETFONT, 0, 0)));
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
      ::GetTextMetricsW(dc, &metrics);
      room.cx -= ::GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi) + metrics.tmAveCharWidth / 2;
      format = DT_SINGLELINE;
    } else if (!HasClass(child, WC_STATICW)) {
      ADD_FAILURE() << "a caption on a control this check does not know: " << win32::Narrow(text);
    }
    RECT needed{0, 0, room.cx, 0};
    ::DrawTextW(dc, text.c_str(), -1, &needed, format | DT_EXPANDTABS | DT_CALCRECT);
    wchar_t face[LF_FACESIZE] = {};
    ::GetTextFaceW(dc, LF_FACESIZE, face);
    ::SelectObject(dc, old);
    ::ReleaseDC(child, dc);
    const std::string where = win32::Narrow(text) + " at " + std::to_string(dpi) + " dpi in " + win32::Narrow(face);
    EXPECT_TRUE(needed.right <= room.cx && needed.bottom <= room.cy) << where;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

// Every control's place in the window's client area, then the size of each
// button picture.
std::vector<RECT> Places(HWND main) {
  std::vector<RECT> places;
  for (HWND child = ::GetWindow(main, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    RECT r{};
    ::GetWindowRect(child, &r);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
    places.push_back(r);
    BUTTON_IMAGELIST images{};
    int cx = 0, cy = 0;
    if (::SendMessageW(child, BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)) &&
        ::ImageList_GetIconSize(images.himl, &cx, &cy))
      places.push_back({0, 0, cx, cy});
  }
  return places;
}

// At 144 dpi every control is where it was at 96, half as large again, its
// picture too, and every caption still fits.
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
    if (dpi == 96) at96 = Places(main);
  }
  const std::vector<RECT> at144 = Places(main);
  ASSERT_EQ(at144.size(), at96.size());
  for (std::size_t i = 0; i < at96.size(); ++i) {
    const LONG was[] = {at96[i].left, at96[i].top, at96[i].right, at96[i].bottom};
    const LONG is[] = {at144[i].left, at144[i].top, at144[i].right, at144[i].bottom};
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(is[k], was[k] * 3 / 2, 2) << "place " << i << ", edge " << k;
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

// Input sent while the run works starts nothing; a click or key press queued
// meanwhile is dropped when it ends: it neither answers the closing message
// nor starts a second run. Afterwards the backup box stores at every click.
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
    ::PostMessageW(check2, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    ::PostMessageW(check2, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    ::PostMessageW(check2, WM_KEYDOWN, VK_SPACE, 0x00390001);
    ::PostMessageW(check2, WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001u));
  };
  Click(check2);
  automation.action = nullptr;
  Pump();
  EXPECT_EQ(positions, (std::vector<long>{5000, 10000}));
  EXPECT_EQ(p.Files().Count(), 2u);
  EXPECT_TRUE(p.settings.writes.empty());
  EXPECT_FALSE(Checked(check3));
  EXPECT_EQ(p.messages.shown.size(), 1u) << "one run, one closing message";
  EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
  EXPECT_FALSE(Checked(check2));  // the button springs back

  Click(check3);
  EXPECT_TRUE(Checked(check3));
  Click(check3);
  EXPECT_EQ(p.settings.writes, (std::vector<std::string>{"True", "False"}));
  FakeProgram second(nullptr, "True");  // a stored "True" shows ticked
  EXPECT_TRUE(Checked(second.Control(ControlId::Check3)));
}

TEST(Window, ListMirrorsTheModelMouseRemovesAndDragsAndClosingEnds) {
  FakeProgram p;
  auto& files = p.Files();
  const Texts texts{L"C:\\A.xls", L"C:\\Données\\Łódź 東京.xlsx", L"C:\\B.xlsm", L"C:\\C.xls"};
  for (const auto& text : texts) files.Add(win32::Narrow(text));
  HWND list = p.List();
  EXPECT_EQ(ListTexts(list), texts);
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

// A file list is taken as a copy and appended in order after the entries; a
// text drag is refused at every step and drops nothing.
TEST(Drop, FileListsAreAppendedAndTextIsRefused) {
  FakeProgram p;
  p.Files().Add("C:\\first.xls");
  IDropTarget* target = p.Window().DropTarget();
  ASSERT_NE(target, nullptr);
  const Texts paths{L"C:\\Données\\Łódź.xlsx", L"D:\\日本\\報告 Q3.xls", L"C:\\Folder", L"C:\\first.xls"};
  struct Case {
    OneFormatData data;
    DWORD effect;
  } cases[] = {{DropData(CF_UNICODETEXT, {L"C:\\looks\\like\\a\\path.xlsx"}), DROPEFFECT_NONE},
               {DropData(CF_HDROP, paths), DROPEFFECT_COPY}};
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
  EXPECT_EQ(ListTexts(p.List()), (Texts{L"C:\\first.xls", paths[0], paths[1], paths[2], paths[3]}));
}

// The system dialogs behind the two add buttons, answered from a second
// thread while the window's thread sits in their modal loop.
TEST(Dialogs, OpenDialogAndFolderPicker) {
  const tests::ScratchDir dir("dialogs");
  const auto file = dir.File(L"Łódź budget.xlsx");
  FakeProgram p;
  HWND main = p.Window().Handle();
  HWND check1 = p.Control(ControlId::Check1);

  std::wstring seen;
  {
    DialogHandler handler([&](HWND dialog) {
      HWND types = ::GetDlgItem(dialog, cmb1);
      wchar_t filter[64] = {};
      ::SendMessageW(types, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(filter));
      seen = WindowText(dialog) + L"; " + std::to_wstring(::SendMessageW(types, CB_GETCOUNT, 0, 0)) + L" " + filter +
             (::GetWindow(dialog, GW_OWNER) == main ? L"; owned" : L"") +
             (::IsWindowVisible(::GetDlgItem(dialog, chx1)) ? L"; read-only box" : L"");
      ::SetDlgItemTextW(dialog, cmb13, file.c_str());
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    Click(check1);
    EXPECT_TRUE(handler.Handled());
  }
  // The run writes to every file chosen: no "Open as read-only" to tick.
  EXPECT_EQ(seen, L"Add File(s) - Hold Ctrl to select multiple files; 1 Excel Files (*.xl*); owned");
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

// The program's message boxes: titled, modal to the window, with the buttons
// asked for, giving the user's answer.
TEST(MessageBoxes, AppModalBoxesWithTheTitleAndTheUsersAnswer) {
  FakeProgram p;
  HWND owner = p.Window().Handle();
  win32::Win32MessageBoxes boxes(owner);
  const struct {
    const char* text;
    base::MessageButtons buttons;
    int press;
    base::MessageAnswer answer;
    const wchar_t* seen;
  } cases[] = {{"Excel may be open.\r\n\r\nProceed?", base::MessageButtons::YesNo, IDNO, base::MessageAnswer::No,
                L"Quorvane: Excel may be open.\r\n\r\nProceed?; owner disabled; Yes"},
               {"Sure?", base::MessageButtons::YesNo, IDYES, base::MessageAnswer::Yes,
                L"Quorvane: Sure?; owner disabled; Yes"},
               {"Done.", base::MessageButtons::Ok, IDOK, base::MessageAnswer::Ok, L"Quorvane: Done.; owner disabled; OK"}};
  for (const auto& c : cases) {
    std::wstring seen;
    {
      DialogHandler handler([&](HWND box) {
        seen = WindowText(box) + L": " + WindowText(::GetDlgItem(box, 0xFFFF)) +
               (::IsWindowEnabled(owner) ? L"" : L"; owner disabled") + (::GetDlgItem(box, IDYES) ? L"; Yes" : L"") +
               (::GetDlgItem(box, IDOK) ? L"; OK" : L"");
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(c.press, BN_CLICKED), 0);
      });
      EXPECT_EQ(boxes.Show(c.text, c.buttons), c.answer) << c.text;
    }
    EXPECT_EQ(seen, c.seen);
  }
  EXPECT_TRUE(::IsWindowEnabled(owner));
}

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

fs::path ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

POINT HotSpot(HCURSOR cursor) {
  ICONINFO info{};
  if (!::GetIconInfo(cursor, &info)) return {-1, -1};
  if (info.hbmMask) ::DeleteObject(info.hbmMask);
  if (info.hbmColor) ::DeleteObject(info.hbmColor);
  return {static_cast<LONG>(info.xHotspot), static_cast<LONG>(info.yHotspot)};
}

// The pointer images read from the program's folder: HAND-M.CUR for the
// window's custom pointer, drag.ico for the list's. With an unreadable
// HAND-M.CUR the system's hand stands in (that nobody is told is the model's).
TEST(PointerFiles, HandAndDragImagesFromTheProgramFolderOrTheSystemsOwn) {
  const fs::path folder = ProgramFolder();
  const struct Removed {
    fs::path folder;
    ~Removed() {
      std::error_code ignored;
      for (const auto* name : {L"HAND-M.CUR", L"drag.ico"}) fs::remove(folder / name, ignored);
    }
  } removed{folder};
  tests::WriteBytes(folder / "HAND-M.CUR", "not a cursor at all");
  {
    FakeProgram p;
    HWND check2 = p.Control(ControlId::Check2);
    Mouse(check2, WM_MOUSEMOVE, {5, 5});
    EXPECT_EQ(CursorShownOver(check2), ::LoadCursorW(nullptr, IDC_HAND));
    p.Form().MousePointer.Set(base::kPointerHourglass);
    EXPECT_EQ(CursorShownOver(p.List()), ::LoadCursorW(nullptr, IDC_WAIT));
  }
  tests::WriteBytes(folder / "HAND-M.CUR", PointerFile(2, 3, 5));
  tests::WriteBytes(folder / "drag.ico", PointerFile(1, 0, 0));
  FakeProgram p;
  HWND check1 = p.Control(ControlId::Check1);
  Mouse(check1, WM_MOUSEMOVE, {5, 5});
  const HCURSOR hand = CursorShownOver(check1);
  EXPECT_NE(hand, ::LoadCursorW(nullptr, IDC_HAND));
  const POINT spot = HotSpot(hand);
  EXPECT_TRUE(spot.x == 3 && spot.y == 5) << spot.x << "," << spot.y;

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
  fs::remove(folder / "drag.ico");
  Mouse(list, WM_LBUTTONDOWN, row, MK_LBUTTON);
  EXPECT_EQ(CursorShownOver(list), drag);
  Mouse(list, WM_LBUTTONUP, row);
}

// quorvane.exe shows its window and ends when the window is closed.
TEST(Program, StartsShowsItsWindowAndEndsOnClose) {
  const fs::path exe = ProgramFolder() / L"quorvane.exe";
  if (!fs::exists(exe)) GTEST_SKIP() << "quorvane.exe is not beside the tests";
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
  ::PostMessageW(main, WM_CLOSE, 0, 0);
  ASSERT_EQ(::WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
  DWORD code = 1;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 0u);
}

// The platform services against the real system.
TEST(DirectoryListing, AttributesAndNamesOfARealFolder) {
  const tests::ScratchDir dir("listing");
  const std::string root = win32::Narrow(dir.Path().wstring());
  dir.File(L"Łódź 東京\\ü.xlsm");
  const std::tuple<const wchar_t*, DWORD> entries[] = {
      {L"a.xls", 0}, {L"hidden.xlsx", FILE_ATTRIBUTE_HIDDEN}, {L"system.xlsm", FILE_ATTRIBUTE_SYSTEM},
      {L"HiddenDir", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY},
      {L"SystemDir", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY}};
  for (const auto& [name, attributes] : entries) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) fs::create_directory(dir / name);
    else dir.File(name);
    ::SetFileAttributesW((dir / name).c_str(), attributes);
  }

  // What the walk decides by; the walk itself is tested on fakes.
  win32::Win32DirectoryListing listing;
  auto scan = listing.Open(root);
  std::map<std::string, filelist::FileAttributes> seen;
  while (auto entry = scan->Next()) {
    ASSERT_TRUE(entry->attributes.has_value());
    seen[entry->name] = *entry->attributes;
  }
  for (const auto& [name, attributes] : entries) {
    const auto& a = seen[win32::Narrow(name)];
    EXPECT_EQ(a.directory + 2 * a.hidden + 4 * a.system,
              !!(attributes & FILE_ATTRIBUTE_DIRECTORY) + 2 * !!(attributes & FILE_ATTRIBUTE_HIDDEN) +
                  4 * !!(attributes & FILE_ATTRIBUTE_SYSTEM)) << win32::Narrow(name);
  }
  EXPECT_TRUE(seen[win32::Narrow(L"Łódź 東京")].directory);
  EXPECT_TRUE(seen.count("."));  // the walk itself skips the dot entries
  EXPECT_THROW(listing.Open(root + "\\no such folder"), std::exception);

  // Names outside the code page go both ways; names are joined with a backslash.
  const std::string unicode = listing.Join(root, win32::Narrow(L"Łódź 東京"));
  EXPECT_EQ(unicode, root + win32::Narrow(L"\\Łódź 東京"));
  EXPECT_EQ(filelist::ListFiles(listing, unicode, filelist::kWorkbookPattern),
            std::vector<std::string>{win32::Narrow(L"ü.xlsm")});
}

TEST(OpenDialog, FilterAndResultBuffers) {
  EXPECT_EQ(win32::DialogFilter(L"Excel Files (*.xl*)|*.xl*|"), std::wstring(L"Excel Files (*.xl*)\0*.xl*\0\0", 27));
  EXPECT_EQ(win32::DialogFilter(L"A|*.a"), std::wstring(L"A\0*.a\0\0", 7));
  const struct {
    std::wstring buffer, result;
  } cases[] = {
      {std::wstring(L"C:\\Data\\Book1.xls\0\0garbage", 26), L"C:\\Data\\Book1.xls"},
      {std::wstring(L"C:\\Data\0a.xls\0b.xlsx\0\0garbage", 29), std::wstring(L"C:\\Data\0a.xls\0b.xlsx", 20)},
      {std::wstring(L"\0\0", 2), L""},
      {L"abcd", L"abcd"},  // filled to its end without the closing NULs
  };
  for (const auto& c : cases) EXPECT_EQ(win32::DialogResult(c.buffer.data(), c.buffer.size()), c.result);
}

TEST(MessagePump, RunsWaitingMessagesAndStopsForGoodAtQuit) {
  bool ending = false;
  HWND none = nullptr;
  win32::Win32MessagePump pump(none, ending);
  HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  ::PostMessageW(window, WM_NULL, 0, 0);
  ::PostMessageW(window, WM_NULL, 0, 0);
  EXPECT_TRUE(pump.Yield());
  MSG msg;
  EXPECT_FALSE(::PeekMessageW(&msg, window, 0, 0, PM_NOREMOVE));

  ::PostQuitMessage(7);
  EXPECT_FALSE(pump.Yield());
  EXPECT_FALSE(pump.Yield());  // and stays stopped
  // The quit was put back for the outer loop.
  ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);

  win32::Win32MessagePump second(none, ending);
  ending = true;
  EXPECT_FALSE(second.Yield());
  ::DestroyWindow(window);
}

// Excel when installed, else the built-in engine; an installed Excel that
// fails to start fails the workbook. Only a running Excel is asked about.
TEST(EngineChoice, ExcelWhenInstalledOtherwiseTheBuiltInEngine) {
  FakeExcel excel;
  FakeExcel builtin;
  win32::EngineChoice choice(excel, builtin);
  EXPECT_NE(choice.Create(), nullptr);
  EXPECT_EQ(excel.created, 1);
  excel.failOn = "Create";
  EXPECT_THROW(choice.Create(), base::AutomationError);
  EXPECT_EQ(builtin.created, 0);
  excel.notInstalled = true;
  EXPECT_NE(choice.Create(), nullptr);
  EXPECT_EQ(builtin.created, 1);
  builtin.running = true;
  EXPECT_THROW(choice.GetRunning(), base::AutomationError);
}

TEST(Shell, FileDatesAndStartingWithoutWaiting) {
  const tests::ScratchDir dir("shell");
  const std::string root = win32::Narrow(dir.Path().wstring());
  win32::Win32FileDates dates;
  EXPECT_NO_THROW(dates.LastModified(win32::Narrow(dir.File(L"Łódź.xls").wstring())));
  EXPECT_NO_THROW(dates.LastModified(root));
  EXPECT_THROW(dates.LastModified(root + "\\missing.xls"), std::exception);
  EXPECT_THROW(dates.LastModified(""), std::exception);
  win32::Win32ProgramStarter starter;
  EXPECT_NO_THROW(starter.Shell("cmd.exe /c exit 0", 2));
  EXPECT_THROW(starter.Shell("no-such-program-quorvane.exe", 2), std::exception);
}

// The window's client area as on the screen (PrintWindow leaves the controls
// out under Wine), a 24-bit BMP for people to look at the layout.
void SaveScreenshot(HWND window) {
  wchar_t folder[MAX_PATH] = {};
  const fs::path file = (::GetEnvironmentVariableW(L"QUORVANE_ARTIFACTS", folder, MAX_PATH) > 0
                             ? fs::path(folder) : fs::path(L"build") / L"artifacts") / L"window.bmp";
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

// A workbook whose A1 links to A1 of another, showing `value`.
void LinkedBook(const fs::path& path, const std::string& value) {
  WorkbookBuilder book;
  const std::string cell = "<row r=\"1\"><cell r=\"A1\"><v>" + value + "</v></cell></row>";
  book.AddBookLink({"Sources.xlsx", {"Sheet1"}, "<sheetData sheetId=\"0\">" + cell + "</sheetData>"});
  book.AddSheet("Sheet1", "<row r=\"1\"><c r=\"A1\"><f>[1]Sheet1!A1</f><v>" + value + "</v></c></row>");
  book.Write(path);
}

// The program as a user drives it, on a machine without Excel: workbooks are
// dropped onto the list, the backup box is ticked, "Remove File Links" is
// pressed and the closing message box is answered like a user would.
TEST(EndToEnd, RemoveFileLinksWithBackupsOverDroppedWorkbooks) {
  const tests::ScratchDir dir("end-to-end");
  const fs::path folder = dir / L"Rapports été";
  fs::create_directory(folder);
  const fs::path one = folder / L"Budget.xlsx";
  const fs::path two = folder / L"Résumé.xlsx";
  const fs::path old = folder / L"Old.xls";
  LinkedBook(one, "42");
  LinkedBook(two, "7");
  const std::string oldBytes("\xD0\xCF\x11\xE0 not a package", 20);
  tests::WriteBytes(old, oldBytes);

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
  boxes.SetOwner(program.Window().Handle());

  OneFormatData drag = DropData(CF_HDROP, {one.wstring(), two.wstring(), old.wstring()});
  POINTL at{20, 20};
  DWORD effect = DROPEFFECT_COPY;
  program.Window().DropTarget()->DragEnter(&drag, MK_LBUTTON, at, &effect);
  program.Window().DropTarget()->Drop(&drag, 0, at, &effect);
  ASSERT_EQ(program.Form().ListView1.Count(), 3u);
  HWND check3 = program.Window().Control(ControlId::Check3);
  if (!Checked(check3)) Click(check3);
  ASSERT_EQ(program.Form().Check3.Value(), 1);
  Pump();
  SaveScreenshot(program.Window().Handle());

  std::wstring text;
  {
    DialogHandler answer([&](HWND box) {
      text = WindowText(::GetDlgItem(box, 0xFFFF));
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    Click(program.Window().Control(ControlId::Check2));
    ASSERT_TRUE(answer.Handled());
  }
  const std::string message = win32::Narrow(text);
  EXPECT_EQ(message.rfind("Done.", 0), 0u) << message;
  EXPECT_NE(message.find("1 of 3 workbooks"), std::string::npos) << message;
  EXPECT_NE(message.find(win32::Narrow(old.wstring())), std::string::npos) << message;
  EXPECT_EQ(message.find("Budget"), std::string::npos) << message;

  for (const fs::path& book : {one, two}) {
    EXPECT_TRUE(ooxml::Workbook::Open(book).BookSources().empty()) << book.string();
    const std::string sheet = ReadPackage(book).at("xl/worksheets/sheet1.xml");
    EXPECT_NE(sheet.find(book == one ? "<v>42</v>" : "<v>7</v>"), std::string::npos) << sheet;
    // One backup beside it, with the links.
    std::vector<fs::path> backups;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().stem().wstring().starts_with(book.stem().wstring() + L" Backup ")) backups.push_back(entry);
    ASSERT_EQ(backups.size(), 1u) << book.string();
    EXPECT_EQ(backups[0].extension(), book.extension());
    EXPECT_FALSE(ooxml::Workbook::Open(backups[0]).BookSources().empty());
  }
  EXPECT_EQ(tests::ReadBytes(old), oldBytes);
  EXPECT_EQ(::SendMessageW(program.Window().Control(ControlId::ProgressBar1), PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(program.Form().MousePointer.Get(), base::kPointerDefault);
  EXPECT_EQ(settings.GetSetting("Tarnwick", "Quorvane", "BackupCheck"), "True");
  ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quorvane window test");
}

}  // namespace
}  // namespace quorvane::testing
