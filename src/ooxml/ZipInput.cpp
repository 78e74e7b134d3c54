#include "ooxml/ZipInput.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "ooxml/Package.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorvane::ooxml::zip {

namespace {

[[noreturn]] void ThrowOpenError(int code) {
#ifdef _WIN32
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: throw PackageError("cannot open: file not found");
    case ERROR_ACCESS_DENIED: throw PackageError("cannot open: permission denied");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: throw PackageError("cannot open: the file is in use by another program");
    default: throw PackageError("cannot open: system error " + std::to_string(code));
  }
#else
  switch (code) {
    case ENOENT: throw PackageError("cannot open: file not found");
    case EACCES:
    case EPERM: throw PackageError("cannot open: permission denied");
    case EISDIR: throw PackageError("not a workbook package (a folder)");
    default: throw PackageError(std::string("cannot open: ") + std::strerror(code));
  }
#endif
}

}  // namespace

#ifdef _WIN32

Input::Input(const std::filesystem::path& path) {
  // Sharing write and delete lets Save test the file for writing and rename
  // its finished temporary file while it is still open for reading; changes
  // by others are caught by the file stamp Save compares.
  HANDLE h = CreateFileW(path.wstring().c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowOpenError(static_cast<int>(GetLastError()));
  file_.reset(h);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) ThrowOpenError(static_cast<int>(GetLastError()));
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) throw PackageError("not a workbook package (a folder)");
  size_ = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
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

#else

Input::Input(const std::filesystem::path& path) {
  // Non-blocking, so that a FIFO named like a workbook cannot hang the open.
  file_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file_) ThrowOpenError(errno);
  struct stat st{};
  if (::fstat(file_.get(), &st) != 0) ThrowOpenError(errno);
  if (S_ISDIR(st.st_mode)) throw PackageError("not a workbook package (a folder)");
  if (!S_ISREG(st.st_mode)) throw PackageError("not a workbook package (not a regular file)");
  size_ = static_cast<std::uint64_t>(st.st_size);
}

void Input::ReadAt(std::uint64_t offset, void* buffer, std::size_t n) const {
  auto* out = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t got = ::pread(file_.get(), out, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw PackageError("cannot read the workbook file");
    out += got;
    offset += static_cast<std::uint64_t>(got);
    n -= static_cast<std::size_t>(got);
  }
}

#endif

void WindowReader::ReadAt(std::uint64_t offset, void* buffer, std::size_t n) {
  constexpr std::size_t kWindow = 256 * 1024;
  if (n > kWindow / 2) {
    in_.ReadAt(offset, buffer, n);
    return;
  }
  if (offset < start_ || offset - start_ > window_.size() || window_.size() - (offset - start_) < n) {
    const std::uint64_t left = offset < in_.Size() ? in_.Size() - offset : 0;
    const std::size_t len = left < kWindow ? static_cast<std::size_t>(left) : kWindow;
    if (len < n) throw PackageError("cannot read the workbook file");
    window_.resize(len);
    in_.ReadAt(offset, window_.data(), len);
    start_ = offset;
  }
  std::memcpy(buffer, window_.data() + (offset - start_), n);
}

}  // namespace quorvane::ooxml::zip
