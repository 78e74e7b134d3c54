#pragma once
// Pointer feedback while the mouse moves over the window: the hand over the
// three big buttons, the default pointer elsewhere. Neither rule touches the
// hourglass, which only the long operation that set it takes away.

#include "base/Controls.h"

namespace quorvane::app {

// Moves over Check1, Check2 and Check4. Writes on every move, also when the
// hand is already shown.
void ButtonHover(base::Property<int>& windowPointer);

// Moves over the bare window area and over the list.
void BareAreaHover(base::Property<int>& windowPointer);

}  // namespace quorvane::app
