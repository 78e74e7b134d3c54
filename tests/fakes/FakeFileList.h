#pragma once
// An in-memory stand-in for the platform services that fill and reorder the
// file list.

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "filelist/AddFiles.h"
#include "filelist/AddFolder.h"
#include "filelist/Drop.h"
#include "filelist/Reorder.h"

namespace quorvane::testing {

inline std::vector<std::string> Texts(const filelist::FileList& list) {
  std::vector<std::string> out;
  for (std::size_t i = 1; i <= list.Count(); ++i) out.push_back(list.Text(i));
  return out;
}

// The platform around the list, in memory: the open dialog, a tree with
// Windows paths with its folder picker and the message pump of a walk over
// it, the data of one drag, and the list's control with the screen's pointer.
class FakeShell final : public filelist::OpenFileDialog, public filelist::FolderPicker,
                        public filelist::DirectoryListing, public filelist::MessagePump, public filelist::DragData,
                        public filelist::ListViewControl, public filelist::ScreenCursor {
 public:
  // ShowOpen answers `show` with `result` (or throws when `fail`).
  std::string result;
  ShowResult show = ShowResult::Closed;
  bool fail = false;
  // Each folder lists its entries in the order added; Open throws for
  // `unlistable` folders and gives no scan for unknown ones.
  std::string choice;
  std::map<std::string, std::vector<filelist::DirectoryEntry>> folders;
  std::set<std::string> unlistable;
  std::function<bool()> onYield;
  std::set<int> formats;  // of the drag
  std::vector<std::string> files;
  // Entries are 10 units high from y = 0; below the last one is blank space.
  // The control follows the list it is attached to (not owned). No drag image loads.
  const filelist::FileList* list = nullptr;
  std::optional<int> screenY;  // where the pointer is on the screen, if known
  std::vector<std::size_t> ensured;

  // A name ending in a backslash is a folder; [h], [s] or [l] before it makes
  // it hidden, system or a link, [?] leaves its attributes unread. The
  // listing breaks off where the name is "!".
  void Add(const std::string& folder, std::initializer_list<std::string> names) {
    for (std::string name : names) {
      const char mark = name.starts_with('[') ? name[1] : ' ';
      if (mark != ' ') name.erase(0, 3);
      const filelist::FileAttributes a{
          .directory = name.ends_with('\\'), .hidden = mark == 'h', .system = mark == 's', .link = mark == 'l'};
      if (a.directory) name.pop_back();
      folders[folder].push_back({name, mark == '?' ? std::nullopt : std::optional(a)});
    }
  }

  void SetFileName(const std::string&) override {}
  void SetFlags(long) override {}
  void SetDialogTitle(const std::string&) override {}
  void SetFilter(const std::string&) override {}
  ShowResult ShowOpen() override {
    if (fail) throw std::runtime_error("no dialog today");
    return show;
  }
  std::string FileName() const override { return result; }

  std::string BrowseForFolder(const std::string&) override { return choice; }
  bool Yield() override { return onYield ? onYield() : true; }
  std::unique_ptr<filelist::DirectoryScan> Open(const std::string& folder) override {
    if (unlistable.count(folder)) throw std::runtime_error("access denied");
    const auto it = folders.find(folder);
    if (it == folders.end()) return nullptr;
    return std::make_unique<Scan>(it->second);
  }

  bool GetFormat(int format) const override { return formats.count(format) > 0; }
  std::size_t FilesCount() const override { return files.size(); }
  std::string File(std::size_t index) const override { return files.at(index - 1); }

  std::optional<std::size_t> HitTest(int, int y) const override {
    const auto row = static_cast<std::size_t>(y / 10) + 1;
    if (y < 0 || !list || row > list->Count()) return std::nullopt;
    return row;
  }
  void EnsureVisible(std::size_t index) override { ensured.push_back(index); }
  bool LoadMouseIcon(const std::string&) override { throw std::runtime_error("no drag image"); }
  std::optional<int> CursorY() const override { return screenY; }

 private:
  class Scan final : public filelist::DirectoryScan {
   public:
    explicit Scan(std::vector<filelist::DirectoryEntry> entries) : entries_(std::move(entries)) {}
    std::optional<filelist::DirectoryEntry> Next() override {
      if (next_ == entries_.size()) return std::nullopt;
      if (entries_[next_].name == "!") throw std::runtime_error("device gone");
      return entries_[next_++];
    }

   private:
    std::vector<filelist::DirectoryEntry> entries_;  // a copy: the tree may change while a scan runs
    std::size_t next_ = 0;
  };
};

}  // namespace quorvane::testing
