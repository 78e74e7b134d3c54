#pragma once
// The ordered list of workbook paths the tool works on. The list view on the
// window only mirrors it, so every rule here builds and runs without a control.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/PathList.h"

namespace quorvane::filelist {

// Told about every change so a view can follow the model.
class FileListObserver {
 public:
  virtual ~FileListObserver() = default;
  virtual void OnAppended(std::size_t index) = 0;  // 1-based position of the new entry
  virtual void OnRemoved(std::size_t index) = 0;
  virtual void OnTextChanged(std::size_t index) = 0;
  virtual void OnSelectionChanged(std::optional<std::size_t> index) = 0;
};

class FileList final : public base::PathList {
 public:
  // Positions are 1-based, as the list shows them.
  void Add(std::string text);
  std::size_t Count() const override { return entries_.size(); }
  const std::string& Text(std::size_t index) const override;  // throws std::out_of_range
  void SetText(std::size_t index, std::string text);
  void Remove(std::size_t index);

  std::optional<std::size_t> SelectedIndex() const { return selected_; }
  void Select(std::size_t index);
  void ClearSelection();

  // Removes the selected entry; with nothing selected the list stays as it was.
  void RemoveSelected();

  // Stable identity of the entry at a position, so that a reference held by a
  // drag survives exchanges of text and notices its entry's removal.
  using EntryId = std::size_t;
  EntryId IdAt(std::size_t index) const;
  std::optional<std::size_t> IndexOf(EntryId id) const;

  void SetObserver(FileListObserver* observer) { observer_ = observer; }  // not owned

 private:
  struct Entry {
    EntryId id;
    std::string text;
  };
  void CheckIndex(std::size_t index) const;

  std::vector<Entry> entries_;
  std::optional<std::size_t> selected_;
  EntryId nextId_ = 1;
  FileListObserver* observer_ = nullptr;
};

}  // namespace quorvane::filelist
