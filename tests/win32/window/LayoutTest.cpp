#include "win32/window/Layout.h"

#include <gtest/gtest.h>

namespace quorvane::win32 {
namespace {

// At fractional scales the edges are rounded, so two controls that touch or
// keep a gap in twips do the same in pixels, and nothing leaves the client.
TEST(Layout, ScaledEdgesKeepGapsAndStayInside) {
  for (int dpi : {96, 120, 144, 168, 192, 288}) {
    const PixelSize client = ClientPixels(dpi);
    const PixelRect check1 = ToPixels(DesignOf(ControlId::Check1).twips, dpi);
    const PixelRect check4 = ToPixels(DesignOf(ControlId::Check4).twips, dpi);
    const PixelRect check2 = ToPixels(DesignOf(ControlId::Check2).twips, dpi);
    EXPECT_LT(check1.left + check1.width, check4.left) << dpi;
    EXPECT_LT(check4.left + check4.width, check2.left) << dpi;
    EXPECT_EQ(check4.top, check2.top) << dpi;
    for (const ControlDesign& design : kDesign) {
      const PixelRect r = ToPixels(design.twips, dpi);
      EXPECT_GT(r.width, 0);
      EXPECT_LE(r.left + r.width, client.width) << dpi;
      EXPECT_LE(r.top + r.height, client.height) << dpi;
    }
  }
  EXPECT_EQ(ToPixels(DesignOf(ControlId::ListView1).twips, 144), (PixelRect{12, 12, 722, 158}));
}

TEST(Layout, FontHeightsAndTwipsBack) {
  EXPECT_EQ(FontHeight(kSmallFontPoints, 96), -12);
  EXPECT_EQ(FontHeight(kLargeFontPoints, 96), -15);
  EXPECT_EQ(FontHeight(kSmallFontPoints, 144), -18);
  EXPECT_FLOAT_EQ(PixelsToTwips(1024, 96), 15360.0f);
  EXPECT_EQ(TwipsToPixels(6100, 96), 407);
}

}  // namespace
}  // namespace quorvane::win32
