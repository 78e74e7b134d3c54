#include "support/CompoundFileBuilder.h"

#include <algorithm>
#include <functional>
#include <numeric>

namespace quorvane::testing {
namespace {

constexpr std::size_t kSector = 512;
constexpr std::size_t kMini = 64;
constexpr std::size_t kCutoff = 4096;
constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kEnd = 0xFFFFFFFE;
constexpr std::uint32_t kFatSector = 0xFFFFFFFD;

void Put32(std::string& s, std::size_t at, std::uint32_t v, std::size_t bytes = 4) {
  for (std::size_t i = 0; i < bytes; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put16(std::string& s, std::size_t at, std::uint16_t v) { Put32(s, at, v, 2); }
std::string Le16(std::uint16_t v) {
  std::string s(2, '\0');
  Put16(s, 0, v);
  return s;
}

std::size_t Sectors(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit; }

// Directory order: shorter names first, then by upper-cased code units.
bool DirectoryLess(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char16_t x, char16_t y) { return upper(x) < upper(y); });
}

}  // namespace

std::string CompoundFileBytes(const std::vector<CompoundStream>& streams) {
  // Sector numbers in file order: big streams, the mini stream, the mini
  // allocation table, the directory, then the allocation table itself.
  std::vector<std::uint32_t> fat;
  std::string body;
  const auto chain = [&](std::size_t count) {
    const auto first = static_cast<std::uint32_t>(fat.size());
    for (std::size_t i = 0; i < count; ++i)
      fat.push_back(i + 1 == count ? kEnd : static_cast<std::uint32_t>(fat.size() + 1));
    return count ? first : kEnd;
  };
  const auto append = [&](const std::string& data) {
    body += data;
    body.resize(Sectors(body.size(), kSector) * kSector, '\0');
  };

  std::vector<std::uint32_t> starts(streams.size(), kEnd);
  std::string miniStream;
  std::vector<std::uint32_t> miniFat;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const std::string& data = streams[i].second;
    if (data.size() >= kCutoff) {
      starts[i] = chain(Sectors(data.size(), kSector));
      append(data);
    } else if (!data.empty()) {
      const std::size_t count = Sectors(data.size(), kMini);
      starts[i] = static_cast<std::uint32_t>(miniFat.size());
      for (std::size_t k = 0; k < count; ++k)
        miniFat.push_back(k + 1 == count ? kEnd : static_cast<std::uint32_t>(miniFat.size() + 1));
      miniStream += data;
      miniStream.resize(miniFat.size() * kMini, '\0');
    }
  }
  const std::uint32_t miniStart = chain(Sectors(miniStream.size(), kSector));
  append(miniStream);
  std::string miniFatBytes(Sectors(miniFat.size() * 4, kSector) * kSector, '\xFF');
  for (std::size_t i = 0; i < miniFat.size(); ++i) Put32(miniFatBytes, 4 * i, miniFat[i]);
  const std::uint32_t miniFatStart = chain(miniFatBytes.size() / kSector);
  append(miniFatBytes);

  // Root entry first, the streams after it as a balanced tree.
  std::vector<std::size_t> order(streams.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return DirectoryLess(streams[a].first, streams[b].first); });
  std::string directory(Sectors((streams.size() + 1) * 128, kSector) * kSector, '\0');
  const auto entry = [&](std::size_t index, const std::u16string& name, std::uint8_t type, std::uint32_t start,
                         std::uint64_t size) {
    const std::size_t at = index * 128;
    for (std::size_t c = 0; c < name.size(); ++c) Put16(directory, at + 2 * c, name[c]);
    Put16(directory, at + 0x40, static_cast<std::uint16_t>((name.size() + 1) * 2));
    directory[at + 0x42] = static_cast<char>(type);
    directory[at + 0x43] = 1;  // black
    for (std::size_t link : {0x44u, 0x48u, 0x4Cu}) Put32(directory, at + link, kFree);
    Put32(directory, at + 0x74, start);
    Put32(directory, at + 0x78, static_cast<std::uint32_t>(size));
  };
  for (std::size_t slot = streams.size() + 1; slot < directory.size() / 128; ++slot)
    for (std::size_t link : {0x44u, 0x48u, 0x4Cu}) Put32(directory, slot * 128 + link, kFree);
  entry(0, u"Root Entry", 5, miniStream.empty() ? kEnd : miniStart, miniStream.size());
  for (std::size_t k = 0; k < order.size(); ++k)
    entry(k + 1, streams[order[k]].first, 2, starts[order[k]], streams[order[k]].second.size());
  const std::function<std::uint32_t(std::size_t, std::size_t)> tree = [&](std::size_t lo, std::size_t hi) {
    if (lo >= hi) return kFree;
    const std::size_t mid = (lo + hi) / 2;
    Put32(directory, (mid + 1) * 128 + 0x44, tree(lo, mid));
    Put32(directory, (mid + 1) * 128 + 0x48, tree(mid + 1, hi));
    return static_cast<std::uint32_t>(mid + 1);
  };
  Put32(directory, 0x4C, tree(0, order.size()));
  const std::uint32_t directoryStart = chain(directory.size() / kSector);
  append(directory);

  std::size_t fatSectors = 1;
  while (Sectors(fat.size() + fatSectors, kSector / 4) > fatSectors) ++fatSectors;
  const auto firstFat = static_cast<std::uint32_t>(fat.size());
  for (std::size_t i = 0; i < fatSectors; ++i) fat.push_back(kFatSector);
  std::string fatBytes(fatSectors * kSector, '\xFF');
  for (std::size_t i = 0; i < fat.size(); ++i) Put32(fatBytes, 4 * i, fat[i]);
  body += fatBytes;

  std::string header(kSector, '\0');
  const unsigned char signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  for (std::size_t i = 0; i < 8; ++i) header[i] = static_cast<char>(signature[i]);
  Put16(header, 0x18, 0x3E);
  Put16(header, 0x1A, 3);
  Put16(header, 0x1C, 0xFFFE);
  Put16(header, 0x1E, 9);
  Put16(header, 0x20, 6);
  Put32(header, 0x2C, static_cast<std::uint32_t>(fatSectors));
  Put32(header, 0x30, directoryStart);
  Put32(header, 0x38, kCutoff);
  Put32(header, 0x3C, miniFat.empty() ? kEnd : miniFatStart);
  Put32(header, 0x40, static_cast<std::uint32_t>(miniFatBytes.size() / kSector));
  Put32(header, 0x44, kEnd);
  for (std::size_t i = 0; i < 109; ++i)
    Put32(header, 0x4C + 4 * i, i < fatSectors ? firstFat + static_cast<std::uint32_t>(i) : kFree);
  return header + body;
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
  return CompoundFileBytes({{u"Workbook", workbookStream},
                            {u"\u0005SummaryInformation", summary},
                            {u"\u0005DocumentSummaryInformation", summary}});
}

}  // namespace quorvane::testing
