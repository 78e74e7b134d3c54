#include "win32/window/ListViewHost.h"

#include <commctrl.h>
#include <windowsx.h>

#include "win32/Strings.h"

namespace quorvane::win32 {

namespace {

class MirrorScope {
 public:
  explicit MirrorScope(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
  MirrorScope(const MirrorScope&) = delete;
  MirrorScope& operator=(const MirrorScope&) = delete;
  ~MirrorScope() { flag_ = old_; }

 private:
  bool& flag_;
  bool old_;
};

int Row(std::size_t index) { return static_cast<int>(index) - 1; }

}  // namespace

ListViewHost::~ListViewHost() { Unbind(); }

void ListViewHost::Attach(HWND list, filelist::FileList& model, ListMouseEvents events) {
  list_ = list;
  model_ = &model;
  events_ = std::move(events);
  model.SetObserver(this);
  subclass_.Attach(list, [this](HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return OnMessage(hwnd, message, wParam, lParam);
  });
}

void ListViewHost::Detached() { list_ = nullptr; }

void ListViewHost::Unbind() {
  subclass_.Detach();
  if (model_) model_->SetObserver(nullptr);
  model_ = nullptr;
}

void ListViewHost::OnAppended(std::size_t index) {
  if (!list_) return;
  MirrorScope scope(mirroring_);
  std::wstring text = Widen(model_->Text(index));
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = Row(index);
  item.pszText = text.data();
  ListView_InsertItem(list_, &item);
}

void ListViewHost::OnRemoved(std::size_t index) {
  if (!list_) return;
  MirrorScope scope(mirroring_);
  ListView_DeleteItem(list_, Row(index));
}

void ListViewHost::OnTextChanged(std::size_t index) {
  if (!list_) return;
  MirrorScope scope(mirroring_);
  std::wstring text = Widen(model_->Text(index));
  ListView_SetItemText(list_, Row(index), 0, text.data());
}

void ListViewHost::OnSelectionChanged(std::optional<std::size_t> index) {
  if (!list_) return;
  MirrorScope scope(mirroring_);
  ListView_SetItemState(list_, -1, 0, LVIS_SELECTED);
  if (index) ListView_SetItemState(list_, Row(*index), LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

void ListViewHost::OnItemChanged(const NMLISTVIEW& change) {
  if (mirroring_ || !model_ || change.iItem < 0) return;  // also while the control is torn down
  if (!(change.uChanged & LVIF_STATE)) return;
  const bool was = (change.uOldState & LVIS_SELECTED) != 0;
  const bool is = (change.uNewState & LVIS_SELECTED) != 0;
  const auto index = static_cast<std::size_t>(change.iItem) + 1;
  if (is && !was) {
    model_->Select(index);
  } else if (was && !is && model_->SelectedIndex() == index) {
    model_->ClearSelection();
  }
}

std::optional<std::size_t> ListViewHost::HitTest(int x, int y) const {
  if (!list_) return std::nullopt;
  LVHITTESTINFO info{};
  info.pt = {x, y};
  const int row = ListView_HitTest(list_, &info);
  if (row < 0 || !(info.flags & LVHT_ONITEM)) return std::nullopt;
  return static_cast<std::size_t>(row) + 1;
}

void ListViewHost::EnsureVisible(std::size_t index) {
  if (list_) ListView_EnsureVisible(list_, Row(index), FALSE);
}

bool ListViewHost::LoadMouseIcon(const std::string& path) {
  // The image keeps its own hot spot: the centre for an icon file.
  HANDLE image = ::LoadImageW(nullptr, Widen(path).c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE);
  if (!image) return false;
  icon_.reset(static_cast<HICON>(image));
  return true;
}

// The list's own press handling starts a drag-detect loop that eats the
// moves and the release, so a press is handled here: the drag needs
// MouseDown and the entry click before the first move of the same press.
void ListViewHost::Press(LPARAM lParam, bool twice) {
  ::SetFocus(list_);
  events_.mouseDown();
  const auto hit = HitTest(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
  if (hit) {
    model_->Select(*hit);
    events_.itemClick();
  }
  ::SetCapture(list_);
  if (twice) events_.dblClick();
}

std::optional<LRESULT> ListViewHost::OnMessage(HWND, UINT message, WPARAM, LPARAM lParam) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      if (!model_) return std::nullopt;
      if (events_.accepting()) Press(lParam, message == WM_LBUTTONDBLCLK);
      return 0;
    case WM_MOUSEMOVE:
      if (events_.accepting()) events_.mouseMove(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return std::nullopt;  // hot tracking and the tooltip still see it
    case WM_LBUTTONUP:
      if (::GetCapture() == list_) ::ReleaseCapture();
      if (events_.accepting()) events_.mouseUp();
      return 0;
    default:
      return std::nullopt;
  }
}

}  // namespace quorvane::win32
