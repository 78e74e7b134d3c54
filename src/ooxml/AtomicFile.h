#pragma once
// Replacing a file whole: the new content goes to a temporary file in the
// same folder, which is synced and then renamed over the original. Until the
// rename the original is untouched; a temporary file that is not committed
// is removed.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace quorvane::ooxml {

// What identifies one version of a file on disk, to notice that another
// program changed or replaced it meanwhile.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::uint64_t id = 0;       // inode or file index; 0 when unknown
  bool operator==(const FileStamp&) const = default;
};
// Throws PackageError when the file cannot be inspected.
FileStamp StampOf(const std::filesystem::path& path);

// Throws PackageError ("cannot write: ...") when the file may not be
// replaced: read-only attribute or mode bits (checked even for an
// administrator, who could otherwise write anywhere) or no write access.
void CheckReplaceable(const std::filesystem::path& target);

// "~$qv" + random + ".tmp": hidden from listings of workbooks, and the owner
// file prefix Excel uses, so nobody takes it for a workbook.
bool IsTemporaryName(const std::filesystem::path& name);

class AtomicFile {
 public:
  // Creates the temporary file beside target. Throws PackageError.
  explicit AtomicFile(const std::filesystem::path& target);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  const std::filesystem::path& TempPath() const { return temp_; }
  void Write(const void* data, std::size_t n);
  // Flushes, gives the file the original's permissions, syncs and closes it.
  void Finish();
  // Renames the finished file over the target and syncs the folder. After
  // this the temporary file no longer exists under its own name.
  void Commit();

 private:
  void Flush();
  void CloseHandle() noexcept;

  std::filesystem::path target_;
  std::filesystem::path temp_;
  std::string buffer_;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  bool finished_ = false;
  bool committed_ = false;
};

}  // namespace quorvane::ooxml
