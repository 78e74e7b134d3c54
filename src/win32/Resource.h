#pragma once
// Move-only owners for Win32 handles, COM strings, variants and pointers;
// the handle owners are base::unique_any with the Win32 close functions.

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include <utility>

#include "base/Unique.h"
#include "win32/Error.h"

namespace quorvane::win32 {

struct InvalidHandleIsInvalid {
  static HANDLE Value() noexcept { return INVALID_HANDLE_VALUE; }
};

namespace detail {
inline void CloseHandleValue(HANDLE h) noexcept { ::CloseHandle(h); }
inline void CloseKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void DeleteGdiObject(HGDIOBJ object) noexcept { ::DeleteObject(object); }
inline void DeleteFont(HFONT font) noexcept { ::DeleteObject(font); }
inline void DestroyIconValue(HICON icon) noexcept { ::DestroyIcon(icon); }
inline void DestroyCursorValue(HCURSOR cursor) noexcept { ::DestroyCursor(cursor); }
inline void FreeGlobal(HGLOBAL memory) noexcept { ::GlobalFree(memory); }
inline void FreeString(BSTR text) noexcept { ::SysFreeString(text); }
inline void FindCloseValue(HANDLE find) noexcept { ::FindClose(find); }
}  // namespace detail

using UniqueHandle = base::unique_any<HANDLE, &detail::CloseHandleValue>;
// CreateFile and friends report failure as INVALID_HANDLE_VALUE, not null.
using UniqueFile = base::unique_any<HANDLE, &detail::CloseHandleValue, InvalidHandleIsInvalid>;
using UniqueFind = base::unique_any<HANDLE, &detail::FindCloseValue, InvalidHandleIsInvalid>;
using UniqueHkey = base::unique_any<HKEY, &detail::CloseKey>;
using UniqueHgdiobj = base::unique_any<HGDIOBJ, &detail::DeleteGdiObject>;
using UniqueHfont = base::unique_any<HFONT, &detail::DeleteFont>;
using UniqueHicon = base::unique_any<HICON, &detail::DestroyIconValue>;
using UniqueHcursor = base::unique_any<HCURSOR, &detail::DestroyCursorValue>;
using UniqueHglobal = base::unique_any<HGLOBAL, &detail::FreeGlobal>;
using UniqueBstr = base::unique_any<BSTR, &detail::FreeString>;

using CoUninitializeCall = base::unique_call<&::CoUninitialize>;
using OleUninitializeCall = base::unique_call<&::OleUninitialize>;

// A VARIANT that clears itself.
class UniqueVariant {
 public:
  UniqueVariant() noexcept { ::VariantInit(&value_); }
  UniqueVariant(UniqueVariant&& other) noexcept : value_(other.value_) { ::VariantInit(&other.value_); }
  UniqueVariant& operator=(UniqueVariant&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = other.value_;
      ::VariantInit(&other.value_);
    }
    return *this;
  }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { reset(); }

  void reset() noexcept {
    ::VariantClear(&value_);
    ::VariantInit(&value_);
  }
  VARIANT& get() noexcept { return value_; }
  const VARIANT& get() const noexcept { return value_; }
  VARIANT* put() noexcept {
    reset();
    return &value_;
  }
  VARTYPE type() const noexcept { return value_.vt; }

 private:
  VARIANT value_;
};

// Owns one reference to a COM object. Moving transfers it; there is no copy,
// so every AddRef is explicit (AddRefed).
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  // Takes over a reference the caller already owns.
  explicit ComPtr(T* owned) noexcept : p_(owned) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { reset(); }

  // Adds a reference of our own to a borrowed pointer.
  static ComPtr AddRefed(T* borrowed) noexcept {
    if (borrowed) borrowed->AddRef();
    return ComPtr(borrowed);
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  void reset(T* owned = nullptr) noexcept {
    T* old = std::exchange(p_, owned);
    if (old) old->Release();
  }
  [[nodiscard]] T* release() noexcept { return std::exchange(p_, nullptr); }
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  // QueryInterface; an empty pointer when the object has no such interface.
  template <typename U>
  ComPtr<U> try_query() const noexcept {
    ComPtr<U> result;
    if (p_) p_->QueryInterface(__uuidof(U), result.put_void());
    return result;
  }
  // QueryInterface; throws SystemError when the object has no such interface.
  template <typename U>
  ComPtr<U> query() const {
    ComPtr<U> result;
    const HRESULT hr = p_ ? p_->QueryInterface(__uuidof(U), result.put_void()) : E_POINTER;
    ThrowIfFailed(hr, "QueryInterface");
    return result;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace quorvane::win32
