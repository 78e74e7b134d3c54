#pragma once
// Yielding to the message loop from inside a handler, and the paint-only
// variant the synchronous run uses.

#include <windows.h>
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield

#include "base/PendingInput.h"
#include "filelist/AddFolder.h"

namespace quorvane::win32 {

class Win32MessagePump final : public filelist::MessagePump, public base::PendingInput {
 public:
  // dialogWindow: gets IsDialogMessageW so Tab keeps working while a walk
  // yields; ending: set once the window is being destroyed. Both are read
  // at every call.
  Win32MessagePump(const HWND& dialogWindow, const bool& ending) : window_(dialogWindow), ending_(ending) {}
  // Runs every waiting message. A WM_QUIT is put back for the outer loop and
  // ends the yielding for good.
  bool Yield() override;
  // Removes the mouse and keyboard messages waiting in this thread's queue.
  void Discard() override;

 private:
  const HWND& window_;
  const bool& ending_;
  bool quitSeen_ = false;
};

// Dispatches waiting paint messages only; input stays queued.
void PumpPaintOnly();

}  // namespace quorvane::win32
