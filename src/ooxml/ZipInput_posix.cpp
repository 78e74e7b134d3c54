#include "ooxml/ZipInput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ooxml/Package.h"

namespace quorvane::ooxml::zip {
namespace {

[[noreturn]] void ThrowOpenError(int code) {
  switch (code) {
    case ENOENT: throw PackageError("cannot open: file not found");
    case EACCES:
    case EPERM: throw PackageError("cannot open: permission denied");
    case EISDIR: throw PackageError("not a workbook package (a folder)");
    default: throw PackageError(std::string("cannot open: ") + std::strerror(code));
  }
}

}  // namespace

Input::Input(const std::filesystem::path& path) {
  // Non-blocking, so that a FIFO named like a workbook cannot hang the open.
  file_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file_) ThrowOpenError(errno);
  struct stat st{};
  if (::fstat(file_.get(), &st) != 0) ThrowOpenError(errno);
  if (S_ISDIR(st.st_mode)) throw PackageError("not a workbook package (a folder)");
  if (!S_ISREG(st.st_mode)) throw PackageError("not a workbook package (not a regular file)");
  size_ = static_cast<std::uint64_t>(st.st_size);
  try {
    stamp_ = base::StampOf(file_.get());
  } catch (const base::FileError& e) {
    throw PackageError(e.what());
  }
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

}  // namespace quorvane::ooxml::zip
