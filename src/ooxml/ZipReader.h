#pragma once
// Reading the zip container: its directory read and checked, one entry
// inflated within limits.

#include <cstddef>
#include <cstdint>
#include <functional>
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
// The same, handing the bytes to `sink` in pieces instead of holding them
// whole; a fault found after some pieces were handed over still throws.
void ReadEntryInPieces(const Input& in, const Entry& e, std::uint64_t maxSize, std::uint64_t maxRatio,
                       const std::function<void(std::string_view)>& sink);

}  // namespace quorvane::ooxml::zip
