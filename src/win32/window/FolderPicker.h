#pragma once
// The shell's folder picker behind the core's FolderPicker.

#include <windows.h>
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield

#include <string>

#include "filelist/AddFolder.h"

namespace quorvane::win32 {

class Win32FolderPicker final : public filelist::FolderPicker {
 public:
  explicit Win32FolderPicker(const HWND& owner) : owner_(owner) {}
  std::string BrowseForFolder(const std::string& prompt) override;

 private:
  const HWND& owner_;  // read at every showing
};

}  // namespace quorvane::win32
