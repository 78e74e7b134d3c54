#pragma once
// Folder listings for the folder walk, straight from FindFirstFileExW.

#include <memory>
#include <string>

#include "filelist/AddFolder.h"

namespace quorvane::win32 {

class Win32DirectoryListing final : public filelist::DirectoryListing {
 public:
  // Throws SystemError when the folder cannot be listed. An empty folder
  // (not even "." in a drive root) gives an empty scan.
  std::unique_ptr<filelist::DirectoryScan> Open(const std::string& folder) override;
};

// The attributes as the walk sees them; reparse points count as links so
// the walk never follows them.
filelist::FileAttributes ToFileAttributes(unsigned long attributes);

}  // namespace quorvane::win32
