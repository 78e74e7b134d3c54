#pragma once
// The real program window in the test's own thread, with in-memory services
// where a test does not need the real ones, and the Win32 helpers the tests share.

#include <windows.h>
#undef Yield
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "fakes/FakeExcel.h"
#include "fakes/FakeServices.h"
#include "support/ScratchDir.h"
#include "win32/Strings.h"
#include "win32/window/Program.h"

namespace quorvane::testing {

// Runs every waiting message of this thread.
inline void Pump() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

inline std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

inline std::vector<std::wstring> ListTexts(HWND list) {
  std::vector<std::wstring> out;
  for (int row = 0; row < ListView_GetItemCount(list); ++row) {
    wchar_t buffer[1024] = {};
    ListView_GetItemText(list, row, 0, buffer, 1024);
    out.push_back(buffer);
  }
  return out;
}

inline LRESULT Mouse(HWND control, UINT message, POINT at, WPARAM keys = 0) {
  return ::SendMessageW(control, message, keys, MAKELPARAM(at.x, at.y));
}
inline void Click(HWND button) { ::SendMessageW(button, BM_CLICK, 0, 0); }
inline bool Checked(HWND button) { return ::SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED; }
// The pointer the control shows now.
inline HCURSOR CursorShownOver(HWND control) {
  ::SendMessageW(control, WM_SETCURSOR, reinterpret_cast<WPARAM>(control), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  return ::GetCursor();
}

// Centre of a row of the list, in the list's client coordinates.
inline POINT RowCentre(HWND list, int row) {
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

// DROPFILES followed by the wide paths, each NUL-ended, and a closing NUL.
inline std::vector<char> HDrop(const std::vector<std::wstring>& paths) {
  std::wstring list;
  for (const auto& path : paths) list += path + L'\0';
  list += L'\0';
  std::vector<char> bytes(sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
  DROPFILES header{};
  header.pFiles = sizeof(DROPFILES);
  header.fWide = TRUE;
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + sizeof header, list.data(), list.size() * sizeof(wchar_t));
  return bytes;
}

inline bool HasClass(HWND hwnd, const wchar_t* name) {
  wchar_t buffer[64] = {};
  ::GetClassNameW(hwnd, buffer, 64);
  return std::wstring(buffer) == name;
}

// The first top-level window of the process that the test accepts, waiting
// up to 20 s (or until told to stop) for it.
inline HWND WaitForWindow(DWORD process, const std::function<bool(HWND)>& accept, const std::atomic<bool>* stop = nullptr) {
  for (int i = 0; i < 400 && !(stop && *stop); ++i, ::Sleep(50))
    for (HWND h = ::FindWindowExW(nullptr, nullptr, nullptr, nullptr); h; h = ::FindWindowExW(nullptr, h, nullptr, nullptr)) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(h, &owner);
      if (owner == process && accept(h)) return h;
    }
  return nullptr;
}

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
    HWND dialog = WaitForWindow(::GetCurrentProcessId(), [](HWND h) { return ::IsWindowVisible(h) && HasClass(h, L"#32770"); }, &stop_);
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
  HWND Control(win32::ControlId id) { return Window().Control(id); }
  HWND List() { return Control(win32::ControlId::ListView1); }
};

}  // namespace quorvane::testing
