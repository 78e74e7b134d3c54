#pragma once
// OLE drag and drop onto the list: an IDropTarget that hands the drag to the
// core's drag-over and drop handlers, and the drag data as the core reads it.

#include <windows.h>
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield
#include <ole2.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filelist/Drop.h"
#include "win32/Resource.h"

namespace quorvane::win32 {

// The drag data of one IDataObject, read once: whether it offers a file list
// (CF_HDROP in global memory) and the paths in it.
class HDropData final : public filelist::DragData {
 public:
  explicit HDropData(IDataObject* data);  // borrowed for the constructor only
  bool GetFormat(int format) const override;
  std::size_t FilesCount() const override { return files_.size(); }
  std::string File(std::size_t index) const override;

 private:
  bool hasFileList_ = false;
  std::vector<std::string> files_;
};

// The handlers the target calls; the window decides whether input counts.
struct DropHandlers {
  std::function<void(const filelist::DragData&, int& effect)> dragOver;
  std::function<void(const filelist::DragData&)> drop;
};

// Reference-counted as COM wants; create with Make, and RegisterDragDrop
// takes its own reference. COM interfaces have no virtual destructor: the
// object deletes itself in Release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class ListDropTarget final : public IDropTarget {
 public:
  static ComPtr<IDropTarget> Make(DropHandlers handlers);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;
  HRESULT STDMETHODCALLTYPE DragOver(DWORD keys, POINTL point, DWORD* effect) override;
  HRESULT STDMETHODCALLTYPE DragLeave() override;
  HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;

 private:
  explicit ListDropTarget(DropHandlers handlers) : handlers_(std::move(handlers)) {}
  ~ListDropTarget() = default;
  DWORD Decide(DWORD allowed);

  LONG references_ = 1;
  DropHandlers handlers_;
  std::unique_ptr<HDropData> current_;  // the drag over the list, from DragEnter to DragLeave/Drop
};
#pragma GCC diagnostic pop

}  // namespace quorvane::win32
