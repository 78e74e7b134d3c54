#include "ooxml/CompoundFile.h"

#include <algorithm>
#include <array>
#include <set>

#include "ooxml/Package.h"

namespace quorvane::ooxml::cfb {
namespace {

constexpr std::array<unsigned char, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kMaxRegular = 0xFFFFFFFA;  // larger values mark special sectors
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;
constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kHeaderFatSlots = 109;
constexpr unsigned kMiniShift = 6;

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

[[noreturn]] void Damaged(const char* what) { throw PackageError(std::string("damaged compound file: ") + what); }

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool SameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return Upper(x) == Upper(y);
         });
}

}  // namespace

bool IsCompoundFile(const zip::Input& in) {
  std::array<unsigned char, 8> head{};
  if (in.Size() < head.size()) return false;
  in.ReadAt(0, head.data(), head.size());
  return head == kSignature;
}

CompoundFile::CompoundFile(const zip::Input& in) : in_(in) {
  if (!IsCompoundFile(in) || in.Size() < 512) Damaged("no header");
  std::array<unsigned char, 512> header{};
  in.ReadAt(0, header.data(), header.size());
  const unsigned char* h = header.data();
  shift_ = U16(h + 0x1E);
  if (U16(h + 0x1C) != 0xFFFE || (shift_ != 9 && shift_ != 12) || U16(h + 0x20) != kMiniShift)
    Damaged("unknown header");
  const bool version3 = U16(h + 0x1A) == 3;
  miniCutoff_ = U32(h + 0x38);
  firstMiniFat_ = U32(h + 0x3C);

  // The allocation table's own sectors: 109 listed in the header, the rest
  // in a chain of further list sectors.
  const std::uint32_t fatSectors = U32(h + 0x2C);
  const std::uint64_t sectorCount = in.Size() >> shift_;
  if (fatSectors > sectorCount) Damaged("allocation table larger than the file");
  for (std::size_t i = 0; i < kHeaderFatSlots && fat_.size() < fatSectors; ++i) fat_.push_back(U32(h + 0x4C + 4 * i));
  const std::size_t perSector = (std::size_t{1} << shift_) / 4;
  std::uint32_t list = U32(h + 0x44);
  std::string sector(std::size_t{1} << shift_, '\0');
  for (std::uint64_t steps = 0; fat_.size() < fatSectors; ++steps) {
    if (list > kMaxRegular || steps > sectorCount) Damaged("broken allocation list");
    const std::uint64_t offset = (static_cast<std::uint64_t>(list) + 1) << shift_;
    if (offset + sector.size() > in.Size()) Damaged("allocation list outside the file");
    in.ReadAt(offset, sector.data(), sector.size());
    const auto* s = reinterpret_cast<const unsigned char*>(sector.data());
    for (std::size_t i = 0; i + 1 < perSector && fat_.size() < fatSectors; ++i) fat_.push_back(U32(s + 4 * i));
    list = U32(s + 4 * (perSector - 1));
  }

  // The root storage's children form a tree of siblings under the root entry.
  const std::vector<std::uint32_t> directory = Chain(U32(h + 0x30), ~0ull, false);
  const std::size_t perDirectorySector = (std::size_t{1} << shift_) / kEntrySize;
  const auto entryAt = [&](std::uint32_t index, std::array<unsigned char, kEntrySize>& entry) {
    if (index / perDirectorySector >= directory.size()) Damaged("directory entry outside the directory");
    const std::uint64_t offset = ((static_cast<std::uint64_t>(directory[index / perDirectorySector]) + 1) << shift_) +
                                 (index % perDirectorySector) * kEntrySize;
    in.ReadAt(offset, entry.data(), entry.size());
  };
  const auto nameOf = [](const unsigned char* e) {
    const std::size_t bytes = std::min<std::size_t>(U16(e + 0x40), 64);
    std::u16string name;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) name += static_cast<char16_t>(U16(e + i));
    while (!name.empty() && name.back() == u'\0') name.pop_back();
    return name;
  };
  const auto sizeOf = [version3](const unsigned char* e) {
    const std::uint64_t size = U32(e + 0x78) | (static_cast<std::uint64_t>(U32(e + 0x7C)) << 32);
    return version3 ? size & 0xFFFFFFFFu : size;  // the high half is not kept in version 3 files
  };

  std::array<unsigned char, kEntrySize> entry{};
  entryAt(0, entry);
  if (entry[0x42] != 5) Damaged("no root entry");
  root_ = {nameOf(entry.data()), U32(entry.data() + 0x74), sizeOf(entry.data())};

  std::vector<std::uint32_t> pending{U32(entry.data() + 0x4C)};
  std::set<std::uint32_t> seen;
  while (!pending.empty()) {
    const std::uint32_t index = pending.back();
    pending.pop_back();
    if (index == kNoStream) continue;
    if (!seen.insert(index).second) Damaged("directory loops");
    entryAt(index, entry);
    pending.push_back(U32(entry.data() + 0x44));
    pending.push_back(U32(entry.data() + 0x48));
    if (entry[0x42] == 2) streams_.push_back({nameOf(entry.data()), U32(entry.data() + 0x74), sizeOf(entry.data())});
  }
}

