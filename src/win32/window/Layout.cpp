#include "win32/window/Layout.h"

#include <cmath>
#include <stdexcept>

namespace quorvane::win32 {

int TwipsToPixels(int twips, int dpi) {
  return static_cast<int>(std::lround(static_cast<double>(twips) * dpi / kTwipsPerInch));
}

float PixelsToTwips(int pixels, int dpi) {
  return static_cast<float>(static_cast<double>(pixels) * kTwipsPerInch / dpi);
}

PixelRect ToPixels(const TwipsRect& twips, int dpi) {
  const int left = TwipsToPixels(twips.left, dpi);
  const int top = TwipsToPixels(twips.top, dpi);
  const int right = TwipsToPixels(twips.left + twips.width, dpi);
  const int bottom = TwipsToPixels(twips.top + twips.height, dpi);
  return {left, top, right - left, bottom - top};
}

PixelSize ClientPixels(int dpi) {
  const PixelRect r = ToPixels(kClientTwips, dpi);
  return {r.width, r.height};
}

int FontHeight(double points, int dpi) {
  return -static_cast<int>(std::lround(points * dpi / kPointsPerInch));
}

const ControlDesign& DesignOf(ControlId id) {
  for (const ControlDesign& design : kDesign) {
    if (design.id == id) return design;
  }
  throw std::invalid_argument("no such control");
}

}  // namespace quorvane::win32
