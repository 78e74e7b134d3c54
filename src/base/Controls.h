#pragma once
// Toolkit-neutral stand-ins for the window's controls: the logic reads and
// writes these, and the platform view mirrors them through the Changed hooks.

#include <functional>

namespace quorvane::base {

// Pointer values shared by the window and the list.
enum MousePointer : int {
  kPointerDefault = 0,
  kPointerArrow = 1,
  kPointerHourglass = 11,
  kPointerCustom = 99,
};

// A value with a change hook for the view.
template <typename T>
class Property {
 public:
  explicit Property(T initial = T{}) : value_(initial) {}
  T Get() const { return value_; }
  operator T() const { return value_; }
  void Set(T value) {
    value_ = value;
    if (Changed) Changed(value_);
  }
  std::function<void(T)> Changed;

 private:
  T value_;
};

// A check box, also when it is drawn as a push button. Like the control it
// stands for, a change of Value raises Click, whoever makes it.
class CheckBox {
 public:
  int Value() const { return value_; }
  void SetValue(int value) {
    if (value == value_) return;
    value_ = value;
    if (Changed) Changed(value_);
    if (Click) Click();
  }
  // The user clicked the control: it toggles and raises Click.
  void UserClick() { SetValue(value_ == 0 ? 1 : 0); }

  std::function<void()> Click;        // the handler
  std::function<void(int)> Changed;   // the view

 private:
  int value_ = 0;
};

}  // namespace quorvane::base
