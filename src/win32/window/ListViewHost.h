#pragma once
// The report-view list control as a mirror of the FileList, and the list's
// mouse input mapped onto the reorder handlers.

#include <windows.h>
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield
#include <commctrl.h>

#include <functional>

#include "filelist/FileList.h"
#include "filelist/Reorder.h"
#include "win32/Resource.h"
#include "win32/window/Controls.h"

namespace quorvane::win32 {

struct ListMouseEvents {
  std::function<bool()> accepting;  // false while input must start nothing
  std::function<void()> mouseDown;
  std::function<void()> itemClick;
  std::function<void(int x, int y)> mouseMove;  // list client coordinates
  std::function<void()> mouseUp;
  std::function<void()> dblClick;
};

class ListViewHost final : public filelist::FileListObserver, public filelist::ListViewControl {
 public:
  ListViewHost() = default;
  ListViewHost(const ListViewHost&) = delete;
  ListViewHost& operator=(const ListViewHost&) = delete;
  ~ListViewHost() override;

  // Takes over an existing list control; model is borrowed and must outlive
  // the host (the host unhooks itself on destruction).
  void Attach(HWND list, filelist::FileList& model, ListMouseEvents events);
  HWND Handle() const { return list_; }
  void Detached();  // the control is gone
  void Unbind();    // stops following the model, before the model goes

  void OnAppended(std::size_t index) override;
  void OnRemoved(std::size_t index) override;
  void OnTextChanged(std::size_t index) override;
  void OnSelectionChanged(std::optional<std::size_t> index) override;

  std::optional<std::size_t> HitTest(int x, int y) const override;
  void EnsureVisible(std::size_t index) override;
  bool LoadMouseIcon(const std::string& path) override;
  HCURSOR MouseIcon() const { return icon_.get(); }

  // The control's selection changed by itself (keyboard): the model follows.
  void OnItemChanged(const NMLISTVIEW& change);

 private:
  std::optional<LRESULT> OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void Press(LPARAM lParam, bool twice);

  HWND list_ = nullptr;
  filelist::FileList* model_ = nullptr;
  ListMouseEvents events_;
  Subclass subclass_;
  UniqueHicon icon_;
  bool mirroring_ = false;  // the control is being changed from the model
};

}  // namespace quorvane::win32
