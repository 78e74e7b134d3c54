#include "ooxml/ZipReader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

#include "ooxml/Package.h"

namespace quorvane::ooxml::zip {

namespace {

constexpr std::uint32_t kLocalSig = 0x04034b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kEndSig = 0x06054b50;
constexpr std::uint32_t kEnd64Sig = 0x06064b50;
constexpr std::uint32_t kLocator64Sig = 0x07064b50;
constexpr std::uint32_t kDescriptorSig = 0x08074b50;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kEnd64Size = 56;
constexpr std::size_t kLocator64Size = 20;
constexpr std::uint16_t kZip64Extra = 0x0001;
constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMax16 = 0xFFFF;
constexpr std::size_t kChunk = 1 << 16;
constexpr std::uint64_t kRatioFloor = 1 << 20;  // ratio is checked above this size

constexpr std::uint16_t kFlagEncrypted = 1u << 0;
constexpr std::uint16_t kFlagDescriptor = 1u << 3;
constexpr std::uint16_t kFlagStrongEncryption = 1u << 6;
constexpr std::uint16_t kFlagUtf8 = 1u << 11;
constexpr std::uint16_t kFlagMaskedHeaders = 1u << 13;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint16_t kMethodAes = 99;

std::uint16_t Get16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Get64(const unsigned char* p) {
  return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}
const unsigned char* Bytes(const std::string& s, std::size_t at = 0) {
  return reinterpret_cast<const unsigned char*>(s.data()) + at;
}

void Put16(std::string& out, std::uint64_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, std::uint64_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, (v >> 16) & 0xFFFF);
}
void Put64(std::string& out, std::uint64_t v) {
  Put32(out, v & kMax32);
  Put32(out, v >> 32);
}
void Set32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Set64(std::string& s, std::size_t at, std::uint64_t v) {
  Set32(s, at, static_cast<std::uint32_t>(v & kMax32));
  Set32(s, at + 4, static_cast<std::uint32_t>(v >> 32));
}

[[noreturn]] void Damaged(const std::string& why) {
  throw PackageError("damaged zip package: " + why);
}

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
    if (cd.size() - at < kCentralSize) Damaged("the zip directory is too short");
    const auto* h = Bytes(cd, at);
    if (Get32(h) != kCentralSig) Damaged("bad zip directory record");
    const std::size_t nameLen = Get16(h + 28);
    const std::size_t extraLen = Get16(h + 30);
    const std::size_t commentLen = Get16(h + 32);
    const std::size_t recordLen = kCentralSize + nameLen + extraLen + commentLen;
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
    archive.entries.push_back(std::move(e));
    at += recordLen;
  }
  if (at != cd.size()) Damaged("the zip directory holds more records than it declares");

  // Local headers, in file order, so that overlapping entries (a trick of
  // zip bombs) and entries reaching into the directory are caught.
  std::vector<std::size_t> order(archive.entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return archive.entries[a].localOffset < archive.entries[b].localOffset;
  });
  WindowReader window(in);
  for (std::size_t k = 0; k < order.size(); ++k) {
    Entry& e = archive.entries[order[k]];
    const std::uint64_t limit =
        k + 1 < order.size() ? archive.entries[order[k + 1]].localOffset : end.cdOffset;
    const LocalInfo local = ReadLocal(window, e, limit);
    e.dataOffset = local.dataOffset;
    if (e.compressedSize > limit - e.dataOffset)
      Damaged("entry " + e.name + " overlaps the next one");
    e.end = e.dataOffset + e.compressedSize;
    if (e.flags & kFlagDescriptor) e.end += DescriptorLength(window, e, local.zip64, limit);
  }
  return archive;
}

