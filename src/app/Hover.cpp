#include "app/Hover.h"

namespace quorvane::app {

void ButtonHover(Property<int>& windowPointer) {
  if (windowPointer.Get() != kPointerHourglass) windowPointer.Set(kPointerCustom);
}

void BareAreaHover(Property<int>& windowPointer) {
  if (windowPointer.Get() != kPointerHourglass) windowPointer.Set(kPointerDefault);
}

}  // namespace quorvane::app
