#include "Shape.h"

#include <cmath>

namespace quorvane::bench {

namespace {

std::uint64_t Portion(double share, std::uint64_t cells) {
  return static_cast<std::uint64_t>(std::llround(share * static_cast<double>(cells)));
}

}  // namespace

SheetCounts CountsFor(const Shape& shape) {
  SheetCounts c;
  c.cells = static_cast<std::uint64_t>(shape.rows) * static_cast<std::uint64_t>(shape.cols);
  c.external = Portion(shape.externalShare, c.cells);
  c.local = Portion(shape.localShare, c.cells);
  c.text = Portion(shape.textShare, c.cells);
  // Rounding three shares separately can overshoot by a cell or two.
  while (c.external + c.local + c.text > c.cells) {
    if (c.text > 0) {
      --c.text;
    } else if (c.local > 0) {
      --c.local;
    } else {
      --c.external;
    }
  }
  return c;
}

std::optional<Shape> Preset(std::string_view name) {
  Shape s;
  s.name = std::string(name);
  if (name == "small") {
    s.rows = 20;
    s.cols = 10;
  } else if (name == "medium") {
    s.sheets = 3;
    s.rows = 20000;
    s.cols = 10;
    s.sources = 3;
  } else if (name == "large") {
    s.sheets = 4;
    s.rows = 25000;
    s.cols = 20;
    s.sources = 4;
  } else if (name == "many") {
    s.workbooks = 1000;
  } else {
    return std::nullopt;
  }
  return s;
}

std::vector<std::string> PresetNames() { return {"small", "medium", "large", "many"}; }

std::string Validate(const Shape& s) {
  if (s.name.empty() || s.name.find_first_of("/\\") != std::string::npos || s.name == "." ||
      s.name == "..") {
    return "the name must be a plain file name";
  }
  if (s.sheets < 1 || s.sheets > 255) return "sheets must be between 1 and 255";
  if (s.rows < 1 || s.rows > 1048576) return "rows must be between 1 and 1048576";
  if (s.cols < 1 || s.cols > 16384) return "columns must be between 1 and 16384";
  // Keeps the cell permutation's products within 64 bits.
  if (static_cast<std::uint64_t>(s.rows) * static_cast<std::uint64_t>(s.cols) > (1ull << 31)) {
    return "rows times columns must not exceed 2^31";
  }
  for (double share : {s.externalShare, s.localShare, s.textShare}) {
    if (!(share >= 0.0 && share <= 1.0)) return "each share must be between 0 and 1";
  }
  if (s.externalShare + s.localShare + s.textShare > 1.0 + 1e-9) {
    return "the shares add up to more than 1";
  }
  if (s.sources < 0 || s.sources > 1000) return "sources must be between 0 and 1000";
  if (s.sources == 0 && (s.externalShare > 0.0 || s.chart || s.names)) {
    // Charts and names refer to the first source.
    return "without sources there can be no external formulas, chart or names";
  }
  if (s.workbooks < 1 || s.workbooks > 1000000) return "workbooks must be between 1 and 1000000";
  return {};
}

}  // namespace quorvane::bench
