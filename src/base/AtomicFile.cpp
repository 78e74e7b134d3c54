#include "base/AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>


#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorvane::base {

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr const char* kTempPrefix = "~$qv";
constexpr const char* kTempSuffix = ".tmp";
constexpr std::size_t kRandomDigits = 12;
constexpr int kNameAttempts = 16;

std::string RandomHex() {
  std::random_device rd;
  std::uniform_int_distribution<unsigned> dist(0, 15);
  std::string s;
  for (std::size_t i = 0; i < kRandomDigits; ++i) s += "0123456789abcdef"[dist(rd)];
  return s;
}

std::filesystem::path NewTemporaryName(const std::filesystem::path& folder) {
  return folder / (kTempPrefix + RandomHex() + kTempSuffix);
}

#ifdef _WIN32

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

#else

[[noreturn]] void ThrowWriteError(int code) {
  switch (code) {
    case EACCES:
    case EPERM: throw FileError("cannot write: permission denied");
    case EROFS: throw FileError("cannot write: read-only file system");
    case ENOSPC:
    case EDQUOT: throw FileError("cannot write: disk full");
    case EFBIG: throw FileError("cannot write: file too large");
    case ENOENT: throw FileError("cannot write: file not found");
    default: throw FileError(std::string("cannot write: ") + std::strerror(code));
  }
}

#endif

}  // namespace

bool IsTemporaryName(const std::filesystem::path& name) {
  const std::string s = name.filename().string();
  constexpr std::size_t kPrefix = std::char_traits<char>::length(kTempPrefix);
  constexpr std::size_t kSuffix = std::char_traits<char>::length(kTempSuffix);
  if (s.size() != kPrefix + kRandomDigits + kSuffix || !s.starts_with(kTempPrefix) || !s.ends_with(kTempSuffix))
    return false;
  return std::all_of(s.begin() + kPrefix, s.end() - kSuffix,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

namespace {

// mkstemp's shape, as the backup copier named its files before.
bool IsOlderCopierName(const std::string& s) {
  constexpr std::string_view kPrefix = ".quorvane-copy.";
  if (s.size() != kPrefix.size() + 6 || !s.starts_with(kPrefix)) return false;
  return std::all_of(s.begin() + kPrefix.size(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

bool IsLeftoverName(const std::filesystem::path& name) {
  return IsTemporaryName(name) || IsOlderCopierName(name.filename().string());
}

std::string Key(const std::filesystem::path& path) {
  std::error_code ec;
  const auto full = std::filesystem::absolute(path, ec);
  return (ec ? path : full).lexically_normal().string();
}

// Temporary files of this process. Another thread's sweep must never even
// open one: on file systems that emulate flock with process-wide record
// locks, closing that descriptor would drop the writer's own lock.
struct Registry {
  std::mutex mutex;
  std::set<std::string> held;
  std::set<std::string> swept;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

void Hold(const std::filesystem::path& path) {
  Registry& r = TheRegistry();
  const std::lock_guard lock(r.mutex);
  r.held.insert(Key(path));
}

void Release(const std::filesystem::path& path) noexcept {
  try {
    Registry& r = TheRegistry();
    const std::lock_guard lock(r.mutex);
    r.held.erase(Key(path));
  } catch (...) {
    // Only the cost of a later sweep skipping a name that no longer exists.
  }
}

bool HeldHere(const std::filesystem::path& path) {
  Registry& r = TheRegistry();
  const std::lock_guard lock(r.mutex);
  return r.held.count(Key(path)) != 0;
}

bool RemoveIfAbandoned(const std::filesystem::path& path) noexcept;

}  // namespace

std::size_t RemoveAbandonedTemporaries(const std::filesystem::path& folder) noexcept {
  std::size_t removed = 0;
  try {
    const std::filesystem::path dir = folder.empty() ? std::filesystem::path(".") : folder;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::filesystem::path& path = it->path();
      if (!IsLeftoverName(path) || HeldHere(path)) continue;
      if (RemoveIfAbandoned(path)) ++removed;
    }
  } catch (...) {
    // A folder that cannot be listed keeps its leftovers.
  }
  return removed;
}

void RemoveAbandonedTemporariesOnce(const std::filesystem::path& folder) noexcept {
  try {
    Registry& r = TheRegistry();
    {
      const std::lock_guard lock(r.mutex);
      if (!r.swept.insert(Key(folder.empty() ? std::filesystem::path(".") : folder)).second) return;
    }
    RemoveAbandonedTemporaries(folder);
  } catch (...) {
    // Out of memory for the cache: the leftovers wait for the next run.
  }
}

#ifdef _WIN32

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

namespace {

bool RemoveIfAbandoned(const std::filesystem::path& path) noexcept {
  // A writer's open handle does not share deletion, so this fails with a
  // sharing violation for every file still being written.
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return false;
  return DeleteFileW(path.c_str()) != 0;
}

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

#else

FileStamp StampOf(const std::filesystem::path& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) ThrowWriteError(errno);
  FileStamp stamp;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.id = static_cast<std::uint64_t>(st.st_ino) ^ (static_cast<std::uint64_t>(st.st_dev) << 40);
  return stamp;
}

void CheckReplaceable(const std::filesystem::path& target) {
  struct stat st{};
  if (::stat(target.c_str(), &st) != 0) ThrowWriteError(errno);
  // The mode bits first: an administrator passes access(W_OK) for any file.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
    throw FileError("cannot write: the workbook is read-only");
  if (::access(target.c_str(), W_OK) != 0) ThrowWriteError(errno);
  auto folder = target.parent_path();
  if (folder.empty()) folder = ".";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) ThrowWriteError(errno);
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool RemoveIfAbandoned(const std::filesystem::path& path) noexcept {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return false;
  struct stat opened{};
  if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return false;
  // Fails while the writer lives; the kernel dropped the lock of a killed one.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  // Only the file that was locked, not whatever took its name meanwhile.
  struct stat named{};
  if (::lstat(path.c_str(), &named) != 0 || !SameFile(named, opened)) return false;
  return ::unlink(path.c_str()) == 0;
}

}  // namespace

TemporaryFile::TemporaryFile(const std::filesystem::path& folder) {
  RemoveAbandonedTemporariesOnce(folder);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    path_ = NewTemporaryName(folder);
    Hold(path_);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      const int code = errno;
      Release(path_);
      if (code == EEXIST) continue;
      ThrowWriteError(code);
    }
    file_.reset(fd);
    bool ours = true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      // Another process's sweep got the new file first and is removing it.
      // A file system without locks gives another error: no sweep can lock
      // there either, so the file is safe unlocked.
      ours = errno != EWOULDBLOCK && errno != EAGAIN && errno != EINTR;
    }
    // A sweep may have removed the name between our open and our lock.
    struct stat opened{}, named{};
    if (ours && (::fstat(fd, &opened) != 0 || ::lstat(path_.c_str(), &named) != 0 || !SameFile(opened, named)))
      ours = false;
    if (ours) return;
    file_.reset();
    Release(path_);
  }
  throw FileError("cannot write: no free temporary file name");
}

TemporaryFile::~TemporaryFile() {
  // Unlinked while still locked, so no sweep ever sees it half-gone.
  if (!moved_ && file_) ::unlink(path_.c_str());
  file_.reset();
  Release(path_);
}

void TemporaryFile::Write(const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t done = ::write(file_.get(), p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      ThrowWriteError(errno);
    }
    if (done == 0) ThrowWriteError(ENOSPC);
    p += done;
    n -= static_cast<std::size_t>(done);
  }
}

