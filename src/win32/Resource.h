#pragma once
// Move-only owners for Win32 handles, COM strings, variants and pointers.

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include <utility>

#include "win32/Error.h"

namespace quorvane::win32 {

// The value a handle type holds when it owns nothing.
template <typename T>
struct NullIsInvalid {
  static constexpr T Value() noexcept { return T{}; }
};
struct InvalidHandleIsInvalid {
  static HANDLE Value() noexcept { return INVALID_HANDLE_VALUE; }
};

// Owns one T and hands it to Close exactly once.
template <typename T, auto Close, typename Invalid = NullIsInvalid<T>>
class unique_any {
 public:
  unique_any() noexcept = default;
  explicit unique_any(T value) noexcept : value_(value) {}
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  ~unique_any() { reset(); }

  T get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Invalid::Value(); }

  void reset(T value = Invalid::Value()) noexcept {
    const T old = std::exchange(value_, value);
    if (old != Invalid::Value()) Close(old);
  }
  [[nodiscard]] T release() noexcept { return std::exchange(value_, Invalid::Value()); }
  // For out-parameters: closes what is held and gives the slot.
  T* put() noexcept {
    reset();
    return &value_;
  }

 private:
  T value_ = Invalid::Value();
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

using UniqueHandle = unique_any<HANDLE, &detail::CloseHandleValue>;
// CreateFile and friends report failure as INVALID_HANDLE_VALUE, not null.
using UniqueFile = unique_any<HANDLE, &detail::CloseHandleValue, InvalidHandleIsInvalid>;
using UniqueFind = unique_any<HANDLE, &detail::FindCloseValue, InvalidHandleIsInvalid>;
using UniqueHkey = unique_any<HKEY, &detail::CloseKey>;
using UniqueHgdiobj = unique_any<HGDIOBJ, &detail::DeleteGdiObject>;
using UniqueHfont = unique_any<HFONT, &detail::DeleteFont>;
using UniqueHicon = unique_any<HICON, &detail::DestroyIconValue>;
using UniqueHcursor = unique_any<HCURSOR, &detail::DestroyCursorValue>;
using UniqueHglobal = unique_any<HGLOBAL, &detail::FreeGlobal>;
using UniqueBstr = unique_any<BSTR, &detail::FreeString>;

// Calls Fn once at scope end unless released; for the init/uninit pairs.
template <auto Fn>
class unique_call {
 public:
  explicit unique_call(bool armed = true) noexcept : armed_(armed) {}
  unique_call(unique_call&& other) noexcept : armed_(std::exchange(other.armed_, false)) {}
  unique_call& operator=(unique_call&& other) noexcept {
    if (this != &other) {
      reset();
      armed_ = std::exchange(other.armed_, false);
    }
    return *this;
  }
  unique_call(const unique_call&) = delete;
  unique_call& operator=(const unique_call&) = delete;
  ~unique_call() { reset(); }

  void reset() noexcept {
    if (std::exchange(armed_, false)) Fn();
  }
  void release() noexcept { armed_ = false; }

 private:
  bool armed_;
};

using CoUninitializeCall = unique_call<&::CoUninitialize>;
using OleUninitializeCall = unique_call<&::OleUninitialize>;

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
