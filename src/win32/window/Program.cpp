#include "win32/window/Program.h"

namespace quorvane::win32 {

Program::Program(ProgramServices services, WindowOptions options)
    : services_(services),
      window_(options),
      openDialog_(window_.HandleRef()),
      folderPicker_(window_.HandleRef()),
      pump_(window_.HandleRef(), window_.EndingRef()),
      form_(app::Form1Services{window_, services.settings, services.messages, dates_,
                               services.starter ? *services.starter : starter_,
                               services.random ? *services.random : random_,
                               services.excel, services.copier, services.clock, openDialog_, folderPicker_,
                               listing_, pump_, window_.ListHost(), cursor_, pump_}) {}

void Program::Start() { window_.Create(form_); }

int RunMessageLoop(const HWND& dialogWindow) {
  MSG msg;
  for (;;) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(msg.wParam);
    if (got < 0) return 1;
    if (dialogWindow && ::IsDialogMessageW(dialogWindow, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

}  // namespace quorvane::win32
