#include "app/Hover.h"

#include <gtest/gtest.h>

namespace quorvane::app {
namespace {

TEST(Hover, RulesNeverTouchTheHourglass) {
  struct Case {
    int before;
    int afterButton;
    int afterBare;
  };
  const Case cases[] = {
      {kPointerDefault, kPointerCustom, kPointerDefault},
      {kPointerArrow, kPointerCustom, kPointerDefault},
      {kPointerCustom, kPointerCustom, kPointerDefault},
      {kPointerHourglass, kPointerHourglass, kPointerHourglass},
  };
  for (const auto& c : cases) {
    Property<int> button(c.before);
    int writes = 0;
    button.Changed = [&](int) { ++writes; };
    ButtonHover(button);
    EXPECT_EQ(button.Get(), c.afterButton) << c.before;
    // The hand is written on every move, also when it is already shown.
    EXPECT_EQ(writes, c.before == kPointerHourglass ? 0 : 1) << c.before;

    Property<int> bare(c.before);
    BareAreaHover(bare);
    EXPECT_EQ(bare.Get(), c.afterBare) << c.before;
  }
}

}  // namespace
}  // namespace quorvane::app
