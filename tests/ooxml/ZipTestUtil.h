#pragma once
// Zip files built byte by byte for tests, including broken and hostile ones
// no zip library would write, and entries read back raw.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/WorkbookBuilder.h"

namespace quorvane::ooxml::test {

using testing::MakeZip;
using testing::RawDeflate;
using testing::ZipItem;

inline ZipItem Item(std::string name, std::string data = {}, std::uint16_t method = 8) {
  return {.name = std::move(name), .data = std::move(data), .method = method};
}
// A small valid workbook: content types, relationships, workbook, one sheet.
std::vector<ZipItem> MinimalWorkbook();

struct RawEntry {
  std::string name;
  std::uint16_t method = 0;
  std::string bytes;    // local header and compressed data
  std::string central;  // the central record's fixed part
};
// Entries in central directory order, read independently of the product code.
std::vector<RawEntry> ReadRawEntries(const std::string& zip);

inline constexpr const char* kNoError = "(no error)";
// The reason of the PackageError the action throws, or kNoError.
std::string ErrorOf(const std::function<void()>& action);

}  // namespace quorvane::ooxml::test
