#include "ooxml/ZipReader.h"

#include <algorithm>
#include <array>
#include <limits>

#include "ooxml/Deflate.h"
#include "ooxml/Package.h"
#include "ooxml/ZipFormat.h"

namespace quorvane::ooxml::zip {
namespace {

constexpr std::size_t kChunk = 1 << 16;
constexpr std::uint64_t kRatioFloor = 1 << 20;  // ratio is checked above this size

template <typename Reader>
std::string ReadString(Reader& in, std::uint64_t offset, std::size_t n) {
  std::string s(n, '\0');
  if (n) in.ReadAt(offset, s.data(), n);
  return s;
}

// Finds the extra field with the given id; returns its data offset within
// `extra` and its size, or npos. Padding that is not a field list ends the walk.
std::pair<std::size_t, std::size_t> FindExtra(std::string_view extra, std::uint16_t id) {
  std::size_t at = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  while (at + 4 <= extra.size()) {
    const std::uint16_t fieldId = Get16(p + at);
    const std::size_t len = Get16(p + at + 2);
    if (at + 4 + len > extra.size()) break;
    if (fieldId == id) return {at + 4, len};
    at += 4 + len;
  }
  return {std::string_view::npos, 0};
}

struct EndRecord {
  std::uint64_t count = 0;
  std::uint64_t cdSize = 0;
  std::uint64_t cdOffset = 0;
  std::uint64_t cdEnd = 0;  // where the central directory must end
  std::string comment;
};

EndRecord ReadEnd(const Input& in) {
  const std::uint64_t size = in.Size();
  if (size < kEndSize) throw PackageError("not a workbook package (not a zip file)");
  const std::size_t tailLen = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndSize + 0xFFFF));
  const std::uint64_t tailStart = size - tailLen;
  const std::string tail = ReadString(in, tailStart, tailLen);
  const auto* t = Bytes(tail);

  // Prefer a record whose comment reaches exactly to the end of the file;
  // accept trailing bytes only when no such record exists.
  std::size_t found = std::string::npos;
  for (int pass = 0; pass < 2 && found == std::string::npos; ++pass) {
    for (std::size_t i = tailLen - kEndSize + 1; i-- > 0;) {
      if (Get32(t + i) != kEndSig) continue;
      const std::size_t commentLen = Get16(t + i + 20);
      const std::size_t recordEnd = i + kEndSize + commentLen;
      if (pass == 0 ? recordEnd == tailLen : recordEnd <= tailLen) {
        found = i;
        break;
      }
    }
  }
  if (found == std::string::npos) {
    std::array<unsigned char, 4> head{};
    if (size >= 4) in.ReadAt(0, head.data(), 4);
    if (Get32(head.data()) == kLocalSig)
      Damaged("the zip directory is missing (the file may be truncated)");
    throw PackageError("not a workbook package (not a zip file)");
  }

  const auto* e = t + found;
  EndRecord end;
  const std::uint64_t endPos = tailStart + found;
  if (Get16(e + 4) != 0 || Get16(e + 6) != 0) Damaged("multi-part archives are not supported");
  end.count = Get16(e + 10);
  end.cdSize = Get32(e + 12);
  end.cdOffset = Get32(e + 16);
  end.cdEnd = endPos;
  end.comment.assign(reinterpret_cast<const char*>(e + kEndSize), Get16(e + 20));

