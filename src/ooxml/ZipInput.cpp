#include "ooxml/ZipInput.h"

#include <cstring>

#include "ooxml/Package.h"

namespace quorvane::ooxml::zip {

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
