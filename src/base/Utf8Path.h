#pragma once
// Paths travel through the program as UTF-8 text. std::filesystem::path
// built from a std::string takes the ANSI code page on Windows, so every
// conversion between the two goes through here.

#include <filesystem>
#include <string>
#include <string_view>

namespace quorvane::base {

inline std::string ToUtf8(const std::filesystem::path& p) {
  const auto u8 = p.u8string();
  return std::string(reinterpret_cast<const char*>(u8.data()), u8.size());
}

inline std::filesystem::path FromUtf8(std::string_view s) {
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(s.data()), s.size()));
}

}  // namespace quorvane::base
