#pragma once
// Deterministic linked workbooks: the same shape and seed always give the
// same bytes.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "Shape.h"

namespace quorvane::bench {

struct WorkbookStats {
  std::uint64_t workbooks = 0;
  std::uint64_t cells = 0;
  std::uint64_t externalFormulas = 0;  // cell formulas naming another workbook
  std::uint64_t sheetXmlBytes = 0;     // all worksheet parts, inflated
  std::uint64_t largestPartBytes = 0;  // the biggest part, inflated
  std::uint64_t fileBytes = 0;

  WorkbookStats& operator+=(const WorkbookStats& o);
};

// One package at `file`, whatever shape.workbooks says. Throws on failure.
WorkbookStats WriteWorkbook(const Shape& shape, std::uint64_t seed,
                            const std::filesystem::path& file);

// Where Generate puts the shape: outDir/<name>.xlsx for one workbook,
// otherwise the folder outDir/<name>.
std::filesystem::path OutputPath(const Shape& shape, const std::filesystem::path& outDir);

// The workbooks of a folder-tree shape, relative to its folder, in order.
std::filesystem::path TreeMember(int index);

// Writes the shape under outDir (created when missing). Throws on failure.
WorkbookStats Generate(const Shape& shape, std::uint64_t seed, const std::filesystem::path& outDir);

}  // namespace quorvane::bench
