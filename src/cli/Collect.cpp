#include "cli/Collect.h"

#include <filesystem>
#include <system_error>

#include "base/Controls.h"
#include "base/Utf8Path.h"
#include "filelist/FileList.h"

namespace quorvane::cli {
namespace {

// The walk is not interactive here: nothing to yield to, never cancelled.
class NoPump final : public filelist::MessagePump {
 public:
  bool Yield() override { return true; }
};

class GivenFolder final : public filelist::FolderPicker {
 public:
  explicit GivenFolder(std::string folder) : folder_(std::move(folder)) {}
  std::string BrowseForFolder(const std::string&) override { return folder_; }

 private:
  std::string folder_;
};

}  // namespace

std::vector<std::string> CollectWorkbooks(const std::vector<std::string>& paths,
                                          filelist::DirectoryListing& listing) {
  // The window's "add folder" handler itself does the work, so both find
  // exactly the same workbooks.
  filelist::FileList found;
  NoPump pump;
  base::Property<int> pointer;
  for (const auto& path : paths) {
    std::error_code ec;
    if (!std::filesystem::is_directory(base::FromUtf8(path), ec)) {
      found.Add(path);
      continue;
    }
    GivenFolder picker(path);
    base::CheckBox pressed;
    pressed.SetValue(1);
    filelist::Check4_Click(pressed, picker, listing, pump, found, pointer);
  }
  std::vector<std::string> workbooks;
  workbooks.reserve(found.Count());
  for (std::size_t i = 1; i <= found.Count(); ++i) workbooks.push_back(found.Text(i));
  return workbooks;
}

}  // namespace quorvane::cli
