#pragma once
// Raw deflate, as a zip entry's data, and its inverse, with the CRC-32 a zip
// records: the only code that talks to zlib.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quorvane::ooxml::zip {

// Level 5 writes parts about 1-2% larger than zlib's default 6 for about
// 40% less time on sheet XML, the bulk of a rewrite's work. The floor
// program in bench/ uses the same level (kEngineLevel).
inline constexpr int kDeflateLevel = 5;

// CRC-32 of the bytes; raw deflate (no zlib header) at kDeflateLevel;
// and its inverse, which must produce exactly `size` bytes. The last two
// throw PackageError.
std::uint32_t Crc(std::string_view content, std::uint32_t previous = 0);  // previous: of the bytes before
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

enum class InflateFault { None, Truncated, TooLarge, BadData, TooSmall };
// Inflates a raw deflate stream into `out`, exactly its size. `next` gives
// the next piece of input, empty when there is no more.
InflateFault InflateExactly(std::string& out, const std::function<std::string_view()>& next);
// The same, handing the output to `sink` in pieces of up to 64 KiB instead of
// holding it whole; `size` is the exact size expected.
InflateFault InflateInPieces(std::uint64_t size, const std::function<std::string_view()>& next,
                             const std::function<void(std::string_view)>& sink);

}  // namespace quorvane::ooxml::zip
