#include "win32/window/DropTarget.h"

#include <shellapi.h>

#include <exception>

#include "win32/Strings.h"

namespace quorvane::win32 {

namespace {

FORMATETC FileListFormat() { return {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}; }

// Releases what GetData handed over, also on the error paths.
class Medium {
 public:
  Medium() = default;
  Medium(const Medium&) = delete;
  Medium& operator=(const Medium&) = delete;
  ~Medium() {
    if (filled_) ::ReleaseStgMedium(&medium_);
  }
  STGMEDIUM* put() {
    filled_ = true;
    return &medium_;
  }
  STGMEDIUM& get() { return medium_; }

 private:
  STGMEDIUM medium_{};
  bool filled_ = false;
};

// Holds GlobalLock for one scope.
class GlobalLockScope {
 public:
  explicit GlobalLockScope(HGLOBAL memory) : memory_(memory), data_(::GlobalLock(memory)) {}
  GlobalLockScope(const GlobalLockScope&) = delete;
  GlobalLockScope& operator=(const GlobalLockScope&) = delete;
  ~GlobalLockScope() {
    if (data_) ::GlobalUnlock(memory_);
  }
  void* get() const { return data_; }

 private:
  HGLOBAL memory_;
  void* data_;
};

}  // namespace

HDropData::HDropData(IDataObject* data) {
  if (!data) return;
  FORMATETC format = FileListFormat();
  if (data->QueryGetData(&format) != S_OK) return;
  hasFileList_ = true;
  Medium medium;
  if (FAILED(data->GetData(&format, medium.put()))) return;
  if (medium.get().tymed != TYMED_HGLOBAL) return;
  GlobalLockScope lock(medium.get().hGlobal);
  if (!lock.get()) return;
  const auto drop = static_cast<HDROP>(lock.get());
  const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    const UINT length = ::DragQueryFileW(drop, i, nullptr, 0);
    std::wstring path(length + 1, L'\0');
    ::DragQueryFileW(drop, i, path.data(), length + 1);
    path.resize(length);
    files_.push_back(Narrow(path));
  }
}

bool HDropData::GetFormat(int format) const { return format == filelist::kFormatFileList && hasFileList_; }

std::string HDropData::File(std::size_t index) const { return files_.at(index - 1); }

// The object starts with the one reference the pointer takes over.
ComPtr<IDropTarget> ListDropTarget::Make(DropHandlers handlers) {
  return ComPtr<IDropTarget>(new ListDropTarget(std::move(handlers)));
}

HRESULT ListDropTarget::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDropTarget) {
    *object = static_cast<IDropTarget*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG ListDropTarget::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }

ULONG ListDropTarget::Release() {
  const LONG left = ::InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

// The platform's proposal is one effect the source allows, copy first:
// the files stay where they are. The core may then refuse it.
DWORD ListDropTarget::Decide(DWORD allowed) {
  DWORD effect = DROPEFFECT_NONE;
  if (allowed & DROPEFFECT_COPY) {
    effect = DROPEFFECT_COPY;
  } else if (allowed & DROPEFFECT_LINK) {
    effect = DROPEFFECT_LINK;
  } else if (allowed & DROPEFFECT_MOVE) {
    effect = DROPEFFECT_MOVE;
  }
  if (!current_ || !handlers_.dragOver) return DROPEFFECT_NONE;
  int value = static_cast<int>(effect);
  try {
    handlers_.dragOver(*current_, value);
  } catch (const std::exception&) {
    return DROPEFFECT_NONE;
  }
  return static_cast<DWORD>(value);
}

HRESULT ListDropTarget::DragEnter(IDataObject* data, DWORD, POINTL, DWORD* effect) {
  if (!effect) return E_INVALIDARG;
  try {
    current_ = std::make_unique<HDropData>(data);
  } catch (const std::exception&) {
    current_.reset();
  }
  *effect = Decide(*effect);
  return S_OK;
}

HRESULT ListDropTarget::DragOver(DWORD, POINTL, DWORD* effect) {
  if (!effect) return E_INVALIDARG;
  *effect = Decide(*effect);
  return S_OK;
}

HRESULT ListDropTarget::DragLeave() {
  current_.reset();
  return S_OK;
}

HRESULT ListDropTarget::Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) {
  if (!effect) return E_INVALIDARG;
  // The data is read again: the source may have filled it in only now.
  std::unique_ptr<HDropData> dropped;
  try {
    dropped = std::make_unique<HDropData>(data);
  } catch (const std::exception&) {
  }
  current_ = std::move(dropped);
  *effect = Decide(*effect);
  if (*effect != DROPEFFECT_NONE && current_ && handlers_.drop) {
    try {
      handlers_.drop(*current_);
    } catch (const std::exception&) {
      *effect = DROPEFFECT_NONE;
    }
  }
  current_.reset();
  return S_OK;
}

}  // namespace quorvane::win32
