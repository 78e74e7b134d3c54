#pragma once
// Read-only, positional access to the file behind a package. Reads carry
// their own offset, so one open file serves several threads at once.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "base/AtomicFile.h"
#include "base/NativeFile.h"

namespace quorvane::ooxml::zip {

class Input {
 public:
  // Throws PackageError when the file cannot be opened.
  explicit Input(const std::filesystem::path& path);

  std::uint64_t Size() const { return size_; }
  // The file as it was when opened: what a save may replace.
  const base::FileStamp& Stamp() const { return stamp_; }
  // Reads exactly n bytes at offset; throws PackageError on a short read.
  void ReadAt(std::uint64_t offset, void* buffer, std::size_t n) const;

 private:
  base::UniqueNativeFile file_;
  std::uint64_t size_ = 0;
  base::FileStamp stamp_;
};

// A read-ahead window over an Input for one thread walking the file in
// order, so that many small reads become few large ones.
class WindowReader {
 public:
  explicit WindowReader(const Input& in) : in_(in) {}
  const Input& Source() const { return in_; }
  void ReadAt(std::uint64_t offset, void* buffer, std::size_t n);

 private:
  const Input& in_;
  std::uint64_t start_ = 0;
  std::string window_;
};

}  // namespace quorvane::ooxml::zip