namespace {

enum class InflateFault { None, Truncated, TooLarge, BadData, TooSmall };

// Inflates a raw deflate stream into `out`, exactly its size: output never
// goes past it, and one spare byte tells a stream that would go on. `next`
// gives the next piece of input, empty when there is no more.
template <typename NextInput>
InflateFault InflateBounded(std::string& out, NextInput next) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw PackageError("out of memory");
  struct Guard {
    z_stream* z;
    ~Guard() { inflateEnd(z); }
  } guard{&z};
  unsigned char overflow = 0;
  std::uint64_t produced = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0) {
      const std::string_view piece = next();
      if (piece.empty()) return InflateFault::Truncated;
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
      z.avail_in = static_cast<uInt>(piece.size());
    }
    const std::uint64_t room = out.size() - produced;
    if (room > 0) {
      z.next_out = reinterpret_cast<Bytef*>(out.data()) + produced;
      z.avail_out = static_cast<uInt>(std::min<std::uint64_t>(room, 1u << 30));
    } else {
      z.next_out = &overflow;
      z.avail_out = 1;
    }
    const uInt before = z.avail_out;
    rc = inflate(&z, Z_NO_FLUSH);
    const uInt made = before - z.avail_out;
    if (room == 0 && made > 0) return InflateFault::TooLarge;
    produced += made;
    if (rc == Z_BUF_ERROR && z.avail_in == 0) continue;
    if (rc != Z_OK && rc != Z_STREAM_END) return InflateFault::BadData;
  }
  return produced == out.size() ? InflateFault::None : InflateFault::TooSmall;
}

}  // namespace

std::string ReadEntry(const Input& in, const Entry& e, std::uint64_t maxSize,
                      std::uint64_t maxRatio) {
  if (e.size > maxSize || e.size > std::numeric_limits<std::size_t>::max() / 2)
    throw PackageError("part " + e.name + " is too large (" + std::to_string(e.size) + " bytes)");
  if (e.size > kRatioFloor && e.size / std::max<std::uint64_t>(e.compressedSize, 1) >= maxRatio)
    throw PackageError("part " + e.name + " is compressed suspiciously well (a zip bomb?)");

  std::string out(static_cast<std::size_t>(e.size), '\0');
  if (e.method == kMethodStored) {
    if (!out.empty()) in.ReadAt(e.dataOffset, out.data(), out.size());
  } else {
    std::string chunk(kChunk, '\0');
    std::uint64_t inputLeft = e.compressedSize;
    const auto fault = InflateBounded(out, [&]() -> std::string_view {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(inputLeft, kChunk));
      if (n > 0) in.ReadAt(e.dataOffset + (e.compressedSize - inputLeft), chunk.data(), n);
      inputLeft -= n;
      return {chunk.data(), n};
    });
    switch (fault) {
      case InflateFault::None: break;
      case InflateFault::Truncated: Damaged("part " + e.name + " ends too early");
      case InflateFault::TooLarge: Damaged("part " + e.name + " is larger than declared");
      case InflateFault::BadData: Damaged("bad compressed data in " + e.name);
      case InflateFault::TooSmall: Damaged("part " + e.name + " is smaller than declared");
    }
  }
  uLong crc = crc32(0L, Z_NULL, 0);
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t n = std::min<std::size_t>(out.size() - done, 1u << 30);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(out.data()) + done, static_cast<uInt>(n));
    done += n;
  }
  if (static_cast<std::uint32_t>(crc) != e.crc) Damaged("checksum mismatch in " + e.name);
  return out;
}

void Writer::Emit(std::string_view bytes) {
  if (bytes.empty()) return;
  sink_(bytes.data(), bytes.size());
  written_ += bytes.size();
}

void Writer::CopyRaw(WindowReader& in, const Entry& e) {
  const std::uint64_t offset = written_;
  std::string buffer;
  for (std::uint64_t at = e.localOffset; at < e.end;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(e.end - at, 1u << 20));
    buffer.resize(n);
    in.ReadAt(at, buffer.data(), n);
    Emit(buffer);
    at += n;
  }

  std::string record = e.central;
  if (e.zip64OffsetAt != 0) {
    Set64(record, e.zip64OffsetAt, offset);
  } else if (offset < kMax32) {
    Set32(record, 42, static_cast<std::uint32_t>(offset));
  } else {
    // The package grew past 4 GiB before this entry: its record needs a
    // zip64 offset, merged into any zip64 field it already has.
    const auto* h = Bytes(record);
    const std::size_t nameLen = Get16(h + 28);
    const std::size_t extraLen = Get16(h + 30);
    const std::string_view extra = std::string_view(record).substr(kCentralSize + nameLen, extraLen);
    std::string kept;
    std::size_t pos = 0;
    while (pos + 4 <= extra.size()) {
      const std::size_t len = Get16(Bytes(record, kCentralSize + nameLen + pos + 2));
      if (pos + 4 + len > extra.size()) break;
      if (Get16(Bytes(record, kCentralSize + nameLen + pos)) != kZip64Extra)
        kept.append(extra.substr(pos, 4 + len));
      pos += 4 + len;
    }
    std::string z64;
    if (Get32(h + 24) == kMax32) Put64(z64, e.size);
    if (Get32(h + 20) == kMax32) Put64(z64, e.compressedSize);
    Put64(z64, offset);
    std::string newExtra;
    Put16(newExtra, kZip64Extra);
    Put16(newExtra, z64.size());
    newExtra += z64;
    newExtra += kept;
    if (newExtra.size() > kMax16) Damaged("extra fields too long for " + e.name);
    std::string rebuilt = record.substr(0, kCentralSize);
    if (Get16(h + 6) < 45) {
      rebuilt[6] = 45;
      rebuilt[7] = 0;
    }
    rebuilt[30] = static_cast<char>(newExtra.size() & 0xFF);
    rebuilt[31] = static_cast<char>(newExtra.size() >> 8);
    Set32(rebuilt, 42, kMax32);
    rebuilt += e.name;
    rebuilt += newExtra;
    rebuilt += record.substr(kCentralSize + nameLen + extraLen);
    record = std::move(rebuilt);
  }
  central_ += record;
  ++count_;
}

