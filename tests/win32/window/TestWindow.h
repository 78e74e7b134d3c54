#pragma once
// The real program window in the test's own thread, with in-memory services
// where a test does not need the real ones, and the small Win32 helpers the
// tests share.

#include <windows.h>
#undef Yield
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/FakeExcel.h"
#include "fakes/FakeServices.h"
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

inline std::wstring ListText(HWND list, int row) {
  wchar_t buffer[1024] = {};
  ListView_GetItemText(list, row, 0, buffer, 1024);
  return buffer;
}

inline std::vector<std::wstring> ListTexts(HWND list) {
  std::vector<std::wstring> out;
  for (int row = 0; row < ListView_GetItemCount(list); ++row) out.push_back(ListText(list, row));
  return out;
}

inline LPARAM Point(int x, int y) { return MAKELPARAM(x, y); }

// Centre of a row of the list, in the list's client coordinates.
inline POINT RowCentre(HWND list, int row) {
  RECT r{};
  ListView_GetItemRect(list, row, &r, LVIR_BOUNDS);
  return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// The never-visiting dice: no web page opens from a test.
class NoVisit final : public app::RandomSource {
 public:
  void Randomize() override {}
  float Rnd() override { return 0.5f; }
};

class NoStart final : public app::ProgramStarter {
 public:
  void Shell(const std::string&, int) override {}
};

// The program with fakes behind the services that are not under test.
struct FakeProgram {
  FakeSettings settings;
  FakeMessages messages;
  FakeExcel excel;
  FakeFiles files;
  FakeClock clock;
  NoVisit random;
  NoStart starter;
  std::unique_ptr<win32::Program> program;

  explicit FakeProgram(links::ExcelAutomation* automation = nullptr, app::MessageBoxes* boxes = nullptr) {
    program = std::make_unique<win32::Program>(
        win32::ProgramServices{settings, boxes ? *boxes : messages, automation ? *automation : excel, files, clock,
                               &random, &starter},
        win32::WindowOptions{false});
    program->Start();
    messages.pointer = &Form().MousePointer;
    messages.progress = &Form().ProgressBar1;
    Pump();
  }
  app::Form1& Form() { return program->Form(); }
  win32::MainWindow& Window() { return program->Window(); }
  HWND Control(win32::ControlId id) { return Window().Control(id); }
  HWND List() { return Control(win32::ControlId::ListView1); }
};

}  // namespace quorvane::testing
