#include "win32/Wait.h"

#include <algorithm>

namespace quorvane::win32 {

void DispatchPaint() {
  // Bounded: a window that never validates must not keep the wait here.
  MSG msg;
  for (int i = 0; i < 256 && ::PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE | PM_QS_PAINT); ++i)
    ::DispatchMessageW(&msg);
}

bool WaitPainting(HANDLE handle, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + timeout;
  const DWORD count = handle ? 1 : 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    const DWORD ms = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, INFINITE - 1));
    const DWORD result = ::MsgWaitForMultipleObjectsEx(count, handle ? &handle : nullptr, ms, QS_PAINT, 0);
    if (handle && result == WAIT_OBJECT_0) return true;
    if (result == WAIT_OBJECT_0 + count) DispatchPaint();
    if (result == WAIT_FAILED) {
      // Nothing to pump on; still keep the promised time.
      if (handle) return ::WaitForSingleObject(handle, ms) == WAIT_OBJECT_0;
      ::Sleep(ms);
      return false;
    }
    if (Clock::now() >= end) return handle && ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
  }
}

}  // namespace quorvane::win32