void TemporaryFile::Sync() {
  if (::fsync(file_.get()) != 0) ThrowWriteError(errno);
}

bool TemporaryFile::MoveTo(const std::filesystem::path& target, bool replace) {
  if (replace) {
    if (::rename(path_.c_str(), target.c_str()) != 0) ThrowWriteError(errno);
  } else if (::link(path_.c_str(), target.c_str()) == 0) {
    // Both names are the same complete file; the temporary one goes.
    ::unlink(path_.c_str());
  } else {
    const int code = errno;
    if (code == EEXIST) return false;
#if defined(RENAME_NOREPLACE)
    // Some file systems (FAT, several FUSE ones) have no hard links.
    if (code != EPERM && code != EOPNOTSUPP && code != ENOSYS) ThrowWriteError(code);
    if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST) return false;
      ThrowWriteError(errno);
    }
#else
    ThrowWriteError(code);
#endif
  }
  moved_ = true;
  file_.reset();
  Release(path_);
  return true;
}

void AtomicFile::Finish() {
  Flush();
  const int fd = temp_.NativeHandle();
  struct stat st{};
  if (::stat(target_.c_str(), &st) == 0) {
    // Ownership can only be kept by a privileged process; a failure there
    // leaves the file owned by the user who saved it, as any editor would.
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
      // Not permitted: the saving user becomes the owner.
    }
    if (::fchmod(fd, st.st_mode & 07777) != 0) ThrowWriteError(errno);
  }
  temp_.Sync();
  finished_ = true;
}

void AtomicFile::Commit() {
  if (!finished_) Finish();
  temp_.MoveTo(target_, true);
  // The rename is done; a folder that cannot be synced (some file systems
  // refuse) does not make the save a failure.
  auto folder = target_.parent_path();
  if (folder.empty()) folder = ".";
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

#endif

AtomicFile::AtomicFile(const std::filesystem::path& target) : target_(target), temp_(target.parent_path()) {
  buffer_.reserve(kBufferSize);
}

void AtomicFile::Write(const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const std::size_t room = kBufferSize - buffer_.size();
    const std::size_t take = n < room ? n : room;
    buffer_.append(p, take);
    p += take;
    n -= take;
    if (buffer_.size() == kBufferSize) Flush();
  }
}

void AtomicFile::Flush() {
  temp_.Write(buffer_.data(), buffer_.size());
  buffer_.clear();
}

AtomicFile::~AtomicFile() = default;

}  // namespace quorvane::base