std::uint32_t CompoundFile::Next(std::uint32_t sector) const {
  const std::size_t perSector = (std::size_t{1} << shift_) / 4;
  if (sector / perSector >= fat_.size() || fat_[sector / perSector] > kMaxRegular) Damaged("sector outside the table");
  const std::uint64_t offset = ((static_cast<std::uint64_t>(fat_[sector / perSector]) + 1) << shift_) +
                               (sector % perSector) * 4;
  unsigned char next[4];
  if (offset + 4 > in_.Size()) Damaged("allocation table outside the file");
  in_.ReadAt(offset, next, 4);
  return U32(next);
}

std::uint32_t CompoundFile::NextMini(std::uint32_t sector) const {
  const std::vector<std::uint32_t> miniFat = Chain(firstMiniFat_, (std::uint64_t{sector} * 4) + 4, false);
  const std::size_t perSector = (std::size_t{1} << shift_) / 4;
  if (sector / perSector >= miniFat.size()) Damaged("mini sector outside the table");
  unsigned char next[4];
  in_.ReadAt(((static_cast<std::uint64_t>(miniFat[sector / perSector]) + 1) << shift_) + (sector % perSector) * 4,
             next, 4);
  return U32(next);
}

// The sectors of a chain, enough of them to hold `limit` bytes.
std::vector<std::uint32_t> CompoundFile::Chain(std::uint32_t start, std::uint64_t limit, bool mini) const {
  const unsigned shift = mini ? kMiniShift : shift_;
  const std::uint64_t most = (in_.Size() >> shift) + 1;
  std::vector<std::uint32_t> sectors;
  for (std::uint32_t at = start; at != kEndOfChain && (std::uint64_t{sectors.size()} << shift) < limit;) {
    if (at > kMaxRegular || sectors.size() > most) Damaged("broken sector chain");
    if (!mini && ((static_cast<std::uint64_t>(at) + 1) << shift) >= in_.Size()) Damaged("sector outside the file");
    sectors.push_back(at);
    at = mini ? NextMini(at) : Next(at);
  }
  return sectors;
}

const CompoundFile::Stream* CompoundFile::Find(std::u16string_view name) const {
  for (const Stream& stream : streams_)
    if (SameName(stream.name, name)) return &stream;
  return nullptr;
}

bool CompoundFile::Has(std::u16string_view name) const { return Find(name) != nullptr; }

std::string CompoundFile::Read(std::u16string_view name, std::size_t limit) const {
  const Stream* stream = Find(name);
  if (!stream) return {};
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(stream->size, limit));
  std::string out(want, '\0');
  const bool mini = stream->size < miniCutoff_;
  const unsigned shift = mini ? kMiniShift : shift_;
  const std::size_t sectorSize = std::size_t{1} << shift;
  const std::vector<std::uint32_t> sectors = Chain(stream->start, want, mini);
  // Small streams live in the mini stream, itself a chain of ordinary sectors.
  const std::vector<std::uint32_t> container =
      mini ? Chain(root_.start, root_.size, false) : std::vector<std::uint32_t>{};
  for (std::size_t done = 0, i = 0; done < want; ++i) {
    if (i >= sectors.size()) Damaged("stream shorter than its size");
    const std::size_t n = std::min(sectorSize, want - done);
    std::uint64_t offset = 0;
    if (mini) {
      const std::uint64_t inMini = std::uint64_t{sectors[i]} << kMiniShift;
      const std::size_t big = static_cast<std::size_t>(inMini >> shift_);
      if (big >= container.size()) Damaged("mini sector outside the mini stream");
      offset = ((static_cast<std::uint64_t>(container[big]) + 1) << shift_) + (inMini & ((1u << shift_) - 1));
    } else {
      offset = (static_cast<std::uint64_t>(sectors[i]) + 1) << shift_;
    }
    if (offset + n > in_.Size()) Damaged("stream outside the file");
    in_.ReadAt(offset, out.data() + done, n);
    done += n;
  }
  return out;
}

}  // namespace quorvane::ooxml::cfb
