#pragma once
// The zip container: its directory read and checked, one entry inflated
// within limits, and a writer that copies untouched entries byte for byte.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/ZipInput.h"

namespace quorvane::ooxml::zip {

struct Entry {
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;
  std::uint64_t localOffset = 0;  // local header
  std::uint64_t dataOffset = 0;   // compressed data
  std::uint64_t end = 0;          // past the data and its descriptor
  std::string central;            // central directory record, verbatim
  std::size_t zip64OffsetAt = 0;  // offset field inside a zip64 extra of central; 0 if none
};

struct Archive {
  std::vector<Entry> entries;  // in central directory order
  std::string comment;
};

// Reads the directory and every local header and checks that they agree,
// that no entries overlap, and that every entry is stored or deflated and
// not encrypted. Throws PackageError.
Archive ReadArchive(const Input& in, std::size_t maxEntries);

// False for names that could escape a folder when unpacked: absolute, with
// "." or ".." segments, backslashes, drive letters, control characters.
bool IsSafeName(std::string_view name);

// The entry's bytes, inflated when deflated. Refused before inflating when
// the declared size or compression ratio is beyond the limits; inflation
// stops at the declared size; the CRC is checked. Throws PackageError.
std::string ReadEntry(const Input& in, const Entry& e, std::uint64_t maxSize,
                      std::uint64_t maxRatio);

// Level 5 writes parts about 1-2% larger than zlib's default 6 for about
// 40% less time on sheet XML, the bulk of a rewrite's work. The floor
// program in bench/ uses the same level (kEngineLevel).
inline constexpr int kDeflateLevel = 5;

// CRC-32 of the bytes; raw deflate (no zlib header) at kDeflateLevel;
// and its inverse, which must produce exactly `size` bytes. The last two
// throw PackageError.
std::uint32_t Crc(std::string_view content);
std::string Deflate(std::string_view content);
std::string Inflate(std::string_view compressed, std::uint64_t size);

// Raw deflate of content that arrives in pieces, with its CRC and size.
class Deflater {
 public:
  Deflater();
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  void Feed(std::string_view piece, bool last);
  std::string& Output() { return out_; }
  std::uint32_t Crc() const { return crc_; }
  std::uint64_t Size() const { return size_; }

 private:
  struct Stream;
  std::unique_ptr<Stream> z_;
  std::string out_;
  std::uint32_t crc_ = 0;
  std::uint64_t size_ = 0;
};

class Writer {
 public:
  using Sink = std::function<void(const char* data, std::size_t n)>;
  explicit Writer(Sink sink) : sink_(std::move(sink)) {}

  // The entry's local header, data and descriptor exactly as in the source.
  void CopyRaw(WindowReader& in, const Entry& e);
  // A new entry with the given content. Name, times, flags and attributes
  // come from `like` when the entry replaces one; stored when `like` was
  // stored, deflated otherwise.
  void Add(std::string_view name, std::string_view content, const Entry* like);
  // The same for content deflated beforehand (see Deflate); always deflated.
  void AddDeflated(std::string_view name, std::string_view compressed, std::uint32_t crc, std::uint64_t size,
                   const Entry* like);
  // Central directory and end records, with zip64 records when needed.
  void Finish(std::string_view comment);

  std::uint64_t Written() const { return written_; }

 private:
  void Emit(std::string_view bytes);
  void Write(std::string_view name, std::string_view data, std::uint32_t crc, std::uint64_t usize,
             std::uint16_t method, const Entry* like);

  Sink sink_;
  std::uint64_t written_ = 0;
  std::string central_;
  std::uint64_t count_ = 0;
};

}  // namespace quorvane::ooxml::zip
