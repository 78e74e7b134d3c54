#pragma once
// Replacing a file whole: the new content goes to a temporary file in the
// same folder, which is synced and then put in place of the original. Until
// then the original is untouched; a temporary file that is not committed
// is removed.
//
// The original is replaced only while it is still the file that was read:
// another program's save that lands while ours is being written is never
// overwritten. On Linux the new file is exchanged with the original
// (renameat2 RENAME_EXCHANGE) and what came out is checked and, when it is
// not the file that was read, exchanged back; file systems that cannot
// exchange get a check just before a plain rename. On Windows the original
// is held without write or delete sharing from the first check to the
// replace, which ReplaceFileW does with the original moved aside, checked
// and put back when it is not the file that was read.
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

// A file that could not be examined, written or moved into place; what()
// says why, e.g. "cannot write: disk full".
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file to be replaced is no longer the one that was read: another
// program saved over it, replaced or deleted it. Its version is left as it is.
class FileChanged : public FileError {
 public:
  FileChanged() : FileError("changed by another program") {}
};

// What identifies one version of a file on disk, to notice that another
// program changed or replaced it meanwhile.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::uint64_t device = 0;   // device, or volume serial number
  std::uint64_t file = 0;     // inode, or file index
  bool operator==(const FileStamp&) const = default;
  bool SameFile(const FileStamp& other) const { return device == other.device && file == other.file; }
};
// The stamp of an open file: the very file that was read, whatever its name
// leads to by now. Throws FileError.
FileStamp StampOf(NativeFile file);

// Throws FileError ("cannot write: ...") when the file may not be
// replaced: read-only attribute or mode bits (checked even for an
// administrator, who could otherwise write anywhere) or no write access;
// FileChanged when it is no longer there.
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
  // Puts the file in place of target, which `original` has held open since
  // it was read as `expected`, only while target is still that unchanged
  // file; otherwise throws FileChanged and target is what the other program
  // made of it. Throws FileError for any other failure; target is then as
  // it was.
  void Replace(const std::filesystem::path& target, UniqueNativeFile original, const FileStamp& expected);
  bool Moved() const { return moved_; }
  NativeFile NativeHandle() const { return file_.get(); }

 private:
  void LetGoMoved() noexcept;

  std::filesystem::path path_;
  UniqueNativeFile file_;  // held until moved into place or removed
  bool moved_ = false;
};

class AtomicFile {
 public:
  // Creates the temporary file beside target, once target has been found
  // still to be the file read as `expected` (else FileChanged), and holds
  // target from here to Commit. Throws FileError.
  AtomicFile(const std::filesystem::path& target, const FileStamp& expected);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  const std::filesystem::path& TempPath() const { return temp_.Path(); }
  void Write(const void* data, std::size_t n);
  // Flushes, gives the file what the original had (mode, owner and extended
  // attributes where permitted on POSIX; visible attributes on Windows) and
  // syncs it. The file stays held (and readable by path) until Commit or
  // destruction.
  void Finish();
  // Puts the finished file in place of the target (TemporaryFile::Replace)
  // and syncs the folder. After this the temporary file no longer exists
  // under its own name. Throws FileChanged or FileError.
  void Commit();
  // Before Commit: the target was written into since it was read (a read
  // of it that failed meanwhile was that program's doing, not ours).
  bool OriginalChanged() const noexcept;

 private:
  void Flush();

  std::filesystem::path target_;
  FileStamp expected_;
  UniqueNativeFile original_;  // the target as it was read, held until Commit
  TemporaryFile temp_;
  std::string buffer_;
  bool finished_ = false;
};

}  // namespace quorvane::base
