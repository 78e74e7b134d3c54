#include "app/Hover.h"

namespace quorvane::app {

void ButtonHover(base::Property<int>& windowPointer) {
  if (windowPointer.Get() != base::kPointerHourglass) windowPointer.Set(base::kPointerCustom);
}

void BareAreaHover(base::Property<int>& windowPointer) {
  if (windowPointer.Get() != base::kPointerHourglass) windowPointer.Set(base::kPointerDefault);
}

}  // namespace quorvane::app
