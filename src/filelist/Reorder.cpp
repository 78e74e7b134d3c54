#include "filelist/Reorder.h"

#include <exception>
#include <utility>

#include "base/Path.h"

namespace quorvane::filelist {

ListReorder::ListReorder(FileList& list, ListViewControl& view, ScreenCursor& cursor,
                         base::Property<int>& listPointer, std::string programFolder)
    : list_(list),
      view_(view),
      cursor_(cursor),
      listPointer_(listPointer),
      iconPath_(base::JoinPath(programFolder, kDragIconName)) {}

void ListReorder::Press() { mouseIsDown_ = true; }

// The list stays a drop target through all of this: switching drops off at
// an entry click would make later drops fail without a word.
void ListReorder::ItemClicked() {
  listPointer_.Set(base::kPointerCustom);
  try {
    view_.LoadMouseIcon(iconPath_);
  } catch (const std::exception&) {
    // A missing or broken image only costs the drag its picture.
  }
  const auto selected = list_.SelectedIndex();
  if (selected) dragItem_ = list_.IdAt(*selected);
  else dragItem_.reset();
}

void ListReorder::Move(int x, int y) {
  if (!mouseIsDown_) return;
  ExchangeStep(x, y);
  hoverItem_.reset();
}

void ListReorder::ExchangeStep(int x, int y) {
  hoverItem_ = view_.HitTest(x, y);
  if (hoverItem_ && (*hoverItem_ < 1 || *hoverItem_ > list_.Count())) hoverItem_.reset();
  const auto drag = DragItem();
  if (!hoverItem_ || !drag) return;
  const std::size_t hover = *hoverItem_;
  if (list_.Text(hover) == list_.Text(*drag)) return;

  std::string dragged = list_.Text(*drag);
  list_.SetText(*drag, list_.Text(hover));
  list_.SetText(hover, std::move(dragged));
  list_.Select(hover);
  dragItem_ = list_.IdAt(hover);

  const auto screenY = cursor_.CursorY();
  if (!screenY) return;
  if (*screenY < kScrollUpBelowY) {
    if (hover > 1) view_.EnsureVisible(hover - 1);
  } else if (*screenY >= kScrollDownFromY) {
    if (hover + 1 <= list_.Count()) view_.EnsureVisible(hover + 1);
  }
}

void ListReorder::Release() {
  mouseIsDown_ = false;
  listPointer_.Set(base::kPointerArrow);
}

std::optional<std::size_t> ListReorder::DragItem() const {
  if (!dragItem_) return std::nullopt;
  return list_.IndexOf(*dragItem_);
}

}  // namespace quorvane::filelist
