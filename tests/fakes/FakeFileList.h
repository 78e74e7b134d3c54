#pragma once
// In-memory stand-ins for the platform services that fill and reorder the
// file list: the open dialog, the folder picker, a directory tree, the
// message pump, the list control and the screen cursor.

#include <cstdint>
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

// The list's texts in order.
inline std::vector<std::string> Texts(const filelist::FileList& list) {
  std::vector<std::string> out;
  for (std::size_t i = 1; i <= list.Count(); ++i) out.push_back(list.Text(i));
  return out;
}

// Logs every setting and showing; ShowOpen "returns" `result`.
class FakeOpenDialog final : public filelist::OpenFileDialog {
 public:
  std::vector<std::string> calls;
  std::string result;
  ShowResult show = ShowResult::Closed;
  bool fail = false;

  void SetFileName(const std::string& v) override {
    calls.push_back("FileName=" + v);
    fileName_ = v;
  }
  void SetFlags(long v) override { calls.push_back("Flags=" + std::to_string(v)); }
  void SetDialogTitle(const std::string& v) override { calls.push_back("DialogTitle=" + v); }
  void SetFilter(const std::string& v) override { calls.push_back("Filter=" + v); }
  ShowResult ShowOpen() override {
    calls.push_back("ShowOpen");
    if (fail) throw std::runtime_error("no dialog today");
    fileName_ = result;
    return show;
  }
  std::string FileName() const override { return fileName_; }

 private:
  std::string fileName_ = "left over from last time";
};

class FakeFolderPicker final : public filelist::FolderPicker {
 public:
  std::string choice;
  std::vector<std::string> prompts;
  std::string BrowseForFolder(const std::string& prompt) override {
    prompts.push_back(prompt);
    return choice;
  }
};

// A tree with Windows paths; each folder lists its entries in the order added.
class FakeListing final : public filelist::DirectoryListing {
 public:
  std::map<std::string, std::vector<filelist::DirectoryEntry>> folders;
  std::set<std::string> unlistable;
  std::map<std::string, std::size_t> breakAfter;  // the listing fails after this many entries
  std::vector<std::string> opened;

  void Add(const std::string& folder, const std::string& name, std::optional<filelist::FileAttributes> a) {
    folders[folder].push_back({name, a});
  }
  // Plain entries; a name ending in a backslash is a folder.
  void Add(const std::string& folder, std::initializer_list<std::string> names) {
    for (const auto& name : names) {
      const bool dir = name.back() == '\\';
      Add(folder, dir ? name.substr(0, name.size() - 1) : name, filelist::FileAttributes{.directory = dir});
    }
  }

  std::unique_ptr<filelist::DirectoryScan> Open(const std::string& folder) override {
    opened.push_back(folder);
    if (unlistable.count(folder)) throw std::runtime_error("access denied");
    auto it = breakAfter.find(folder);
    return std::make_unique<Scan>(folders[folder], it == breakAfter.end() ? SIZE_MAX : it->second);
  }

 private:
  class Scan final : public filelist::DirectoryScan {
   public:
    Scan(std::vector<filelist::DirectoryEntry> entries, std::size_t breakAfter)
        : entries_(std::move(entries)), breakAfter_(breakAfter) {}
    std::optional<filelist::DirectoryEntry> Next() override {
      if (next_ == breakAfter_) throw std::runtime_error("device gone");
      if (next_ == entries_.size()) return std::nullopt;
      return entries_[next_++];
    }

   private:
    std::vector<filelist::DirectoryEntry> entries_;  // a copy: the tree may change while a scan runs
    std::size_t breakAfter_;
    std::size_t next_ = 0;
  };
};

class FakePump final : public filelist::MessagePump {
 public:
  std::function<bool()> onYield;
  int yields = 0;
  bool Yield() override {
    ++yields;
    return onYield ? onYield() : true;
  }
};

class FakeDrag final : public filelist::DragData {
 public:
  std::set<int> formats;
  std::vector<std::string> files;
  bool GetFormat(int format) const override { return formats.count(format) > 0; }
  std::size_t FilesCount() const override { return files.size(); }
  std::string File(std::size_t index) const override { return files.at(index - 1); }
};

// Entries are 10 units high from y = 0; below the last one is blank space.
// Follows the list it is attached to (not owned).
class FakeListView final : public filelist::ListViewControl {
 public:
  void Attach(const filelist::FileList& list) { list_ = &list; }
  std::vector<std::size_t> ensured;
  std::vector<std::string> iconLoads;
  bool iconReadable = true;
  bool iconThrows = false;

  static int Row(std::size_t index) { return static_cast<int>(index - 1) * 10 + 5; }
  static constexpr int kBlank = 100000;

  std::optional<std::size_t> HitTest(int, int y) const override {
    if (y < 0 || !list_) return std::nullopt;
    const auto row = static_cast<std::size_t>(y / 10) + 1;
    if (row > list_->Count()) return std::nullopt;
    return row;
  }
  void EnsureVisible(std::size_t index) override { ensured.push_back(index); }
  bool LoadMouseIcon(const std::string& path) override {
    iconLoads.push_back(path);
    if (iconThrows) throw std::runtime_error("not an icon");
    return iconReadable;
  }

 private:
  const filelist::FileList* list_ = nullptr;
};

class FakeCursor final : public filelist::ScreenCursor {
 public:
  std::optional<int> y = 330;  // between the scroll rows
  std::optional<int> CursorY() const override { return y; }
};

// Everything the window needs for filling and ordering its list.
struct FileListFakes {
  FakeOpenDialog dialog;
  FakeFolderPicker picker;
  FakeListing listing;
  FakePump pump;
  FakeListView listView;
  FakeCursor cursor;
};

}  // namespace quorvane::testing
