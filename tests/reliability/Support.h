#pragma once
// What the reliability tests share: the program, a linked workbook and the
// check that a result is whole.

#include <string>

#include "ooxml/Workbook.h"
#include "support/Process.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::reliability {

using namespace quorvane::tests;

inline const std::string kCli = QUORVANE_CLI;

// Two book links (cells, a name), 1 to 2 KiB; with `kib`, about that many
// KiB more of linked formulas that deflate cannot shrink much.
inline testing::WorkbookBuilder LinkedBook(int kib = 0) {
  std::string rows = R"(<row r="1"><c r="A1"><f>[1]S!A1*2</f><v>8</v></c>)"
                     R"(<c r="B1"><f>[2]S!B2</f><v>5</v></c></row>)";
  std::uint64_t x = 88172645463325252ull;
  for (int r = 2; static_cast<int>(rows.size()) < kib * 1024 * 3; ++r) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\"><f>[1]S!A1*" +
            std::to_string(x % 1000003) + "</f><v>" + std::to_string(x) + "</v></c></row>";
  }
  testing::WorkbookBuilder b;
  b.AddBookLink({"One.xlsx", {"S"}, R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>4</v></cell></row></sheetData>)"});
  b.AddBookLink({"sub/Two.xlsx", {"S"}, ""});
  b.AddSheet("Main", rows);
  b.AddName("Rate", "[1]S!$A$1");
  return b;
}

// Why the file does not open with the engine free of book links; "" when it does.
inline std::string LinksLeft(const fs::path& path) {
  try {
    const auto left = ooxml::Workbook::Open(path).BookSources().size();
    return left == 0 ? "" : std::to_string(left) + " book links left";
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace quorvane::reliability
