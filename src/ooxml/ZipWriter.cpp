#include "ooxml/ZipWriter.h"

#include <algorithm>

#include "ooxml/Deflate.h"
#include "ooxml/ZipFormat.h"

namespace quorvane::ooxml::zip {

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
