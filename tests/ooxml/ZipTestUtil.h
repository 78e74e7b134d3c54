#pragma once
// Building zip files byte by byte for tests, including broken and hostile
// ones no zip library would write, and reading entries back raw.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::ooxml::test {

// Every member has an initialiser, so designated initialisers may name a few.
struct ZipItem {
  std::string name;
  std::string data;  // the part's content
  std::uint16_t method = 8;
  std::uint16_t flags = 0;
  bool descriptor = false;  // sizes and CRC in a data descriptor after the data
  std::string extra{};        // extra field, in both headers
  std::string comment{};      // entry comment
  std::optional<std::uint64_t> declaredSize{};  // a lie about the inflated size
  std::optional<std::uint32_t> crc{};           // a lie about the checksum
  std::optional<std::string> compressed{};      // payload as given instead of data
  std::uint16_t dosTime = 0x6A21;
  std::uint16_t dosDate = 0x5A86;
};

// An item with the given content; `change` sets any other field.
ZipItem Item(std::string name, std::string data = {}, std::uint16_t method = 8);
template <typename F>
ZipItem Item(std::string name, std::string data, std::uint16_t method, F change) {
  ZipItem item = Item(std::move(name), std::move(data), method);
  change(item);
  return item;
}

std::string RawDeflate(std::string_view data);
// Writes the items in order; zip64 end records when there are 65535 or more.
std::string MakeZip(const std::vector<ZipItem>& items, std::string_view comment = {});

// A small valid workbook: content types, relationships, workbook, one sheet.
std::vector<ZipItem> MinimalWorkbook();
ZipItem* FindItem(std::vector<ZipItem>& items, std::string_view name);

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
// Whether the action throws a PackageError whose reason holds `part`.
inline ::testing::AssertionResult FailsWith(const std::function<void()>& action, std::string_view part) {
  const std::string error = ErrorOf(action);
  if (error.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the error was: " << error;
}

}  // namespace quorvane::ooxml::test
