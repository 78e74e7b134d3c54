#pragma once
// base::MessageBoxes with MessageBoxW: application-modal, no icon, captioned
// with the application title.

#include <windows.h>

#include "base/MessageBoxes.h"

namespace quorvane::win32 {

class Win32MessageBoxes final : public base::MessageBoxes {
 public:
  // owner: the window the boxes belong to (not owned); may be null.
  explicit Win32MessageBoxes(HWND owner) : owner_(owner) {}
  void SetOwner(HWND owner) noexcept { owner_ = owner; }

  // When the box cannot be shown at all, a question counts as answered No,
  // the safe answer; a notice as acknowledged.
  base::MessageAnswer Show(const std::string& text, base::MessageButtons buttons) override;

 private:
  HWND owner_;
};

}  // namespace quorvane::win32
