// The console stream: UTF-8 from the portable code reaches the console as
// UTF-16, also when a flush falls inside a character.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "cli/windows/Utf16Console.h"

namespace quorvane::cli {
namespace {

struct Captured {
  std::vector<std::wstring> writes;
  std::wstring All() const {
    std::wstring all;
    for (const auto& w : writes) all += w;
    return all;
  }
};

TEST(Utf16Buffer, CharactersCutByAFlushArriveWhole) {
  Captured seen;
  {
    Utf16Buffer buffer([&](std::wstring_view text) { seen.writes.emplace_back(text); });
    std::ostream out(&buffer);
    out << "M\xC3" << std::flush;               // first byte of ä
    out << "\xA4rz \xE6\x97" << std::flush;      // 日 cut after two of three bytes
    out << "\xA5 \xF0\x9F\x93" << std::flush;    // U+1F4C4 cut after three of four
    out << "\x84\n" << std::flush;
  }
  ASSERT_EQ(seen.writes.size(), 4u);
  EXPECT_EQ(seen.writes[0], L"M");
  EXPECT_EQ(seen.writes[1], L"\u00e4rz ");
  EXPECT_EQ(seen.writes[2], L"\u65e5 ");
  EXPECT_EQ(seen.writes[3], L"\U0001F4C4\n");
}

TEST(Utf16Buffer, BrokenBytesNeitherStallNorVanish) {
  Captured seen;
  {
    Utf16Buffer buffer([&](std::wstring_view text) { seen.writes.emplace_back(text); });
    std::ostream out(&buffer);
    out << "a\xFF" "b" << std::flush;  // not UTF-8 at all
    out << "c\xE2\x82" << std::flush;  // a cut sequence that never ends...
  }                                     // ...comes out when the stream goes
  EXPECT_EQ(seen.All().substr(0, 4), L"a\uFFFDbc");
  EXPECT_GT(seen.All().size(), 4u) << "the dangling bytes are shown, not dropped";
}

TEST(Utf16Buffer, LongTextIsPassedOnWithoutAFlush) {
  Captured seen;
  Utf16Buffer buffer([&](std::wstring_view text) { seen.writes.emplace_back(text); });
  std::ostream out(&buffer);
  const std::string line = "Gr\xC3\xBC\xC3\x9F" "e\n";  // 8 bytes, 6 characters
  for (int i = 0; i < 10000; ++i) out << line;
  EXPECT_FALSE(seen.writes.empty());
  out << std::flush;
  std::wstring expected;
  for (int i = 0; i < 10000; ++i) expected += L"Gr\u00fc\u00dfe\n";
  EXPECT_EQ(seen.All(), expected);
}

}  // namespace
}  // namespace quorvane::cli
