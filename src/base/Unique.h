#pragma once
// Move-only owners in the shape of WIL's unique_any: copying is deleted, a
// move hands the value on, and each value owned is closed exactly once.
// Platform aliases (descriptors, HANDLE, HKEY, ...) sit beside their code.

#include <utility>

namespace quorvane::base {

// The value a handle type holds when it owns nothing.
template <typename T>
struct NullIsInvalid {
  static constexpr T Value() noexcept { return T{}; }
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

// For handles whose "none" is a value other than T{}, e.g. -1.
template <typename T, T None>
struct ValueIsInvalid {
  static constexpr T Value() noexcept { return None; }
};

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

}  // namespace quorvane::base
