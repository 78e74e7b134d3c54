#pragma once
// Small platform services of the window: the file date query, starting a
// program without waiting, and the pointer position on the screen.

#include <optional>
#include <string>

#include "app/Main.h"
#include "filelist/Reorder.h"

namespace quorvane::win32 {

class Win32FileDates final : public app::FileDates {
 public:
  // Throws SystemError when the path names nothing or cannot be reached.
  void LastModified(const std::string& path) override;
};

class Win32ProgramStarter final : public app::ProgramStarter {
 public:
  // Starts the command line with the given SW_ show state and returns at
  // once; the process and thread handles are closed, nothing waits for them.
  // The core's style 2 (minimised with focus) maps to SW_SHOWMINIMIZED.
  void Shell(const std::string& commandLine, int windowStyle) override;
};

class Win32ScreenCursor final : public filelist::ScreenCursor {
 public:
  std::optional<int> CursorY() const override;
};

}  // namespace quorvane::win32
