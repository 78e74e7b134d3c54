#pragma once
// The zip format as the reader and the writer both see it: record
// signatures and sizes, flags and methods, little-endian fields.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ooxml/Package.h"

namespace quorvane::ooxml::zip {

inline constexpr std::uint32_t kLocalSig = 0x04034b50;
inline constexpr std::uint32_t kCentralSig = 0x02014b50;
inline constexpr std::uint32_t kEndSig = 0x06054b50;
inline constexpr std::uint32_t kEnd64Sig = 0x06064b50;
inline constexpr std::uint32_t kLocator64Sig = 0x07064b50;
inline constexpr std::uint32_t kDescriptorSig = 0x08074b50;
inline constexpr std::size_t kLocalSize = 30;
inline constexpr std::size_t kCentralSize = 46;
inline constexpr std::size_t kEndSize = 22;
inline constexpr std::size_t kEnd64Size = 56;
inline constexpr std::size_t kLocator64Size = 20;
inline constexpr std::uint16_t kZip64Extra = 0x0001;
inline constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;
inline constexpr std::uint16_t kMax16 = 0xFFFF;

inline constexpr std::uint16_t kFlagEncrypted = 1u << 0;
inline constexpr std::uint16_t kFlagDescriptor = 1u << 3;
inline constexpr std::uint16_t kFlagStrongEncryption = 1u << 6;
inline constexpr std::uint16_t kFlagUtf8 = 1u << 11;
inline constexpr std::uint16_t kFlagMaskedHeaders = 1u << 13;
inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflated = 8;
inline constexpr std::uint16_t kMethodAes = 99;

inline std::uint16_t Get16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Get64(const unsigned char* p) {
  return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}
inline const unsigned char* Bytes(const std::string& s, std::size_t at = 0) {
  return reinterpret_cast<const unsigned char*>(s.data()) + at;
}

inline void Put16(std::string& out, std::uint64_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& out, std::uint64_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, (v >> 16) & 0xFFFF);
}
inline void Put64(std::string& out, std::uint64_t v) {
  Put32(out, v & kMax32);
  Put32(out, v >> 32);
}
inline void Set32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void Set64(std::string& s, std::size_t at, std::uint64_t v) {
  Set32(s, at, static_cast<std::uint32_t>(v & kMax32));
  Set32(s, at + 4, static_cast<std::uint32_t>(v >> 32));
}

[[noreturn]] inline void Damaged(const std::string& why) {
  throw PackageError("damaged zip package: " + why);
}

}  // namespace quorvane::ooxml::zip
