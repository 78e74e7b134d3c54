#include "win32/FileCopier.h"

#include <windows.h>

#include <atomic>

#include "win32/Error.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

bool IsExistsError(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// CopyFileW carries the read-only attribute over; clear it or the delete fails.
void RemoveTemporary(const std::wstring& path) {
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW(path.c_str());
}

std::wstring TemporaryName(const std::wstring& target) {
  static std::atomic<unsigned> counter{0};
  return target + L".~" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L".tmp";
}

}  // namespace

links::CopyResult Win32FileCopier::Copy(const std::string& from, const std::string& to) {
  const std::wstring source = Widen(from);
  const std::wstring target = Widen(to);
  if (::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) return links::CopyResult::TargetExists;

  std::wstring temporary;
  for (;;) {
    temporary = TemporaryName(target);
    if (::CopyFileW(source.c_str(), temporary.c_str(), TRUE)) break;
    const DWORD error = ::GetLastError();
    if (IsExistsError(error)) continue;  // a leftover of an earlier crash: next name
    // CopyFileW may leave a partial file when it fails midway.
    RemoveTemporary(temporary);
    ThrowWin32(error, "Cannot copy " + from + " to " + to);
  }
  if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = ::GetLastError();
    RemoveTemporary(temporary);
    if (IsExistsError(error)) return links::CopyResult::TargetExists;
    ThrowWin32(error, "Cannot create " + to);
  }
  return links::CopyResult::Copied;
}

}  // namespace quorvane::win32
