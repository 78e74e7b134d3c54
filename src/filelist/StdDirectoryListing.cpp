#include "filelist/StdDirectoryListing.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace quorvane::filelist {
namespace {

namespace fs = std::filesystem;

class StdDirectoryScan final : public DirectoryScan {
 public:
  explicit StdDirectoryScan(const std::string& folder) {
    std::error_code ec;
    it_ = fs::directory_iterator(fs::path(folder), ec);
    if (ec) throw std::runtime_error("cannot list " + folder + ": " + ec.message());
  }

  std::optional<DirectoryEntry> Next() override {
    if (it_ == fs::directory_iterator()) return std::nullopt;
    if (started_) {
      std::error_code ec;
      it_.increment(ec);
      if (ec) throw std::runtime_error("listing broke off: " + ec.message());
      if (it_ == fs::directory_iterator()) return std::nullopt;
    }
    started_ = true;
    return Describe(*it_);
  }

 private:
  static DirectoryEntry Describe(const fs::directory_entry& item) {
    DirectoryEntry entry;
    entry.name = item.path().filename().string();
    std::error_code ec;
    const auto own = item.symlink_status(ec);
    if (ec) return entry;  // attributes unknown
    FileAttributes attributes;
    attributes.link = fs::is_symlink(own);
    // A link reports what it points at, as a folder link does on Windows; a
    // dangling one counts as a file.
    const auto target = attributes.link ? item.status(ec) : own;
    attributes.directory = !ec && fs::is_directory(target);
    attributes.hidden = !entry.name.empty() && entry.name.front() == '.';
    entry.attributes = attributes;
    return entry;
  }

  fs::directory_iterator it_;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<DirectoryScan> StdDirectoryListing::Open(const std::string& folder) {
  return std::make_unique<StdDirectoryScan>(folder);
}

std::string StdDirectoryListing::Join(std::string_view folder, std::string_view name) const {
  return (fs::path(folder) / fs::path(name)).string();
}

}  // namespace quorvane::filelist
