#pragma once
// The least work any correct link breaker must do on a package: inflate the
// parts it has to read, deflate the parts it has to rewrite, copy the rest
// raw. It changes nothing, so its time is a lower bound, not a result.

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace quorvane::bench {

struct FloorStats {
  std::uint64_t files = 0;
  std::uint64_t partsRead = 0;       // inflated
  std::uint64_t partsRewritten = 0;  // deflated again
  std::uint64_t partsCopied = 0;     // copied compressed, untouched
  std::uint64_t partsDropped = 0;    // the link parts, which a breaker removes
  std::uint64_t inflatedBytes = 0;
  std::uint64_t deflatedBytes = 0;  // before compression
  std::uint64_t largestPartBytes = 0;
  std::uint64_t outputBytes = 0;

  FloorStats& operator+=(const FloorStats& o);
};

// True when the text holds a workbook index such as [1], the mark of a
// reference to another workbook.
bool MentionsOtherWorkbook(std::string_view xml);

// The engine's deflate level (kDeflateLevel in src/ooxml/Deflate.h): the
// floor must compress as hard as the engine it is compared with.
inline constexpr int kEngineLevel = 5;

// Reads `in` and writes the result package to `out`. Throws std::runtime_error.
FloorStats RunFloor(const std::filesystem::path& in, const std::filesystem::path& out, int level = kEngineLevel);

}  // namespace quorvane::bench
