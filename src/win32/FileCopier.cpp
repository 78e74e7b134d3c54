#include "win32/FileCopier.h"

#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "base/AtomicFile.h"
#include "win32/Error.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

// Attributes a backup keeps from its workbook, as a plain copy would.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

links::CopyResult Win32FileCopier::Copy(const std::string& from, const std::string& to) {
  const std::wstring source = Widen(from);
  const std::filesystem::path target(Widen(to));
  if (::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) return links::CopyResult::TargetExists;
  const std::string context = "Cannot copy " + from + " to " + to;

  // Others may keep reading and writing the workbook, as they may with a
  // copy made by the shell.
  UniqueFile in(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in) ThrowLastError(context);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(in.get(), &info)) ThrowLastError(context);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ThrowWin32(ERROR_ACCESS_DENIED, context);
  const std::filesystem::path folder = target.parent_path();
  if (!folder.empty() && ::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) ThrowLastError(context);

  try {
    // Held from its creation to its final name: another run's clean-up of
    // abandoned temporary files cannot take it, and a copy cut short by a
    // killed process is a temporary file for that clean-up, never a partial
    // backup under the final name.
    base::TemporaryFile temp(folder);
    std::vector<char> buffer(1 << 16);
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
        ThrowLastError(context);
      if (got == 0) break;
      temp.Write(buffer.data(), got);
    }
    ::SetFileTime(static_cast<HANDLE>(temp.NativeHandle()), nullptr, nullptr, &info.ftLastWriteTime);
    temp.Sync();
    if (!temp.MoveTo(target, false)) return links::CopyResult::TargetExists;
  } catch (const base::FileError& error) {
    throw std::runtime_error(context + ": " + error.what());
  }
  // Only now: a read-only temporary file left by a crash could not be cleared.
  if (const DWORD keep = info.dwFileAttributes & kKeptAttributes) ::SetFileAttributesW(target.c_str(), keep);
  return links::CopyResult::Copied;
}

}  // namespace quorvane::win32