  const bool needs64 = Get16(e + 8) == kMax16 || end.count == kMax16 ||
                       end.cdSize == kMax32 || end.cdOffset == kMax32;
  bool hasLocator = false;
  std::array<unsigned char, kLocator64Size> loc{};
  if (endPos >= kLocator64Size) {
    in.ReadAt(endPos - kLocator64Size, loc.data(), loc.size());
    hasLocator = Get32(loc.data()) == kLocator64Sig;
  }
  if (needs64 && !hasLocator) Damaged("zip64 end record missing");
  if (hasLocator) {
    const std::uint64_t locPos = endPos - kLocator64Size;
    const std::uint64_t recPos = Get64(loc.data() + 8);
    if (Get32(loc.data() + 4) != 0 || Get32(loc.data() + 16) > 1)
      Damaged("multi-part archives are not supported");
    if (recPos > locPos || locPos - recPos < kEnd64Size) Damaged("bad zip64 end record");
    std::array<unsigned char, kEnd64Size> rec{};
    in.ReadAt(recPos, rec.data(), rec.size());
    if (Get32(rec.data()) != kEnd64Sig) Damaged("bad zip64 end record");
    if (Get32(rec.data() + 16) != 0 || Get32(rec.data() + 20) != 0)
      Damaged("multi-part archives are not supported");
    end.count = Get64(rec.data() + 32);
    end.cdSize = Get64(rec.data() + 40);
    end.cdOffset = Get64(rec.data() + 48);
    end.cdEnd = recPos;
  }
  if (end.cdOffset > end.cdEnd || end.cdEnd - end.cdOffset != end.cdSize)
    Damaged("the zip directory is not where the end record places it");
  return end;
}

struct LocalInfo {
  std::uint64_t dataOffset = 0;
  bool zip64 = false;
};

LocalInfo ReadLocal(WindowReader& in, const Entry& e, std::uint64_t limit) {
  if (e.localOffset > limit || limit - e.localOffset < kLocalSize)
    Damaged("entry " + e.name + " lies outside the archive");
  std::array<unsigned char, kLocalSize> h{};
  in.ReadAt(e.localOffset, h.data(), h.size());
  if (Get32(h.data()) != kLocalSig) Damaged("bad local header for " + e.name);
  const std::size_t nameLen = Get16(h.data() + 26);
  const std::size_t extraLen = Get16(h.data() + 28);
  const std::uint64_t headerEnd = e.localOffset + kLocalSize + nameLen + extraLen;
  if (headerEnd > limit) Damaged("entry " + e.name + " lies outside the archive");
  const std::string nameAndExtra = ReadString(in, e.localOffset + kLocalSize, nameLen + extraLen);
  if (std::string_view(nameAndExtra).substr(0, nameLen) != e.name)
    Damaged("local and central names differ for " + e.name);
  if (Get16(h.data() + 8) != e.method) Damaged("local and central methods differ for " + e.name);
  LocalInfo info;
  info.dataOffset = headerEnd;
  info.zip64 = FindExtra(std::string_view(nameAndExtra).substr(nameLen), kZip64Extra).first !=
               std::string_view::npos;
  if (!(Get16(h.data() + 6) & kFlagDescriptor)) {
    const std::uint32_t csize = Get32(h.data() + 18);
    if (Get32(h.data() + 14) != e.crc ||
        (csize != kMax32 && csize != e.compressedSize))
      Damaged("local and central headers differ for " + e.name);
  }
  return info;
}

// Length of the data descriptor after the entry's data, checked against the
// central record.
std::uint64_t DescriptorLength(WindowReader& in, const Entry& e, bool zip64, std::uint64_t limit) {
  const std::uint64_t at = e.dataOffset + e.compressedSize;
  std::array<unsigned char, 24> d{};
  const std::size_t avail = static_cast<std::size_t>(std::min<std::uint64_t>(limit - at, d.size()));
  in.ReadAt(at, d.data(), avail);
  const std::size_t sig = avail >= 4 && Get32(d.data()) == kDescriptorSig ? 4 : 0;
  // Writers disagree on the field width; take the one that matches.
  for (const std::size_t width : {zip64 ? 8u : 4u, zip64 ? 4u : 8u}) {
    const std::size_t len = sig + 4 + 2 * width;
    if (len > avail) continue;
    const auto* p = d.data() + sig;
    const std::uint64_t csize = width == 8 ? Get64(p + 4) : Get32(p + 4);
    const std::uint64_t usize = width == 8 ? Get64(p + 12) : Get32(p + 8);
    if (Get32(p) == e.crc && csize == e.compressedSize && usize == e.size) return len;
  }
  Damaged("bad data descriptor for " + e.name);
}

// An entry's compressed bytes, read from the file a chunk at a time.
struct CompressedData {
  const Input& in;
  const Entry& e;
  std::string chunk;
  std::uint64_t left;

