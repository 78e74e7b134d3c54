#pragma once
// Replacing a file whole: the new content goes to a temporary file in the
// same folder, which is synced and then renamed over the original. Until the
// rename the original is untouched; a temporary file that is not committed
// is removed.
//
// A process killed meanwhile leaves its temporary file behind. Every writer
// holds its temporary file exclusively while it lives (POSIX: flock on the
// open descriptor, which the kernel drops when the process dies; Windows: an
// open handle that does not share deletion), so the next run can tell the
// abandoned ones from those another process is still writing.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "base/NativeFile.h"

namespace quorvane::base {

// A file that could not be inspected, written or moved into place; what()
// says why, e.g. "cannot write: disk full".
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What identifies one version of a file on disk, to notice that another
// program changed or replaced it meanwhile.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::uint64_t id = 0;       // inode or file index; 0 when unknown
  bool operator==(const FileStamp&) const = default;
};
// Throws FileError when the file cannot be inspected.
FileStamp StampOf(const std::filesystem::path& path);

// Throws FileError ("cannot write: ...") when the file may not be
// replaced: read-only attribute or mode bits (checked even for an
// administrator, who could otherwise write anywhere) or no write access.
void CheckReplaceable(const std::filesystem::path& target);

// "~$qv" + 12 lowercase hex digits + ".tmp": hidden from listings of
// workbooks, and the owner file prefix Excel uses, so nobody takes it for a
// workbook. Only this exact shape counts: Excel's own "~$Book.xlsx" and
// anything else that merely looks alike belong to others.
bool IsTemporaryName(const std::filesystem::path& name);

// Removes the temporary files this tool left in folder (IsTemporaryName, and
// the older backup copier's ".quorvane-copy.XXXXXX") that no writer holds,
// in this process or any other. Nothing else is touched; failures only mean
// a file stays. Returns how many were removed.
std::size_t RemoveAbandonedTemporaries(const std::filesystem::path& folder) noexcept;
// The same, at most once per folder in the life of the process: cheap enough
// to call before every save and every backup copy.
void RemoveAbandonedTemporariesOnce(const std::filesystem::path& folder) noexcept;

// A new file "~$qv<hex>.tmp" in a folder, held exclusively from its creation
// until it is moved into place or, when not, removed by the destructor.
// Creating one first clears the folder's abandoned temporaries (once).
class TemporaryFile {
 public:
  // Throws FileError ("cannot write: ...").
  explicit TemporaryFile(const std::filesystem::path& folder);
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();

  const std::filesystem::path& Path() const { return path_; }
  // Writes everything or throws FileError.
  void Write(const void* data, std::size_t n);
  // Content and size to stable storage. Throws FileError.
  void Sync();
  // Renames the file to target while still holding it, then lets it go.
  // replace false never replaces an existing target: false is returned and
  // the temporary file stays (and goes with the destructor). Throws
  // FileError for any other failure.
  bool MoveTo(const std::filesystem::path& target, bool replace);
  bool Moved() const { return moved_; }
  NativeFile NativeHandle() const { return file_.get(); }

 private:
  std::filesystem::path path_;
  UniqueNativeFile file_;  // held until moved into place or removed
  bool moved_ = false;
};

class AtomicFile {
 public:
  // Creates the temporary file beside target. Throws FileError.
  explicit AtomicFile(const std::filesystem::path& target);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  const std::filesystem::path& TempPath() const { return temp_.Path(); }
  void Write(const void* data, std::size_t n);
  // Flushes, gives the file the original's permissions and syncs it. The
  // file stays held (and readable by path) until Commit or destruction.
  void Finish();
  // Renames the finished file over the target and syncs the folder. After
  // this the temporary file no longer exists under its own name.
  void Commit();

 private:
  void Flush();

  std::filesystem::path target_;
  TemporaryFile temp_;
  std::string buffer_;
  bool finished_ = false;
};

}  // namespace quorvane::base
