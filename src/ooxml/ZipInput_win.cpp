#include "ooxml/ZipInput.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "ooxml/Package.h"

namespace quorvane::ooxml::zip {
namespace {

[[noreturn]] void ThrowOpenError(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: throw PackageError("cannot open: file not found");
    case ERROR_ACCESS_DENIED: throw PackageError("cannot open: permission denied");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: throw PackageError("cannot open: the file is in use by another program");
    default: throw PackageError("cannot open: system error " + std::to_string(code));
  }
}

}  // namespace

Input::Input(const std::filesystem::path& path) {
  // Sharing write and delete lets Save test the file for writing and hold
  // it against others while it is still open for reading; changes by others
  // before that are caught by the file stamp Save compares.
  HANDLE h = CreateFileW(path.wstring().c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowOpenError(GetLastError());
  file_.reset(h);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) ThrowOpenError(GetLastError());
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) throw PackageError("not a workbook package (a folder)");
  size_ = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  try {
    stamp_ = base::StampOf(file_.get());
  } catch (const base::FileError& e) {
    throw PackageError(e.what());
  }
}

void Input::ReadAt(std::uint64_t offset, void* buffer, std::size_t n) const {
  auto* out = static_cast<char*>(buffer);
  while (n > 0) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(file_.get()), out, want, &got, &ov) || got == 0)
      throw PackageError("cannot read the workbook file");
    out += got;
    offset += got;
    n -= got;
  }
}

}  // namespace quorvane::ooxml::zip