  std::string_view Next() {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    if (n > 0) in.ReadAt(e.dataOffset + (e.compressedSize - left), chunk.data(), n);
    left -= n;
    return {chunk.data(), n};
  }
};

// One record of the central directory, which begins at `at`; recordLen is
// set to its length.
Entry ReadCentralRecord(const std::string& cd, std::size_t at, std::size_t& recordLen) {
  if (cd.size() - at < kCentralSize) Damaged("the zip directory is too short");
  const auto* h = Bytes(cd, at);
  if (Get32(h) != kCentralSig) Damaged("bad zip directory record");
  const std::size_t nameLen = Get16(h + 28);
  const std::size_t extraLen = Get16(h + 30);
  const std::size_t commentLen = Get16(h + 32);
  recordLen = kCentralSize + nameLen + extraLen + commentLen;
  if (cd.size() - at < recordLen) Damaged("the zip directory is too short");

  Entry e;
  e.flags = Get16(h + 8);
  e.method = Get16(h + 10);
  e.dosTime = Get16(h + 12);
  e.dosDate = Get16(h + 14);
  e.crc = Get32(h + 16);
  e.compressedSize = Get32(h + 20);
  e.size = Get32(h + 24);
  e.localOffset = Get32(h + 42);
  e.name = cd.substr(at + kCentralSize, nameLen);
  e.central = cd.substr(at, recordLen);
  const std::uint16_t disk = Get16(h + 34);

  const std::string_view extra = std::string_view(e.central).substr(kCentralSize + nameLen, extraLen);
  if (e.size == kMax32 || e.compressedSize == kMax32 || e.localOffset == kMax32 || disk == kMax16) {
    const auto [pos, len] = FindExtra(extra, kZip64Extra);
    if (pos == std::string_view::npos) Damaged("zip64 field missing for " + e.name);
    std::size_t f = 0;
    const auto* x = reinterpret_cast<const unsigned char*>(extra.data()) + pos;
    auto take = [&](std::uint64_t& v) {
      if (f + 8 > len) Damaged("zip64 field too short for " + e.name);
      v = Get64(x + f);
      f += 8;
    };
    if (e.size == kMax32) take(e.size);
    if (e.compressedSize == kMax32) take(e.compressedSize);
    if (e.localOffset == kMax32) {
      e.zip64OffsetAt = kCentralSize + nameLen + pos + f;
      take(e.localOffset);
    }
    if (disk == kMax16) {
      if (f + 4 > len || Get32(x + f) != 0) Damaged("multi-part archives are not supported");
    }
  } else if (disk != 0) {
    Damaged("multi-part archives are not supported");
  }

  if ((e.flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedHeaders)) ||
      e.method == kMethodAes)
    throw PackageError("encrypted or password-protected workbook");
  if (e.method != kMethodStored && e.method != kMethodDeflated)
    throw PackageError("unsupported compression method " + std::to_string(e.method) + " for " + e.name);
  if (e.method == kMethodStored && e.compressedSize != e.size)
    Damaged("stored entry with two sizes: " + e.name);
  return e;
}

// Local headers, in file order, so that overlapping entries (a trick of
// zip bombs) and entries reaching into the directory are caught.
void ReadLocalHeaders(const Input& in, std::vector<Entry>& entries, std::uint64_t cdOffset) {
  std::vector<std::size_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return entries[a].localOffset < entries[b].localOffset;
  });
  WindowReader window(in);
  for (std::size_t k = 0; k < order.size(); ++k) {
    Entry& e = entries[order[k]];
    const std::uint64_t limit =
        k + 1 < order.size() ? entries[order[k + 1]].localOffset : cdOffset;
    const LocalInfo local = ReadLocal(window, e, limit);
    e.dataOffset = local.dataOffset;
    if (e.compressedSize > limit - e.dataOffset)
      Damaged("entry " + e.name + " overlaps the next one");
    e.end = e.dataOffset + e.compressedSize;
    if (e.flags & kFlagDescriptor) e.end += DescriptorLength(window, e, local.zip64, limit);
  }
}

}  // namespace

