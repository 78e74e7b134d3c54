#include "win32/window/MessagePump.h"

namespace quorvane::win32 {

bool Win32MessagePump::Yield() {
  if (quitSeen_ || ending_) return false;
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quitSeen_ = true;
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    if (window_ && ::IsDialogMessageW(window_, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
    if (ending_) return false;
  }
  return !ending_;
}

void Win32MessagePump::Discard() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
  }
  while (::PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
  }
}

void PumpPaintOnly() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE | PM_QS_PAINT)) ::DispatchMessageW(&msg);
}

}  // namespace quorvane::win32