std::uint32_t Crc(std::string_view content) {
  uLong crc = crc32(0L, Z_NULL, 0);
  for (std::size_t done = 0; done < content.size();) {
    const std::size_t n = std::min<std::size_t>(content.size() - done, 1u << 30);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(content.data()) + done, static_cast<uInt>(n));
    done += n;
  }
  return static_cast<std::uint32_t>(crc);
}

struct Deflater::Stream {
  z_stream z{};
  ~Stream() { deflateEnd(&z); }
};

Deflater::Deflater() : z_(std::make_unique<Stream>()) {
  if (deflateInit2(&z_->z, kDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw PackageError("out of memory");
  crc_ = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
}

Deflater::~Deflater() = default;

void Deflater::Feed(std::string_view piece, bool last) {
  z_stream& z = z_->z;
  std::array<char, kChunk> chunk;
  std::size_t fed = 0;
  uLong crc = crc_;
  int rc = Z_OK;
  for (;;) {
    if (z.avail_in == 0 && fed < piece.size()) {
      const std::size_t n = std::min<std::size_t>(piece.size() - fed, 1u << 30);
      crc = crc32(crc, reinterpret_cast<const Bytef*>(piece.data() + fed), static_cast<uInt>(n));
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data() + fed));
      z.avail_in = static_cast<uInt>(n);
      fed += n;
    }
    const bool all = fed == piece.size() && z.avail_in == 0;
    z.next_out = reinterpret_cast<Bytef*>(chunk.data());
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = deflate(&z, all && last ? Z_FINISH : Z_NO_FLUSH);
    if (rc == Z_STREAM_ERROR) throw PackageError("cannot compress a part");
    out_.append(chunk.data(), chunk.size() - z.avail_out);
    if (rc == Z_STREAM_END) break;
    // Without Z_FINISH, room left in the output means all input was taken.
    if (all && !last && z.avail_out != 0) break;
  }
  crc_ = static_cast<std::uint32_t>(crc);
  size_ += piece.size();
  if (last) out_.shrink_to_fit();  // kept until the package is written
}

std::string Deflate(std::string_view content) {
  Deflater d;
  d.Feed(content, true);
  return std::move(d.Output());
}

std::string Inflate(std::string_view compressed, std::uint64_t size) {
  if (size > std::numeric_limits<std::size_t>::max() / 2) throw PackageError("part too large");
  std::string out(static_cast<std::size_t>(size), '\0');
  std::size_t fed = 0;
  const auto fault = InflateBounded(out, [&] {
    const std::size_t n = std::min<std::size_t>(compressed.size() - fed, 1u << 30);
    fed += n;
    return compressed.substr(fed - n, n);
  });
  if (fault != InflateFault::None) throw PackageError("bad compressed data");
  return out;
}

void Writer::Add(std::string_view name, std::string_view content, const Entry* like) {
  const bool store = like && like->method == kMethodStored;
  if (store) {
    Write(name, content, Crc(content), content.size(), kMethodStored, like);
  } else {
    Write(name, Deflate(content), Crc(content), content.size(), kMethodDeflated, like);
  }
}

void Writer::AddDeflated(std::string_view name, std::string_view compressed, std::uint32_t crc,
                         std::uint64_t size, const Entry* like) {
  Write(name, compressed, crc, size, kMethodDeflated, like);
}

