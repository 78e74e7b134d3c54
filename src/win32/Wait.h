#pragma once
// Waiting on the user-interface thread without freezing its windows: paint
// messages are dispatched meanwhile, input stays queued.

#include <windows.h>

#include <chrono>

namespace quorvane::win32 {

// Dispatches the paint messages waiting for this thread's windows.
void DispatchPaint();

// Waits until the handle is signalled or the time is up, dispatching paint
// messages meanwhile; true when the handle was signalled. A null handle
// waits for the time alone.
bool WaitPainting(HANDLE handle, std::chrono::milliseconds timeout);

}  // namespace quorvane::win32
