#pragma once
// Names in a package compare without regard to ASCII case: part names,
// sheet and defined names, the file names of link sources. Other bytes
// (UTF-8 sequences included) stay as they are, whatever the locale.

#include <string>
#include <string_view>

namespace quorvane::ooxml {

constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

}  // namespace quorvane::ooxml
