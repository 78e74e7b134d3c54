#include "cli/Collect.h"

#include <filesystem>
#include <iterator>
#include <system_error>

#include "base/Utf8Path.h"

namespace quorvane::cli {
namespace {

// The walk is not interactive here: nothing to yield to, never cancelled.
class NoPump final : public filelist::MessagePump {
 public:
  bool Yield() override { return true; }
};

}  // namespace

std::vector<std::string> CollectWorkbooks(const std::vector<std::string>& paths,
                                          filelist::DirectoryListing& listing) {
  // The window's "add folder" button walks with the same function, so both
  // find exactly the same workbooks.
  std::vector<std::string> workbooks;
  NoPump pump;
  for (const auto& path : paths) {
    std::error_code ec;
    if (!std::filesystem::is_directory(base::FromUtf8(path), ec)) {
      workbooks.push_back(path);
      continue;
    }
    if (auto found = filelist::FindWorkbooks(listing, pump, path)) {
      workbooks.insert(workbooks.end(), std::make_move_iterator(found->begin()),
                       std::make_move_iterator(found->end()));
    }
  }
  return workbooks;
}

}  // namespace quorvane::cli
