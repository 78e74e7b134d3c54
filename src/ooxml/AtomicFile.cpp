#include "ooxml/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

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

namespace quorvane::ooxml {

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr const char* kTempPrefix = "~$qv";
constexpr const char* kTempSuffix = ".tmp";

std::string RandomHex() {
  std::random_device rd;
  std::uniform_int_distribution<unsigned> dist(0, 15);
  std::string s;
  for (int i = 0; i < 12; ++i) s += "0123456789abcdef"[dist(rd)];
  return s;
}

#ifdef _WIN32

[[noreturn]] void ThrowWriteError(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: throw PackageError("cannot write: permission denied");
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: throw PackageError("cannot write: disk full");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      throw PackageError("cannot write: the workbook is in use by another program");
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: throw PackageError("cannot write: file not found");
    default: throw PackageError("cannot write: system error " + std::to_string(code));
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
    case EPERM: throw PackageError("cannot write: permission denied");
    case EROFS: throw PackageError("cannot write: read-only file system");
    case ENOSPC:
    case EDQUOT: throw PackageError("cannot write: disk full");
    case EFBIG: throw PackageError("cannot write: file too large");
    case ENOENT: throw PackageError("cannot write: file not found");
    default: throw PackageError(std::string("cannot write: ") + std::strerror(code));
  }
}

#endif

}  // namespace

bool IsTemporaryName(const std::filesystem::path& name) {
  const std::string s = name.filename().string();
  return s.starts_with(kTempPrefix) && s.ends_with(kTempSuffix);
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
  if (attrs & FILE_ATTRIBUTE_READONLY) throw PackageError("cannot write: the workbook is read-only");
  // Opening for writing is the only reliable test of ACLs and of other
  // programs holding the file.
  HANDLE h = CreateFileW(target.wstring().c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowWriteError(GetLastError());
  ::CloseHandle(h);
}

AtomicFile::AtomicFile(const std::filesystem::path& target) : target_(target) {
  const auto folder = target.parent_path();
  for (int attempt = 0; attempt < 16; ++attempt) {
    temp_ = folder / (kTempPrefix + RandomHex() + kTempSuffix);
    HANDLE h = CreateFileW(temp_.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = h;
      buffer_.reserve(kBufferSize);
      return;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      temp_.clear();
      ThrowWriteError(code);
    }
  }
  temp_.clear();
  throw PackageError("cannot write: no free temporary file name");
}

void AtomicFile::CloseHandle() noexcept {
  if (handle_) ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

void AtomicFile::Flush() {
  const char* p = buffer_.data();
  std::size_t n = buffer_.size();
  while (n > 0) {
    DWORD done = 0;
    const DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    if (!WriteFile(static_cast<HANDLE>(handle_), p, want, &done, nullptr))
      ThrowWriteError(GetLastError());
    p += done;
    n -= done;
  }
  buffer_.clear();
}

void AtomicFile::Finish() {
  Flush();
  if (!FlushFileBuffers(static_cast<HANDLE>(handle_))) ThrowWriteError(GetLastError());
  CloseHandle();
  // Keep the original's visible attributes; read-only was refused before.
  const DWORD attrs = GetFileAttributesW(target_.wstring().c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES) {
    const DWORD keep = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (keep) SetFileAttributesW(temp_.wstring().c_str(), keep);
  }
  finished_ = true;
}

void AtomicFile::Commit() {
  if (!finished_) Finish();
  if (!MoveFileExW(temp_.wstring().c_str(), target_.wstring().c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    ThrowWriteError(GetLastError());
  committed_ = true;
}

AtomicFile::~AtomicFile() {
  CloseHandle();
  if (!committed_ && !temp_.empty()) DeleteFileW(temp_.wstring().c_str());
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
    throw PackageError("cannot write: the workbook is read-only");
  if (::access(target.c_str(), W_OK) != 0) ThrowWriteError(errno);
  auto folder = target.parent_path();
  if (folder.empty()) folder = ".";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) ThrowWriteError(errno);
}

AtomicFile::AtomicFile(const std::filesystem::path& target) : target_(target) {
  auto folder = target.parent_path();
  for (int attempt = 0; attempt < 16; ++attempt) {
    temp_ = folder / (kTempPrefix + RandomHex() + kTempSuffix);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      buffer_.reserve(kBufferSize);
      return;
    }
    const int code = errno;
    if (code != EEXIST) {
      temp_.clear();
      ThrowWriteError(code);
    }
  }
  temp_.clear();
  throw PackageError("cannot write: no free temporary file name");
}

void AtomicFile::CloseHandle() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void AtomicFile::Flush() {
  const char* p = buffer_.data();
  std::size_t n = buffer_.size();
  while (n > 0) {
    const ssize_t done = ::write(fd_, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      ThrowWriteError(errno);
    }
    if (done == 0) ThrowWriteError(ENOSPC);
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  buffer_.clear();
}

void AtomicFile::Finish() {
  Flush();
  struct stat st{};
  if (::stat(target_.c_str(), &st) == 0) {
    // Ownership can only be kept by a privileged process; a failure there
    // leaves the file owned by the user who saved it, as any editor would.
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
        ::fchown(fd_, st.st_uid, st.st_gid) != 0) {
      // Not permitted: the saving user becomes the owner.
    }
    if (::fchmod(fd_, st.st_mode & 07777) != 0) ThrowWriteError(errno);
  }
  if (::fsync(fd_) != 0) ThrowWriteError(errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) ThrowWriteError(errno);
  finished_ = true;
}

void AtomicFile::Commit() {
  if (!finished_) Finish();
  if (::rename(temp_.c_str(), target_.c_str()) != 0) ThrowWriteError(errno);
  committed_ = true;
  // The rename is done; a folder that cannot be synced (some file systems
  // refuse) does not make the save a failure.
  auto folder = target_.parent_path();
  if (folder.empty()) folder = ".";
  const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

AtomicFile::~AtomicFile() {
  CloseHandle();
  if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

#endif

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

}  // namespace quorvane::ooxml
