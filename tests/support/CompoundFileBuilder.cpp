#include "support/CompoundFileBuilder.h"

#include "support/WorkbookBuilder.h"

namespace quorvane::testing {
namespace {

constexpr std::size_t kSector = 512;
constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kEnd = 0xFFFFFFFE;

std::string Le16(std::uint16_t v) { return Le(v, 2); }

std::size_t Units(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit; }

// Adds a chain of `count` slots to an allocation table; returns its first.
std::uint32_t Chain(std::vector<std::uint32_t>& table, std::size_t count) {
  const auto first = static_cast<std::uint32_t>(table.size());
  for (std::size_t i = 0; i < count; ++i)
    table.push_back(i + 1 == count ? kEnd : static_cast<std::uint32_t>(table.size() + 1));
  return count ? first : kEnd;
}

// A table of 32-bit values, padded with free slots to whole sectors.
std::string Table(const std::vector<std::uint32_t>& values) {
  std::string out;
  for (const std::uint32_t v : values) out += Le(v, 4);
  out.resize(Units(out.size(), kSector) * kSector, '\xFF');
  return out;
}

}  // namespace

std::string CompoundFileBytes(const std::vector<CompoundStream>& streams) {
  // Sectors in file order: big streams, the mini stream, the mini
  // allocation table, the directory, then the allocation table itself.
  std::vector<std::uint32_t> fat, miniFat;
  std::string body, miniStream, directory;
  const auto append = [&](std::string data) {
    const std::uint32_t first = Chain(fat, Units(data.size(), kSector));
    data.resize(Units(data.size(), kSector) * kSector, '\0');
    body += data;
    return first;
  };
  // The root entry's child is the first stream, each stream the right
  // sibling of the one before: a tree of one branch, which readers walk whole.
  // An entry: the name, its size, root (5) or stream (2), black, the left
  // and right siblings and the child, class, state and times, then where
  // the data starts and its size.
  const auto entry = [&](std::size_t index, const std::u16string& name, std::uint32_t start, std::size_t size) {
    std::string utf16;
    for (const char16_t c : name) utf16 += Le(c, 2);
    utf16.resize(64, '\0');
    return utf16 + Le((name.size() + 1) * 2, 2) + (index == 0 ? '\5' : '\2') + '\1' + Le(kFree, 4) +
           Le(index == 0 || index == streams.size() ? kFree : index + 1, 4) +
           Le(index == 0 && !streams.empty() ? 1 : kFree, 4) + Le(0, 36) + Le(start, 4) + Le(size, 8);
  };
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const std::string& data = streams[i].second;
    std::uint32_t start = kEnd;
    if (data.size() >= 4096) {
      start = append(data);
    } else if (!data.empty()) {  // in the mini stream, in 64-byte sectors
      start = Chain(miniFat, Units(data.size(), 64));
      miniStream += data;
      miniStream.resize(miniFat.size() * 64, '\0');
    }
    directory += entry(i + 1, streams[i].first, start, data.size());
  }
  directory = entry(0, u"Root Entry", append(miniStream), miniStream.size()) + directory;
  const std::string miniFatBytes = Table(miniFat);
  const std::uint32_t miniFatStart = append(miniFatBytes);
  const std::uint32_t directoryStart = append(directory);
  std::size_t fatSectors = 1;
  while (Units(fat.size() + fatSectors, kSector / 4) > fatSectors) ++fatSectors;
  const std::size_t firstFat = fat.size();
  fat.resize(firstFat + fatSectors, 0xFFFFFFFD);  // the table's own sectors

  // Signature, class, versions, little-endian, 512- and 64-byte sectors,
  // reserved, table sectors, directory start, transaction, mini stream cutoff,
  // mini table start and sectors, no more table locations, the first 109.
  std::string header = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + Le(0, 16) + Le(0x3E, 2) + Le(3, 2) + Le(0xFFFE, 2) +
                       Le(9, 2) + Le(6, 2) + Le(0, 10) + Le(fatSectors, 4) + Le(directoryStart, 4) + Le(0, 4) +
                       Le(4096, 4) + Le(miniFatStart, 4) + Le(miniFatBytes.size() / kSector, 4) + Le(kEnd, 4) + Le(0, 4);
  for (std::size_t i = 0; i < 109; ++i) header += Le(i < fatSectors ? firstFat + i : kFree, 4);
  return header + body + Table(fat);
}

std::string BiffRecord(std::uint16_t type, std::string_view body) {
  return Le16(type) + Le16(static_cast<std::uint16_t>(body.size())) + std::string(body);
}

std::string Biff8WorkbookStream(const std::vector<std::string>& early, const std::vector<std::string>& late,
                                std::size_t size) {
  // BOF: BIFF8, workbook globals, build 0x2775 of 1997, file history flags.
  const std::string bof = Le16(0x0600) + Le16(0x0005) + Le16(0x2775) + Le16(0x07CD) + std::string("\xC9\x00\x01\x00", 4) +
                          std::string("\x06\x04\x00\x00", 4);
  std::string user = Le16(6) + std::string(1, '\0') + "Tester";
  user.resize(112, ' ');
  std::string stream = BiffRecord(0x0809, bof);
  for (const auto& record : early) stream += record;
  stream += BiffRecord(0x00E1, Le16(0x04B0)) + BiffRecord(0x00C1, Le16(0)) + BiffRecord(0x00E2) +
            BiffRecord(0x005C, user);
  for (const auto& record : late) stream += record;
  stream += BiffRecord(0x0042, Le16(0x04B0)) + BiffRecord(0x0161, Le16(0)) + BiffRecord(0x003D, std::string(18, '\0'));
  stream += BiffRecord(0x000A);
  // A worksheet substream stands in for the rest: BOF and EOF around nothing.
  const std::string sheetBof = Le16(0x0600) + Le16(0x0010) + std::string(12, '\0');
  while (stream.size() < size) stream += BiffRecord(0x0809, sheetBof) + BiffRecord(0x000A);
  return stream;
}

std::string LegacyWorkbookFile(const std::string& workbookStream) {
  std::string summary = Le16(0xFFFE) + Le16(0) + std::string(40, '\0');
  return CompoundFileBytes({{u"Workbook", workbookStream}, {u"\u0005SummaryInformation", summary},
                            {u"\u0005DocumentSummaryInformation", summary}});
}

}  // namespace quorvane::testing
