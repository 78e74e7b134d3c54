#pragma once
// Read-only, positional access to the file behind a package. Reads carry
// their own offset, so one open file serves several threads at once.

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace quorvane::ooxml::zip {

class Input {
 public:
  // Throws PackageError when the file cannot be opened.
  explicit Input(const std::filesystem::path& path);
  Input(Input&& other) noexcept;
  Input& operator=(Input&& other) noexcept;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input();

  std::uint64_t Size() const { return size_; }
  // Reads exactly n bytes at offset; throws PackageError on a short read.
  void ReadAt(std::uint64_t offset, void* buffer, std::size_t n) const;

 private:
  void Close() noexcept;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  std::uint64_t size_ = 0;
};

}  // namespace quorvane::ooxml::zip
