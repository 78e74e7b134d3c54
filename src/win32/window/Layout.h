#pragma once
// The window's fixed design in twips and its conversion to pixels for a given
// DPI. Pure arithmetic, so every control's rectangle can be checked against
// the design table without a window.

#include <array>

namespace quorvane::win32 {

inline constexpr int kTwipsPerInch = 1440;
inline constexpr int kPointsPerInch = 72;

struct TwipsRect {
  int left;
  int top;
  int width;
  int height;
};

struct PixelRect {
  int left;
  int top;
  int width;
  int height;
  bool operator==(const PixelRect&) const = default;
};

struct PixelSize {
  int width;
  int height;
  bool operator==(const PixelSize&) const = default;
};

// Child control identifiers; also the WM_COMMAND ids. Declared in the order
// the controls are created, which is the keyboard focus order.
enum class ControlId : int {
  ListView1 = 1001,
  Check3 = 1003,
  Check2 = 1002,
  Check1 = 1004,
  Check4 = 1005,
  ProgressBar1 = 1006,
  Label1 = 1007,
};

struct ControlDesign {
  ControlId id;
  TwipsRect twips;
  double fontPoints;  // 0: the control has no text of its own
};

inline constexpr TwipsRect kClientTwips{0, 0, 7470, 4290};
inline constexpr double kSmallFontPoints = 9.0;
inline constexpr double kLargeFontPoints = 11.25;

// Creation order = tab order: list, Check3, Check2, Check1, Check4.
inline constexpr std::array<ControlDesign, 7> kDesign{{
    {ControlId::ListView1, {120, 120, 7215, 1575}, kSmallFontPoints},
    {ControlId::Check3, {120, 1800, 5295, 255}, kSmallFontPoints},
    {ControlId::Check2, {5040, 2160, 2295, 1215}, kLargeFontPoints},
    {ControlId::Check1, {120, 2160, 2415, 1215}, kLargeFontPoints},
    {ControlId::Check4, {2640, 2160, 2295, 1215}, kLargeFontPoints},
    {ControlId::ProgressBar1, {120, 3480, 7215, 375}, 0.0},
    {ControlId::Label1, {120, 3960, 6615, 255}, kSmallFontPoints},
}};

// Twips to pixels, rounded to the nearest pixel (15 twips a pixel at 96 dpi).
int TwipsToPixels(int twips, int dpi);
// Pixels to twips, the inverse used for the window's outer size.
float PixelsToTwips(int pixels, int dpi);
// Edges are rounded, not sizes, so neighbouring controls keep their gaps.
PixelRect ToPixels(const TwipsRect& twips, int dpi);
PixelSize ClientPixels(int dpi);
// A font height as CreateFontW takes it: negative, the character height.
int FontHeight(double points, int dpi);
const ControlDesign& DesignOf(ControlId id);

}  // namespace quorvane::win32
