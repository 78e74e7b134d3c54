#pragma once
// The shape of a generated linked workbook, and the named presets the
// benchmarks use.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::bench {

struct Shape {
  std::string name = "custom";  // file name (or folder name when workbooks > 1)
  int sheets = 1;
  int rows = 20;
  int cols = 10;
  // Shares of the cells of every sheet; the rest are plain numbers.
  double externalShare = 0.3;  // formulas naming another workbook, [n]Data!C12
  double localShare = 0.15;    // formulas within the workbook
  double textShare = 0.15;     // shared-string text
  int sources = 2;             // link sources (externalLink parts)
  int workbooks = 1;           // more than one: a folder tree of workbooks
  bool chart = true;           // a chart on the first sheet showing a source range
  bool names = true;           // defined names, some naming a source
};

// Cell counts of one sheet by kind; exact, not sampled.
struct SheetCounts {
  std::uint64_t cells = 0;
  std::uint64_t external = 0;
  std::uint64_t local = 0;
  std::uint64_t text = 0;
};

SheetCounts CountsFor(const Shape& shape);

// small, medium, large, many; nullopt for other names.
std::optional<Shape> Preset(std::string_view name);
std::vector<std::string> PresetNames();

// Empty when the shape can be generated, otherwise the one-line reason.
std::string Validate(const Shape& shape);

}  // namespace quorvane::bench
