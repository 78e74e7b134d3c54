#include "ZipTestUtil.h"

#include <zlib.h>

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <stdexcept>

#include "ooxml/Package.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::ooxml::test {

namespace {

// Little-endian fields: value and width in bytes.
void Fields(std::string& s, std::initializer_list<std::pair<std::uint64_t, int>> fields) {
  for (const auto& [v, bytes] : fields)
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint64_t Get(const std::string& s, std::size_t at, int bytes) {
  if (at + bytes > s.size()) throw std::runtime_error("test zip reader: out of range");
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

}  // namespace

ZipItem Item(std::string name, std::string data, std::uint16_t method) {
  return {.name = std::move(name), .data = std::move(data), .method = method};
}

std::string RawDeflate(std::string_view data) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string MakeZip(const std::vector<ZipItem>& items, std::string_view comment) {
  std::string out, central;
  for (const ZipItem& it : items) {
    const std::string payload = it.compressed ? *it.compressed : it.method == 8 ? RawDeflate(it.data) : it.data;
    const std::uint32_t crc = it.crc ? *it.crc
                                     : static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(it.data.data()),
                                                                        static_cast<uInt>(it.data.size())));
    const std::uint64_t usize = it.declaredSize ? *it.declaredSize : it.data.size();
    const std::uint64_t flags = it.flags | (it.descriptor ? 8 : 0);
    // The fields both headers share, from "version needed" to the extra length.
    const auto shared = [&](std::string& s, bool later) {
      Fields(s, {{20, 2}, {flags, 2}, {it.method, 2}, {it.dosTime, 2}, {it.dosDate, 2}, {later ? 0 : crc, 4},
                 {later ? 0 : payload.size(), 4}, {later ? 0 : usize, 4}, {it.name.size(), 2}, {it.extra.size(), 2}});
    };
    const std::uint64_t offset = out.size();
    Fields(out, {{0x04034b50, 4}});
    shared(out, it.descriptor);
    out += it.name + it.extra + payload;
    if (it.descriptor) Fields(out, {{0x08074b50, 4}, {crc, 4}, {payload.size(), 4}, {usize, 4}});
    Fields(central, {{0x02014b50, 4}, {0x031E, 2}});  // made on Unix, by version 3.0
    shared(central, false);
    // Comment length, disk, internal attributes, -rw-r--r--, local header.
    Fields(central, {{it.comment.size(), 2}, {0, 2}, {0, 2}, {0x81A40000, 4}, {offset, 4}});
    central += it.name + it.extra + it.comment;
  }
  const std::uint64_t cdOffset = out.size();
  out += central;
  const std::uint64_t count = items.size();
  if (count >= 0xFFFF) {
    // The zip64 end record (made by and needed 4.5, no disks) and its locator.
    Fields(out, {{0x06064b50, 4}, {44, 8}, {45 | (45 << 16), 4}, {0, 8}, {count, 8}, {count, 8}, {central.size(), 8},
                 {cdOffset, 8}, {0x07064b50, 4}, {0, 4}, {cdOffset + central.size(), 8}, {1, 4}});
  }
  const std::uint64_t shortCount = std::min<std::uint64_t>(count, 0xFFFF);
  Fields(out, {{0x06054b50, 4}, {0, 4}, {shortCount, 2}, {shortCount, 2}, {central.size(), 4}, {cdOffset, 4},
               {comment.size(), 2}});
  return out + std::string(comment);
}

std::vector<ZipItem> MinimalWorkbook() {
  quorvane::testing::WorkbookBuilder b;
  b.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><f>[1]Sheet1!A1</f><v>42</v></c></row>)");
  std::vector<ZipItem> items;  // [Content_Types].xml sorts first, the sheet last
  for (auto& [name, data] : b.Parts()) items.push_back(Item(name, data));
  return items;
}

ZipItem* FindItem(std::vector<ZipItem>& items, std::string_view name) {
  for (auto& it : items)
    if (it.name == name) return &it;
  return nullptr;
}

std::vector<RawEntry> ReadRawEntries(const std::string& zip) {
  std::size_t end = zip.rfind(std::string("PK\x05\x06", 4));
  if (end == std::string::npos) throw std::runtime_error("test zip reader: no end record");
  std::uint64_t count = Get(zip, end + 10, 2);
  std::uint64_t cd = Get(zip, end + 16, 4);
  if (end >= 20 && Get(zip, end - 20, 4) == 0x07064b50) {
    const std::uint64_t rec = Get(zip, end - 20 + 8, 8);
    count = Get(zip, rec + 32, 8);
    cd = Get(zip, rec + 48, 8);
  }
  std::vector<RawEntry> entries;
  std::size_t at = cd;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (Get(zip, at, 4) != 0x02014b50) throw std::runtime_error("test zip reader: bad record");
    RawEntry e;
    e.method = static_cast<std::uint16_t>(Get(zip, at + 10, 2));
    std::uint64_t csize = Get(zip, at + 20, 4);
    const std::size_t nameLen = Get(zip, at + 28, 2);
    const std::size_t extraLen = Get(zip, at + 30, 2);
    const std::size_t commentLen = Get(zip, at + 32, 2);
    std::uint64_t local = Get(zip, at + 42, 4);
    e.name = zip.substr(at + 46, nameLen);
    e.central = zip.substr(at, 46);
    // Only the zip64 fields this reader needs: sizes and offset.
    if (csize == 0xFFFFFFFF || local == 0xFFFFFFFF) {
      std::size_t x = at + 46 + nameLen;
      const std::size_t xEnd = x + extraLen;
      while (x + 4 <= xEnd && Get(zip, x, 2) != 1) x += 4 + Get(zip, x + 2, 2);
      std::size_t f = x + 4;
      if (Get(zip, at + 24, 4) == 0xFFFFFFFF) f += 8;
      if (csize == 0xFFFFFFFF) csize = Get(zip, f, 8), f += 8;
      if (local == 0xFFFFFFFF) local = Get(zip, f, 8);
    }
    const std::size_t headerLen = 30 + Get(zip, local + 26, 2) + Get(zip, local + 28, 2);
    e.bytes = zip.substr(local, headerLen + csize);
    entries.push_back(std::move(e));
    at += 46 + nameLen + extraLen + commentLen;
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
