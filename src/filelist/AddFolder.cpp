#include "filelist/AddFolder.h"

#include <exception>
#include <utility>

#include "base/BackupShape.h"

namespace quorvane::filelist {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

// Scans one folder and collects the folders the walk may enter. A folder
// that cannot be listed, or whose listing breaks off, keeps what was found
// so far: one unreadable place must not stop the whole walk.
bool ListSubFolders(DirectoryListing& listing, MessagePump& pump, const std::string& folder,
                    std::vector<std::string>& found) {
  std::unique_ptr<DirectoryScan> scan;
  try {
    scan = listing.Open(folder);
  } catch (const std::exception&) {
    return true;
  }
  if (!scan) return true;
  if (!pump.Yield()) return false;
  for (;;) {
    std::optional<DirectoryEntry> entry;
    try {
      entry = scan->Next();
    } catch (const std::exception&) {
      return true;
    }
    if (!entry) return true;
    if (!pump.Yield()) return false;
    if (IsDotEntry(entry->name)) continue;
    const auto& attributes = entry->attributes;
    // Links are never followed: one pointing at an ancestor would make the
    // walk go round for ever.
    if (!attributes || attributes->hidden || attributes->system || !attributes->directory ||
        attributes->link)
      continue;
    found.push_back(listing.Join(folder, entry->name));
  }
}

// Puts the window pointer back when the walk ends, however it ends. A walk
// started from inside another one's message pump leaves that to the outer
// walk, which is still working.
class BusyPointer {
 public:
  explicit BusyPointer(base::Property<int>& pointer)
      : pointer_(pointer), nested_(pointer.Get() == base::kPointerHourglass) {
    pointer_.Set(base::kPointerHourglass);
  }
  BusyPointer(const BusyPointer&) = delete;
  BusyPointer& operator=(const BusyPointer&) = delete;
  ~BusyPointer() {
    if (nested_) return;
    try {
      pointer_.Set(base::kPointerDefault);
    } catch (...) {
      // The view hook failed; the value itself is set before the hook runs.
    }
  }

 private:
  base::Property<int>& pointer_;
  bool nested_;
};

}  // namespace

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  std::size_t n = 0, p = 0;
  std::size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      // Let the last star take one more character and try again.
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string> ListFiles(DirectoryListing& listing, const std::string& folder,
                                   std::string_view pattern) {
  std::vector<std::string> names;
  std::unique_ptr<DirectoryScan> scan;
  try {
    scan = listing.Open(folder);
  } catch (const std::exception&) {
    return names;
  }
  if (!scan) return names;
  for (;;) {
    std::optional<DirectoryEntry> entry;
    try {
      entry = scan->Next();
    } catch (const std::exception&) {
      return names;
    }
    if (!entry) return names;
    if (!entry->attributes || entry->attributes->directory) continue;
    if (MatchesPattern(entry->name, pattern)) names.push_back(std::move(entry->name));
  }
}

bool AddSubFolders(DirectoryListing& listing, MessagePump& pump, std::vector<std::string>& folders,
                   bool recurse) {
  // Level by level without recursion, so the depth of a tree costs no stack.
  std::size_t levelBegin = 0;
  do {
    const std::size_t levelEnd = folders.size();
    std::vector<std::string> found;
    for (std::size_t i = levelBegin; i < levelEnd; ++i)
      if (!ListSubFolders(listing, pump, folders[i], found)) return false;
    for (auto& folder : found) {
      if (!pump.Yield()) return false;
      folders.push_back(std::move(folder));
    }
    levelBegin = levelEnd;
  } while (recurse && levelBegin < folders.size());
  return true;
}

std::optional<std::vector<std::string>> FindWorkbooks(DirectoryListing& listing, MessagePump& pump,
                                                      const std::string& folder) {
  // Everything of this walk lives here, so a second walk started from the
  // message pump keeps its own and leaves this one alone.
  std::vector<std::string> folders{folder};
  if (!AddSubFolders(listing, pump, folders, true)) return std::nullopt;

  std::vector<std::string> workbooks;
  for (const auto& each : folders) {
    for (const auto& name : ListFiles(listing, each, kWorkbookPattern)) {
      if (name.front() == '~') continue;  // the lock files of open workbooks
      // Our own backups: working on them would break the links in the only
      // linked copy left. Named one by one they are still taken.
      if (base::IsBackupName(name)) continue;
      workbooks.push_back(listing.Join(each, name));
    }
  }
  return workbooks;
}

void AddFolder(FolderPicker& picker, DirectoryListing& listing, MessagePump& pump, FileList& list,
               base::Property<int>& windowPointer) {
  const std::string root = picker.BrowseForFolder(kFolderPrompt);
  if (root.empty()) return;

  BusyPointer busy(windowPointer);
  auto workbooks = FindWorkbooks(listing, pump, root);
  if (!workbooks) return;
  for (auto& path : *workbooks) list.Add(std::move(path));
}

}  // namespace quorvane::filelist
