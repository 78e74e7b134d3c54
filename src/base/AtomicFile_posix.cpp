#include "base/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

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

}  // namespace quorvane::base
