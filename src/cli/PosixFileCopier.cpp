#include "cli/PosixFileCopier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvane::cli {
namespace {

std::runtime_error Failure(const std::string& what, const std::string& path, int error) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }
  // Closes now so that a failing close (e.g. a full NFS disk) can be seen.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Unlinks the temporary file unless it was released.
class TempName {
 public:
  explicit TempName(std::string path) : path_(std::move(path)) {}
  TempName(const TempName&) = delete;
  TempName& operator=(const TempName&) = delete;
  ~TempName() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure("cannot write", path, errno);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void CopyContent(int in, int out, const std::string& from, const std::string& temp) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure("cannot read", from, errno);
    }
    WriteAll(out, buffer.data(), static_cast<std::size_t>(n), temp);
  }
}

// Puts the finished temporary file under the target name without ever
// replacing an existing one. False when the name is taken.
bool PublishNoReplace(const std::string& temp, const std::string& to) {
  if (::link(temp.c_str(), to.c_str()) == 0) return true;
  const int error = errno;
  if (error == EEXIST) return false;
#if defined(RENAME_NOREPLACE)
  // Some file systems (FAT, several FUSE ones) have no hard links.
  if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS) {
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    throw Failure("cannot create", to, errno);
  }
#endif
  throw Failure("cannot create", to, error);
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;  // the copy itself is complete; only its durability is weaker
  UniqueFd dir(fd);
  ::fsync(dir.Get());
}

}  // namespace

links::CopyResult PosixFileCopier::Copy(const std::string& from, const std::string& to) {
  struct stat existing {};
  if (::lstat(to.c_str(), &existing) == 0) return links::CopyResult::TargetExists;

  // Non-blocking, so a FIFO under a workbook's name cannot hang the open;
  // it is refused below as no regular file.
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (in.Get() < 0) throw Failure("cannot read", from, errno);
  struct stat source {};
  if (::fstat(in.Get(), &source) != 0) throw Failure("cannot read", from, errno);
  if (!S_ISREG(source.st_mode)) throw std::runtime_error("not a regular file: " + from);

  const std::filesystem::path target(to);
  const std::string folder = target.has_parent_path() ? target.parent_path().string() : std::string(".");
  // A hidden, short name: a walk running meanwhile does not pick it up, and
  // a long workbook name cannot push it past the file system's limit.
  std::string pattern = (std::filesystem::path(folder) / ".quorvane-copy.XXXXXX").string();
  const int tempFd = ::mkstemp(pattern.data());
  if (tempFd < 0) throw Failure("cannot create a temporary file in", folder, errno);
  TempName temp(pattern);
  UniqueFd out(tempFd);

  CopyContent(in.Get(), out.Get(), from, temp.Path());
  if (::fchmod(out.Get(), source.st_mode & 07777) != 0) throw Failure("cannot set the mode of", temp.Path(), errno);
  if (::fsync(out.Get()) != 0) throw Failure("cannot write", temp.Path(), errno);
  if (out.Close() != 0) throw Failure("cannot write", temp.Path(), errno);

  if (!PublishNoReplace(temp.Path(), to)) return links::CopyResult::TargetExists;
  SyncFolder(folder);
  return links::CopyResult::Copied;
}

}  // namespace quorvane::cli
