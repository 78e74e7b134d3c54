#pragma once
// Creating child controls at their design place, and subclassing them with a
// handler object instead of a bare window procedure.

#include <windows.h>
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield

#include <functional>
#include <optional>
#include <string>

#include "win32/window/Layout.h"

namespace quorvane::win32 {

HWND CreateChild(HWND parent, const wchar_t* windowClass, const std::wstring& text, DWORD style, DWORD exStyle,
                 ControlId id, const PixelRect& rect);
void PlaceChild(HWND child, const PixelRect& rect);

// One subclass of one control. The handler returns a result to stop the
// message there, or nothing to pass it on. Removed again on destruction or
// when the control goes away.
class Subclass {
 public:
  using Handler = std::function<std::optional<LRESULT>(HWND, UINT, WPARAM, LPARAM)>;
  Subclass() = default;
  Subclass(const Subclass&) = delete;
  Subclass& operator=(const Subclass&) = delete;
  ~Subclass() { Detach(); }

  void Attach(HWND control, Handler handler);
  void Detach();

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                               DWORD_PTR self);
  HWND control_ = nullptr;
  Handler handler_;
};

// A push-like check box's state on the screen.
void ShowCheck(HWND check, int value);

}  // namespace quorvane::win32
