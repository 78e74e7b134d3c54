#include "filelist/FileList.h"

#include <algorithm>
#include <stdexcept>

namespace quorvane::filelist {

void FileList::CheckIndex(std::size_t index) const {
  if (index < 1 || index > entries_.size()) throw std::out_of_range("list position out of range");
}

void FileList::Add(std::string text) {
  entries_.push_back({nextId_++, std::move(text)});
  if (observer_) observer_->OnAppended(entries_.size());
}

const std::string& FileList::Text(std::size_t index) const {
  CheckIndex(index);
  return entries_[index - 1].text;
}

void FileList::SetText(std::size_t index, std::string text) {
  CheckIndex(index);
  entries_[index - 1].text = std::move(text);
  if (observer_) observer_->OnTextChanged(index);
}

void FileList::Remove(std::size_t index) {
  CheckIndex(index);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index - 1));
  if (selected_) {
    // A list control drops the selection of a removed entry and keeps the
    // selection of the others on their entries as they move up.
    if (*selected_ == index) selected_.reset();
    else if (*selected_ > index) --*selected_;
  }
  if (observer_) observer_->OnRemoved(index);
}

void FileList::Select(std::size_t index) {
  CheckIndex(index);
  selected_ = index;
  if (observer_) observer_->OnSelectionChanged(selected_);
}

void FileList::ClearSelection() {
  selected_.reset();
  if (observer_) observer_->OnSelectionChanged(selected_);
}

void FileList::RemoveSelected() {
  if (!selected_) return;
  Remove(*selected_);
}

FileList::EntryId FileList::IdAt(std::size_t index) const {
  CheckIndex(index);
  return entries_[index - 1].id;
}

std::optional<std::size_t> FileList::IndexOf(EntryId id) const {
  auto it = std::find_if(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; });
  if (it == entries_.end()) return std::nullopt;
  return static_cast<std::size_t>(it - entries_.begin()) + 1;
}

}  // namespace quorvane::filelist
