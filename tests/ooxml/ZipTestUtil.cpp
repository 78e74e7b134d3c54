#include "ZipTestUtil.h"

#include <stdexcept>

#include "ooxml/Package.h"

namespace quorvane::ooxml::test {

std::vector<ZipItem> MinimalWorkbook() {
  quorvane::testing::WorkbookBuilder b;
  b.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><f>[1]Sheet1!A1</f><v>42</v></c></row>)");
  std::vector<ZipItem> items;  // [Content_Types].xml sorts first, the sheet last
  for (auto& [name, data] : b.Parts()) items.push_back(Item(name, data));
  return items;
}

std::vector<RawEntry> ReadRawEntries(const std::string& zip) {
  const auto get = [&](std::size_t at, int bytes) {
    if (at + bytes > zip.size()) throw std::runtime_error("test zip reader: out of range");
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(zip[at + i]);
    return v;
  };
  const std::size_t end = zip.rfind(std::string("PK\x05\x06", 4));
  if (end == std::string::npos) throw std::runtime_error("test zip reader: no end record");
  std::uint64_t count = get(end + 10, 2);
  std::size_t at = get(end + 16, 4);
  if (end >= 20 && get(end - 20, 4) == 0x07064b50) {
    const std::uint64_t rec = get(end - 20 + 8, 8);
    count = get(rec + 32, 8);
    at = get(rec + 48, 8);
  }
  std::vector<RawEntry> entries;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t csize = get(at + 20, 4);
    const std::uint64_t local = get(at + 42, 4);
    // Entries past 4 GiB keep these in zip64 fields, which no test reads back.
    if (get(at, 4) != 0x02014b50 || csize == 0xFFFFFFFF || local == 0xFFFFFFFF)
      throw std::runtime_error("test zip reader: unsupported record");
    const std::size_t nameLen = get(at + 28, 2);
    const std::size_t headerLen = 30 + get(local + 26, 2) + get(local + 28, 2);
    entries.push_back({zip.substr(at + 46, nameLen), static_cast<std::uint16_t>(get(at + 10, 2)),
                       zip.substr(local, headerLen + csize), zip.substr(at, 46)});
    at += 46 + nameLen + get(at + 30, 2) + get(at + 32, 2);
  }
  return entries;
}

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const PackageError& e) {
    return e.what();
  }
  return kNoError;
}

}  // namespace quorvane::ooxml::test
