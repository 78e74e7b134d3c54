#pragma once
// The core speaks UTF-8; every Windows call takes UTF-16.

#include <string>
#include <string_view>

namespace quorvane::win32 {

// Both throw std::range_error on malformed input (invalid UTF-8, unpaired
// surrogates) rather than guess: these strings are mostly paths.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace quorvane::win32
