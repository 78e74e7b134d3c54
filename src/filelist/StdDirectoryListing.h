#pragma once
// The folder walk's listing over std::filesystem, for POSIX systems: names
// that begin with a dot count as hidden, and paths are joined with the
// platform's own separator.

#include "filelist/AddFolder.h"

namespace quorvane::filelist {

class StdDirectoryListing final : public DirectoryListing {
 public:
  std::unique_ptr<DirectoryScan> Open(const std::string& folder) override;
  std::string Join(std::string_view folder, std::string_view name) const override;
};

}  // namespace quorvane::filelist
