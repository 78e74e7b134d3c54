#include "ooxml/Deflate.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

#include "ooxml/Package.h"

namespace quorvane::ooxml::zip {
namespace {

constexpr std::size_t kChunk = 1 << 16;

// A raw inflate stream (no zlib header), fed piece by piece.
struct RawInflate {
  z_stream z{};
  RawInflate() {
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw PackageError("out of memory");
  }
  ~RawInflate() { inflateEnd(&z); }
  RawInflate(const RawInflate&) = delete;
  RawInflate& operator=(const RawInflate&) = delete;
  // False when the input has ended.
  bool Refill(const std::function<std::string_view()>& next) {
    const std::string_view piece = next();
    if (piece.empty()) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z.avail_in = static_cast<uInt>(piece.size());
    return true;
  }
};

}  // namespace

// Output never goes past `out`; one spare byte tells a stream that would go on.
InflateFault InflateExactly(std::string& out, const std::function<std::string_view()>& next) {
  RawInflate inflater;
  z_stream& z = inflater.z;
  unsigned char overflow = 0;
  std::uint64_t produced = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0 && !inflater.Refill(next)) return InflateFault::Truncated;
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

InflateFault InflateInPieces(std::uint64_t size, const std::function<std::string_view()>& next,
                             const std::function<void(std::string_view)>& sink) {
  RawInflate inflater;
  z_stream& z = inflater.z;
  std::array<char, kChunk> window;
  std::uint64_t produced = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0 && !inflater.Refill(next)) return InflateFault::Truncated;
    z.next_out = reinterpret_cast<Bytef*>(window.data());
    z.avail_out = static_cast<uInt>(window.size());
    rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t made = window.size() - z.avail_out;
    if (made > size - produced) return InflateFault::TooLarge;
    produced += made;
    if (made > 0) sink({window.data(), made});
    if (rc == Z_BUF_ERROR && z.avail_in == 0) continue;
    if (rc != Z_OK && rc != Z_STREAM_END) return InflateFault::BadData;
  }
  return produced == size ? InflateFault::None : InflateFault::TooSmall;
}

std::uint32_t Crc(std::string_view content, std::uint32_t previous) {
  uLong crc = previous;  // crc32's start value is 0
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
  const auto fault = InflateExactly(out, [&] {
    const std::size_t n = std::min<std::size_t>(compressed.size() - fed, 1u << 30);
    fed += n;
    return compressed.substr(fed - n, n);
  });
  if (fault != InflateFault::None) throw PackageError("bad compressed data");
  return out;
}

}  // namespace quorvane::ooxml::zip
