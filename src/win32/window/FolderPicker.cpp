#include "win32/window/FolderPicker.h"

#include <shlobj.h>

#include <memory>
#include <vector>

#include "win32/Strings.h"

namespace quorvane::win32 {

namespace {
struct ItemListFree {
  void operator()(ITEMIDLIST* list) const noexcept { ::CoTaskMemFree(list); }
};
using UniqueItemList = std::unique_ptr<ITEMIDLIST, ItemListFree>;
}  // namespace

std::string Win32FolderPicker::BrowseForFolder(const std::string& prompt) {
  const std::wstring title = Widen(prompt);
  BROWSEINFOW info{};
  info.hwndOwner = owner_;
  info.lpszTitle = title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  const UniqueItemList item(::SHBrowseForFolderW(&info));
  if (!item) return {};
  // Long paths: SHGetPathFromIDListEx takes the buffer size, the plain call
  // assumes MAX_PATH.
  std::vector<wchar_t> path(32768, L'\0');
  if (!::SHGetPathFromIDListEx(item.get(), path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT))
    return {};
  return Narrow(path.data());
}

}  // namespace quorvane::win32
