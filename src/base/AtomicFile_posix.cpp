#include "base/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#ifndef RENAME_EXCHANGE
#error "renameat2 RENAME_EXCHANGE is needed to replace a workbook without losing another program's save"
#endif
#endif

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/AtomicFileDetail.h"

namespace quorvane::base {

using detail::Hold;
using detail::kNameAttempts;
using detail::NewTemporaryName;
using detail::Release;

namespace {

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

}  // namespace

namespace {

FileStamp StampFrom(const struct stat& st) {
  FileStamp stamp;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.file = static_cast<std::uint64_t>(st.st_ino);
  return stamp;
}

}  // namespace

FileStamp StampOf(NativeFile file) {
  struct stat st{};
  if (::fstat(file, &st) != 0) ThrowWriteError(errno);
  return StampFrom(st);
}

void CheckReplaceable(const std::filesystem::path& target) {
  struct stat st{};
  if (::stat(target.c_str(), &st) != 0) {
    if (errno == ENOENT) throw FileChanged();
    ThrowWriteError(errno);
  }
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

// The name still leads to the open file.
bool Names(const std::filesystem::path& path, int fd) {
  struct stat opened{}, named{};
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && SameFile(opened, named);
}

// Extended attributes carry POSIX ACLs, security labels and users' own
// data. What the file system or the user's rights refuse to set is left
// out, as a copy by an unprivileged user does.
void CopyExtendedAttributes([[maybe_unused]] int from, [[maybe_unused]] int to) {
#ifdef __linux__
  std::vector<char> names;
  for (;;) {
    const ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size <= 0) return;
    names.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::flistxattr(from, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE) return;  // ERANGE: the list grew meanwhile
  }
  std::vector<char> value;
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
    if (size < 0) continue;
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::fgetxattr(from, name, value.data(), value.size());
    if (got < 0) continue;
    ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0);
  }
#endif
}

}  // namespace

UniqueNativeFile detail::HoldOriginal(const std::filesystem::path& target, const FileStamp& expected) {
  UniqueFd fd(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) throw FileChanged();
    ThrowWriteError(errno);
  }
  // Shared, so that other writers of ours may hold it too, while no sweep
  // can take it for abandoned when it sits under a temporary name during
  // the exchange.
  ::flock(fd.get(), LOCK_SH | LOCK_NB);
  if (StampOf(fd.get()) != expected) throw FileChanged();
  return fd;
}

bool detail::RemoveIfAbandoned(const std::filesystem::path& path) noexcept {
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
  // Unlinked while still locked, so no sweep ever sees it half-gone; and
  // only while the name leads to this file, never to what a failed replace
  // left there.
  if (!moved_ && file_ && Names(path_, file_.get())) ::unlink(path_.c_str());
  file_.reset();
  Release(path_);
}

void TemporaryFile::LetGoMoved() noexcept {
  moved_ = true;
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
  LetGoMoved();
  return true;
}

namespace {

[[noreturn]] void ThrowExchangeError(int code, const std::filesystem::path& temp, const std::filesystem::path& target) {
  struct stat st{};
  if (code == ENOENT && ::lstat(target.c_str(), &st) != 0 && errno == ENOENT) throw FileChanged();  // deleted
  if (code == ENOENT && ::lstat(temp.c_str(), &st) != 0 && errno == ENOENT)
    throw FileError("cannot write: the new file was removed before it could replace the original");
  ThrowWriteError(code);
}

bool CannotExchange(int code) {
#if ENOTSUP != EOPNOTSUPP
  if (code == ENOTSUP) return true;
#endif
  return code == EINVAL || code == ENOSYS || code == EOPNOTSUPP;
}

}  // namespace

void TemporaryFile::Replace(const std::filesystem::path& target, UniqueNativeFile original, const FileStamp& expected) {
  // A program that wrote into the original in place has changed its size or time.
  if (StampOf(original.get()) != expected) throw FileChanged();
  int code = ENOSYS;
#if defined(RENAME_EXCHANGE)
  if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    // Out came whatever the name led to at that instant: the file that was
    // read, or another program's save that landed since the check above.
    struct stat out{};
    if (::lstat(path_.c_str(), &out) == 0 && StampFrom(out) == expected) {
      ::unlink(path_.c_str());  // the original, still held, so no sweep took it meanwhile
      LetGoMoved();
      return;
    }
    if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0 &&
        ::rename(path_.c_str(), target.c_str()) != 0)
      throw FileError("cannot write: another program's version of the file was left at " + path_.string());
    throw FileChanged();
  }
  code = errno;
#endif
  if (!CannotExchange(code)) ThrowExchangeError(code, path_, target);
  // A file system without exchange (network shares, some FUSE ones): only
  // the instant between this check and the rename is unguarded there.
  struct stat now{};
  if (::lstat(target.c_str(), &now) != 0) ThrowExchangeError(errno, path_, target);
  if (StampFrom(now) != expected) throw FileChanged();
  if (::rename(path_.c_str(), target.c_str()) != 0) ThrowExchangeError(errno, path_, target);
  LetGoMoved();
}

void AtomicFile::Finish() {
  Flush();
  const int fd = temp_.NativeHandle();
  struct stat st{};
  if (::fstat(original_.get(), &st) != 0) ThrowWriteError(errno);
  // Ownership can only be kept by a privileged process; a failure there
  // leaves the file owned by the user who saved it, as any editor would.
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
    // Not permitted: the saving user becomes the owner.
  }
  if (::fchmod(fd, st.st_mode & 07777) != 0) ThrowWriteError(errno);
  CopyExtendedAttributes(original_.get(), fd);
  temp_.Sync();
  finished_ = true;
}

void AtomicFile::Commit() {
  if (!finished_) Finish();
  temp_.Replace(target_, std::move(original_), expected_);
  // The replace is done; a folder that cannot be synced (some file systems
  // refuse) does not make the save a failure.
  auto folder = target_.parent_path();
  if (folder.empty()) folder = ".";
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

}  // namespace quorvane::base
