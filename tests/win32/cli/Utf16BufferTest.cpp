// The console stream: UTF-8 from the portable code reaches the console as
// UTF-16, also when a flush falls inside a character.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "cli/windows/Utf16Console.h"

namespace quorvane::cli {
namespace {

// What the stream hands to the console, write by write, for these pieces
// each followed by a flush (none when flush is false).
std::vector<std::wstring> Written(const std::vector<std::string>& pieces, bool flush = true) {
  std::vector<std::wstring> writes;
  {
    Utf16Buffer buffer([&](std::wstring_view text) { writes.emplace_back(text); });
    std::ostream out(&buffer);
    for (const auto& piece : pieces) {
      out << piece;
      if (flush) out.flush();
    }
  }
  return writes;
}

TEST(Utf16Buffer, CharactersCutByAFlushArriveWholeAndBrokenBytesNeitherStallNorVanish) {
  // ä cut after its first byte, 日 after two of three, U+1F4C4 after three of four.
  EXPECT_EQ(Written({"M\xC3", "\xA4rz \xE6\x97", "\xA5 \xF0\x9F\x93", "\x84\n"}),
            (std::vector<std::wstring>{L"M", L"\u00e4rz ", L"\u65e5 ", L"\U0001F4C4\n"}));
  // Not UTF-8 at all, then a cut sequence that never ends: shown when the stream goes.
  std::wstring all;
  for (const auto& write : Written({"a\xFF" "b", "c\xE2\x82"})) all += write;
  EXPECT_EQ(all.substr(0, 4), L"a\uFFFDbc");
  EXPECT_GT(all.size(), 4u) << "the dangling bytes are shown, not dropped";
}

TEST(Utf16Buffer, LongTextIsPassedOnWithoutAFlushAndCutNowhere) {
  const auto writes = Written(std::vector<std::string>(10000, "Gr\xC3\xBC\xC3\x9F" "e\n"), false);
  EXPECT_GT(writes.size(), 1u) << "held back until the end";
  std::wstring all;
  for (const auto& write : writes) all += write;
  EXPECT_EQ(all.size(), 60000u);
  EXPECT_EQ(all.find(L'\uFFFD'), std::wstring::npos);
}

}  // namespace
}  // namespace quorvane::cli
