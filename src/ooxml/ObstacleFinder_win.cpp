#include "ooxml/ObstacleFinder.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace quorvane::ooxml {

// Opened for writing, sharing everything, and let go at once: only a program
// that denies others writing (as Excel does with a workbook it has open)
// makes that fail. A read-only file fails differently and is not "held".
bool HeldByAnotherProgram(const std::filesystem::path& path) {
  HANDLE file = ::CreateFileW(path.wstring().c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
  }
  ::CloseHandle(file);
  return false;
}

}  // namespace quorvane::ooxml
