#pragma once
// Reordering the list by dragging an entry over the others: each move over
// an entry with a different text exchanges the two texts, so the dragged path
// travels with the pointer.

#include <cstddef>
#include <optional>
#include <string>

#include "base/Controls.h"
#include "filelist/FileList.h"

namespace quorvane::filelist {

inline constexpr const char* kDragIconName = "drag.ico";
// Screen rows (pixels from the top of the screen) beyond which an exchange
// also scrolls the neighbouring entry into view.
inline constexpr int kScrollUpBelowY = 305;
inline constexpr int kScrollDownFromY = 365;

// What the drag needs of the list control besides its entries.
class ListViewControl {
 public:
  virtual ~ListViewControl() = default;
  // The 1-based position of the entry at a point given in the units of the
  // list's mouse events, or nothing over blank space.
  virtual std::optional<std::size_t> HitTest(int x, int y) const = 0;
  virtual void EnsureVisible(std::size_t index) = 0;
  // Makes the image in the file the list's custom pointer. Returns false,
  // keeping the image it had, when the file cannot be read.
  virtual bool LoadMouseIcon(const std::string& path) = 0;
};

class ScreenCursor {
 public:
  virtual ~ScreenCursor() = default;
  // The pointer's vertical position in screen pixels; nothing when unknown.
  virtual std::optional<int> CursorY() const = 0;
};

// The steps of the drag gesture on the list and the values they share: the
// button goes down, the list reports a click on an entry, the pointer moves,
// the button comes up. Holds references to everything it is given; all must
// outlive it.
class ListReorder {
 public:
  ListReorder(FileList& list, ListViewControl& view, ScreenCursor& cursor, base::Property<int>& listPointer,
              std::string programFolder);

  void Press();
  // The list reported a click on an entry: the selected one is dragged.
  void ItemClicked();
  void Move(int x, int y);  // in the units of the list's mouse events
  void Release();

  bool MouseIsDown() const { return mouseIsDown_; }
  // The current position of the entry holding the dragged text; nothing
  // before the first entry click and after that entry was removed.
  std::optional<std::size_t> DragItem() const;
  std::optional<std::size_t> HoverItem() const { return hoverItem_; }

 private:
  void ExchangeStep(int x, int y);

  FileList& list_;
  ListViewControl& view_;
  ScreenCursor& cursor_;
  base::Property<int>& listPointer_;
  std::string iconPath_;

  bool mouseIsDown_ = false;
  // By identity, not position: exchanges keep it on its entry, and a removal
  // of that entry leaves nothing to drag.
  std::optional<FileList::EntryId> dragItem_;
  std::optional<std::size_t> hoverItem_;
};

}  // namespace quorvane::filelist
