#include "base/AtomicFile.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <vector>

#include "base/AtomicFileDetail.h"
#include "base/Utf8Path.h"

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
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
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

FileStamp StampOf(NativeFile file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(static_cast<HANDLE>(file), &info)) ThrowWriteError(GetLastError());
  FileStamp stamp;
  stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.modified = ToInt64(info.ftLastWriteTime);
  stamp.device = info.dwVolumeSerialNumber;
  stamp.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return stamp;
}

void CheckReplaceable(const std::filesystem::path& target) {
  const DWORD attrs = GetFileAttributesW(target.wstring().c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) throw FileChanged();
    ThrowWriteError(code);
  }
  if (attrs & FILE_ATTRIBUTE_READONLY) throw FileError("cannot write: the workbook is read-only");
  // Opening for writing is the only reliable test of ACLs and of other
  // programs holding the file.
  HANDLE h = CreateFileW(target.wstring().c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowWriteError(GetLastError());
  const UniqueNativeFile opened(h);  // only to see that it can be; closed at once
}

UniqueNativeFile detail::HoldOriginal(const std::filesystem::path& target, const FileStamp& expected) {
  // Others may go on reading it; writing, renaming and deleting it fail for
  // them until the replace, so their save fails instead of being lost.
  HANDLE h = CreateFileW(target.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) throw FileChanged();
    ThrowWriteError(code);
  }
  UniqueNativeFile held(h);
  if (StampOf(held.get()) != expected) throw FileChanged();
  return held;
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
  LetGoMoved();
  return true;
}

void TemporaryFile::LetGoMoved() noexcept {
  moved_ = true;
  file_.reset();
  Release(path_);
}

namespace {

// The stamp of the file a name leads to, opened without keeping anyone out.
bool StampByName(const std::filesystem::path& path, FileStamp& stamp) {
  HANDLE opened = CreateFileW(path.wstring().c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  const UniqueNativeFile h(opened);
  try {
    stamp = StampOf(h.get());
  } catch (const FileError&) {
    return false;
  }
  return true;
}

}  // namespace

void TemporaryFile::Replace(const std::filesystem::path& target, UniqueNativeFile original, const FileStamp& expected) {
  if (StampOf(original.get()) != expected) throw FileChanged();
  // ReplaceFileW keeps what the original had (security descriptor, creation
  // time, attributes, alternate data streams) and needs both files free: the
  // original is let go only now, and what it moves aside is checked to be
  // the file that was read.
  const std::filesystem::path aside = NewTemporaryName(path_.parent_path());
  Hold(aside);
  struct Unhold {
    const std::filesystem::path& path;
    ~Unhold() { Release(path); }
  } unhold{aside};
  file_.reset();
  original.reset();
  if (!ReplaceFileW(target.wstring().c_str(), path_.wstring().c_str(), aside.wstring().c_str(),
                    REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    const DWORD code = GetLastError();
    // The original went aside but ours could not follow: back it goes.
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
        !MoveFileExW(aside.wstring().c_str(), target.wstring().c_str(), MOVEFILE_WRITE_THROUGH))
      throw FileError("cannot write: the original file was left at " + ToUtf8(aside));
    if (code == ERROR_FILE_NOT_FOUND && GetFileAttributesW(target.wstring().c_str()) == INVALID_FILE_ATTRIBUTES)
      throw FileChanged();
    ThrowWriteError(code);
  }
  moved_ = true;  // under target now, or (below) gone
  FileStamp out;
  if (StampByName(aside, out) && out == expected) {
    DeleteFileW(aside.wstring().c_str());
    Release(path_);
    return;
  }
  // Another program's save landed in the instant between letting go and
  // the replace: it goes back, ours is dropped.
  if (!MoveFileExW(aside.wstring().c_str(), target.wstring().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    throw FileError("cannot write: another program's version of the file was left at " + ToUtf8(aside));
  Release(path_);
  throw FileChanged();
}

void AtomicFile::Finish() {
  Flush();
  temp_.Sync();
  // The original's creation time and visible attributes (read-only was
  // refused before), from the file that was read: ReplaceFileW keeps them
  // too, but not every implementation of it does.
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(static_cast<HANDLE>(original_.get()), &info)) {
    FILE_BASIC_INFO basic{};  // zero times and attributes are left as they are
    basic.CreationTime.QuadPart = ToInt64(info.ftCreationTime);
    basic.FileAttributes = info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    SetFileInformationByHandle(static_cast<HANDLE>(temp_.NativeHandle()), FileBasicInfo, &basic, sizeof basic);
  }
  finished_ = true;
}

void AtomicFile::Commit() {
  if (!finished_) Finish();
  temp_.Replace(target_, std::move(original_), expected_);
}

}  // namespace quorvane::base
