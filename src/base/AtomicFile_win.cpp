#include "base/AtomicFile.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <vector>

#include "base/AtomicFileDetail.h"

namespace quorvane::base {

using detail::Hold;
using detail::kNameAttempts;
using detail::NewTemporaryName;
using detail::Release;

namespace {

[[noreturn]] void ThrowWriteError(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: throw FileError("cannot write: permission denied");
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: throw FileError("cannot write: disk full");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      throw FileError("cannot write: the workbook is in use by another program");
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: throw FileError("cannot write: file not found");
    default: throw FileError("cannot write: system error " + std::to_string(code));
  }
}

std::int64_t ToInt64(FILETIME ft) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                   ft.dwLowDateTime) * 100;
}

}  // namespace

FileStamp StampOf(const std::filesystem::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.wstring().c_str(), GetFileExInfoStandard, &data))
    ThrowWriteError(GetLastError());
  FileStamp stamp;
  stamp.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  stamp.modified = ToInt64(data.ftLastWriteTime);
  return stamp;
}

void CheckReplaceable(const std::filesystem::path& target) {
  const DWORD attrs = GetFileAttributesW(target.wstring().c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) ThrowWriteError(GetLastError());
  if (attrs & FILE_ATTRIBUTE_READONLY) throw FileError("cannot write: the workbook is read-only");
  // Opening for writing is the only reliable test of ACLs and of other
  // programs holding the file.
  HANDLE h = CreateFileW(target.wstring().c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowWriteError(GetLastError());
  const UniqueNativeFile opened(h);  // only to see that it can be; closed at once
}

bool detail::RemoveIfAbandoned(const std::filesystem::path& path) noexcept {
  // A writer's open handle does not share deletion, so this fails with a
  // sharing violation for every file still being written.
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return false;
  return DeleteFileW(path.c_str()) != 0;
}

namespace {

// The NT form of a full path, as a rename through a handle needs it.
std::wstring NtPath(const std::filesystem::path& path) {
  const std::wstring in = path.wstring();
  const DWORD need = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
  if (need == 0) ThrowWriteError(GetLastError());
  std::wstring full(need, L'\0');
  const DWORD got = GetFullPathNameW(in.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) ThrowWriteError(GetLastError());
  full.resize(got);
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return L"\\??\\" + full.substr(4);
  if (full.starts_with(L"\\\\")) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

bool IsExistsError(DWORD code) { return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS; }

}  // namespace

TemporaryFile::TemporaryFile(const std::filesystem::path& folder) {
  RemoveAbandonedTemporariesOnce(folder);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    path_ = NewTemporaryName(folder);
    Hold(path_);
    // DELETE access lets the rename go through this very handle; sharing
    // only reads keeps others from deleting or renaming the file meanwhile.
    HANDLE h = CreateFileW(path_.wstring().c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      file_.reset(h);
      return;
    }
    const DWORD code = GetLastError();
    Release(path_);
    if (!IsExistsError(code)) ThrowWriteError(code);
  }
  throw FileError("cannot write: no free temporary file name");
}

TemporaryFile::~TemporaryFile() {
  if (!moved_) {
    bool gone = false;
    if (file_) {
      FILE_DISPOSITION_INFO dispose{};
      dispose.DeleteFile = TRUE;
      gone = SetFileInformationByHandle(static_cast<HANDLE>(file_.get()), FileDispositionInfo, &dispose,
                                        sizeof dispose) != 0;
    }
    file_.reset();
    if (!gone) DeleteFileW(path_.wstring().c_str());
  }
  file_.reset();
  Release(path_);
}

void TemporaryFile::Write(const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    DWORD done = 0;
    const DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    if (!WriteFile(static_cast<HANDLE>(file_.get()), p, want, &done, nullptr)) ThrowWriteError(GetLastError());
    if (done == 0) ThrowWriteError(ERROR_DISK_FULL);
    p += done;
    n -= done;
  }
}

void TemporaryFile::Sync() {
  if (!FlushFileBuffers(static_cast<HANDLE>(file_.get()))) ThrowWriteError(GetLastError());
}

bool TemporaryFile::MoveTo(const std::filesystem::path& target, bool replace) {
  const std::wstring name = NtPath(target);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, name.data(), info->FileNameLength);
  if (SetFileInformationByHandle(static_cast<HANDLE>(file_.get()), FileRenameInfo, info,
                                 static_cast<DWORD>(buffer.size()))) {
    // The new name to disk as MOVEFILE_WRITE_THROUGH would.
    FlushFileBuffers(static_cast<HANDLE>(file_.get()));
  } else {
    const DWORD code = GetLastError();
    if (IsExistsError(code) && !replace) return false;
    if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION)
      ThrowWriteError(code);
    // A file system without renames through a handle: by name, unheld for
    // the moment of the move.
    file_.reset();
    if (!MoveFileExW(path_.wstring().c_str(), target.wstring().c_str(),
                     (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH)) {
      const DWORD moveCode = GetLastError();
      if (IsExistsError(moveCode) && !replace) return false;
      ThrowWriteError(moveCode);
    }
  }
  moved_ = true;
  file_.reset();
  Release(path_);
  return true;
}

void AtomicFile::Finish() {
  Flush();
  temp_.Sync();
  // Keep the original's visible attributes; read-only was refused before.
  const DWORD attrs = GetFileAttributesW(target_.wstring().c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES) {
    const DWORD keep = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (keep) {
      FILE_BASIC_INFO basic{};  // zero times are left as they are
      basic.FileAttributes = keep;
      SetFileInformationByHandle(static_cast<HANDLE>(temp_.NativeHandle()), FileBasicInfo, &basic, sizeof basic);
    }
  }
  finished_ = true;
}

void AtomicFile::Commit() {
  if (!finished_) Finish();
  temp_.MoveTo(target_, true);
}

}  // namespace quorvane::base
