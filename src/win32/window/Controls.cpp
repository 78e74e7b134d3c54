#include "win32/window/Controls.h"

#include <commctrl.h>

#include "win32/Error.h"

namespace quorvane::win32 {

HWND CreateChild(HWND parent, const wchar_t* windowClass, const std::wstring& text, DWORD style, DWORD exStyle,
                 ControlId id, const PixelRect& rect) {
  HWND child = ::CreateWindowExW(exStyle, windowClass, text.c_str(), WS_CHILD | WS_VISIBLE | style, rect.left,
                                 rect.top, rect.width, rect.height, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr),
                                 nullptr);
  if (!child) ThrowLastError("create control");
  return child;
}

void PlaceChild(HWND child, const PixelRect& rect) {
  ::SetWindowPos(child, nullptr, rect.left, rect.top, rect.width, rect.height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Subclass::Attach(HWND control, Handler handler) {
  Detach();
  handler_ = std::move(handler);
  if (!::SetWindowSubclass(control, &Subclass::Proc, 1, reinterpret_cast<DWORD_PTR>(this)))
    ThrowLastError("subclass control");
  control_ = control;
}

void Subclass::Detach() {
  if (control_) ::RemoveWindowSubclass(control_, &Subclass::Proc, 1);
  control_ = nullptr;
}

LRESULT CALLBACK Subclass::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR self) {
  auto* subclass = reinterpret_cast<Subclass*>(self);
  if (message == WM_NCDESTROY) {
    subclass->Detach();
    return ::DefSubclassProc(hwnd, message, wParam, lParam);
  }
  if (subclass->handler_) {
    if (const auto result = subclass->handler_(hwnd, message, wParam, lParam)) return *result;
  }
  return ::DefSubclassProc(hwnd, message, wParam, lParam);
}

void ShowCheck(HWND check, int value) {
  if (check) ::SendMessageW(check, BM_SETCHECK, value != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
}

}  // namespace quorvane::win32
