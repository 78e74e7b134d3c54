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

#include "base/AtomicFile.h"
#include "base/NativeFile.h"

namespace quorvane::cli {
namespace {

std::runtime_error Failure(const std::string& what, const std::string& path, int error) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

void CopyContent(int in, base::TemporaryFile& out, const std::string& from) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure("cannot read", from, errno);
    }
    out.Write(buffer.data(), static_cast<std::size_t>(n));
  }
}

void SyncFolder(const std::string& folder) {
  const base::UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return;  // the copy itself is complete; only its durability is weaker
  ::fsync(dir.get());
}

}  // namespace

links::CopyResult PosixFileCopier::Copy(const std::string& from, const std::string& to) {
  struct stat existing {};
  if (::lstat(to.c_str(), &existing) == 0) return links::CopyResult::TargetExists;

  // Non-blocking, so a FIFO under a workbook's name cannot hang the open;
  // it is refused below as no regular file.
  base::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in) throw Failure("cannot read", from, errno);
  struct stat source {};
  if (::fstat(in.get(), &source) != 0) throw Failure("cannot read", from, errno);
  if (!S_ISREG(source.st_mode)) throw std::runtime_error("not a regular file: " + from);

  const std::filesystem::path target(to);
  const std::string folder = target.has_parent_path() ? target.parent_path().string() : std::string(".");
  try {
    // Held until it has its final name, so that another run's clean-up of
    // abandoned temporary files leaves it alone.
    base::TemporaryFile temp(folder);
    CopyContent(in.get(), temp, from);
    if (::fchmod(temp.NativeHandle(), source.st_mode & 07777) != 0)
      throw Failure("cannot set the mode of", temp.Path().string(), errno);
    temp.Sync();
    if (!temp.MoveTo(target, false)) return links::CopyResult::TargetExists;
  } catch (const base::FileError& error) {
    throw std::runtime_error("cannot copy to " + to + ": " + error.what());
  }
  SyncFolder(folder);
  return links::CopyResult::Copied;
}

}  // namespace quorvane::cli