void Writer::Write(std::string_view name, std::string_view data, std::uint32_t crc, std::uint64_t usize,
                   std::uint16_t method, const Entry* like) {
  const std::uint64_t csize = data.size();
  const std::uint64_t offset = written_;
  const std::uint16_t flags = like ? (like->flags & kFlagUtf8) : 0;
  const std::uint16_t dosTime = like ? like->dosTime : 0;
  const std::uint16_t dosDate = like ? like->dosDate : (1 << 5) | 1;  // 1980-01-01
  const bool big = usize >= kMax32 || csize >= kMax32;
  const std::uint16_t needed = big || offset >= kMax32 ? 45 : 20;
  if (name.size() > kMax16) throw PackageError("part name too long: " + std::string(name));

  std::string local;
  Put32(local, kLocalSig);
  Put16(local, needed);
  Put16(local, flags);
  Put16(local, method);
  Put16(local, dosTime);
  Put16(local, dosDate);
  Put32(local, crc);
  Put32(local, big ? kMax32 : csize);
  Put32(local, big ? kMax32 : usize);
  Put16(local, name.size());
  Put16(local, big ? 20 : 0);
  local += name;
  if (big) {
    Put16(local, kZip64Extra);
    Put16(local, 16);
    Put64(local, usize);
    Put64(local, csize);
  }
  Emit(local);
  Emit(data);

  std::uint16_t madeBy = 20;
  std::uint16_t internalAttr = 0;
  std::uint32_t externalAttr = 0;
  std::string comment;
  if (like) {
    const auto* h = Bytes(like->central);
    madeBy = Get16(h + 4);
    internalAttr = Get16(h + 36);
    externalAttr = Get32(h + 38);
    const std::size_t skip = kCentralSize + Get16(h + 28) + Get16(h + 30);
    comment = like->central.substr(skip, Get16(h + 32));
  }
  std::string z64;
  if (usize >= kMax32) Put64(z64, usize);
  if (csize >= kMax32) Put64(z64, csize);
  if (offset >= kMax32) Put64(z64, offset);
  std::string& c = central_;
  Put32(c, kCentralSig);
  Put16(c, madeBy);
  Put16(c, needed);
  Put16(c, flags);
  Put16(c, method);
  Put16(c, dosTime);
  Put16(c, dosDate);
  Put32(c, crc);
  Put32(c, std::min<std::uint64_t>(csize, kMax32));
  Put32(c, std::min<std::uint64_t>(usize, kMax32));
  Put16(c, name.size());
  Put16(c, z64.empty() ? 0 : z64.size() + 4);
  Put16(c, comment.size());
  Put16(c, 0);
  Put16(c, internalAttr);
  Put32(c, externalAttr);
  Put32(c, std::min<std::uint64_t>(offset, kMax32));
  c += name;
  if (!z64.empty()) {
    Put16(c, kZip64Extra);
    Put16(c, z64.size());
    c += z64;
  }
  c += comment;
  ++count_;
}

void Writer::Finish(std::string_view comment) {
  const std::uint64_t cdOffset = written_;
  const std::uint64_t cdSize = central_.size();
  Emit(central_);
  central_.clear();
  central_.shrink_to_fit();
  const bool need64 = count_ >= kMax16 || cdOffset >= kMax32 || cdSize >= kMax32;
  std::string tail;
  if (need64) {
    const std::uint64_t recPos = written_;
    Put32(tail, kEnd64Sig);
    Put64(tail, kEnd64Size - 12);
    Put16(tail, 45);
    Put16(tail, 45);
    Put32(tail, 0);
    Put32(tail, 0);
    Put64(tail, count_);
    Put64(tail, count_);
    Put64(tail, cdSize);
    Put64(tail, cdOffset);
    Put32(tail, kLocator64Sig);
    Put32(tail, 0);
    Put64(tail, recPos);
    Put32(tail, 1);
  }
  Put32(tail, kEndSig);
  Put16(tail, 0);
  Put16(tail, 0);
  Put16(tail, std::min<std::uint64_t>(count_, kMax16));
  Put16(tail, std::min<std::uint64_t>(count_, kMax16));
  Put32(tail, std::min<std::uint64_t>(cdSize, kMax32));
  Put32(tail, std::min<std::uint64_t>(cdOffset, kMax32));
  const std::string_view kept = comment.substr(0, kMax16);
  Put16(tail, kept.size());
  tail += kept;
  Emit(tail);
}

}  // namespace quorvane::ooxml::zip