bool IsSafeName(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '\\' || c == 0x7F) return false;
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t slash = name.find('/', start);
    if (slash == std::string_view::npos) slash = name.size();
    const std::string_view seg = name.substr(start, slash - start);
    const bool last = slash == name.size();
    // A trailing slash marks a folder entry; other empty segments are not valid.
    if (seg.empty() && !last) return false;
    if (seg == "." || seg == "..") return false;
    if (start == 0 && seg.size() >= 2 && seg[1] == ':') return false;
    start = slash + 1;
  }
  return true;
}

Archive ReadArchive(const Input& in, std::size_t maxEntries) {
  const EndRecord end = ReadEnd(in);
  if (end.count > maxEntries)
    throw PackageError("too many entries in the package (" + std::to_string(end.count) + ")");
  if (end.cdSize / kCentralSize < end.count) Damaged("the zip directory is too short");
  if (end.cdSize > std::numeric_limits<std::size_t>::max()) Damaged("the zip directory is too large");

  const std::string cd = ReadString(in, end.cdOffset, static_cast<std::size_t>(end.cdSize));
  Archive archive;
  archive.comment = end.comment;
  archive.entries.reserve(static_cast<std::size_t>(end.count));
  std::size_t at = 0;
  for (std::uint64_t i = 0; i < end.count; ++i) {
    std::size_t recordLen = 0;
    archive.entries.push_back(ReadCentralRecord(cd, at, recordLen));
    at += recordLen;
  }
  if (at != cd.size()) Damaged("the zip directory holds more records than it declares");
  ReadLocalHeaders(in, archive.entries, end.cdOffset);
  return archive;
}

namespace {

void CheckLimits(const Entry& e, std::uint64_t maxSize, std::uint64_t maxRatio) {
  if (e.size > maxSize || e.size > std::numeric_limits<std::size_t>::max() / 2)
    throw PackageError("part " + e.name + " is too large (" + std::to_string(e.size) + " bytes)");
  if (e.size > kRatioFloor && e.size / std::max<std::uint64_t>(e.compressedSize, 1) >= maxRatio)
    throw PackageError("part " + e.name + " is compressed suspiciously well (a zip bomb?)");
}

void Check(InflateFault fault, const Entry& e) {
  switch (fault) {
    case InflateFault::None: return;
    case InflateFault::Truncated: Damaged("part " + e.name + " ends too early");
    case InflateFault::TooLarge: Damaged("part " + e.name + " is larger than declared");
    case InflateFault::BadData: Damaged("bad compressed data in " + e.name);
    case InflateFault::TooSmall: Damaged("part " + e.name + " is smaller than declared");
  }
}

}  // namespace

std::string ReadEntry(const Input& in, const Entry& e, std::uint64_t maxSize,
                      std::uint64_t maxRatio) {
  CheckLimits(e, maxSize, maxRatio);
  std::string out(static_cast<std::size_t>(e.size), '\0');
  if (e.method == kMethodStored) {
    if (!out.empty()) in.ReadAt(e.dataOffset, out.data(), out.size());
  } else {
    CompressedData data{in, e, std::string(kChunk, '\0'), e.compressedSize};
    Check(InflateExactly(out, [&data] { return data.Next(); }), e);
  }
  if (Crc(out) != e.crc) Damaged("checksum mismatch in " + e.name);
  return out;
}

void ReadEntryInPieces(const Input& in, const Entry& e, std::uint64_t maxSize, std::uint64_t maxRatio,
                       const std::function<void(std::string_view)>& sink) {
  CheckLimits(e, maxSize, maxRatio);
  std::uint32_t crc = 0;
  const auto take = [&](std::string_view piece) {
    crc = Crc(piece, crc);
    sink(piece);
  };
  CompressedData data{in, e, std::string(kChunk, '\0'), e.compressedSize};  // stored: the same as its size
  if (e.method == kMethodStored) {
    for (std::string_view piece; !(piece = data.Next()).empty();) take(piece);
  } else {
    Check(InflateInPieces(e.size, [&data] { return data.Next(); }, take), e);
  }
  if (crc != e.crc) Damaged("checksum mismatch in " + e.name);
}

}  // namespace quorvane::ooxml::zip
