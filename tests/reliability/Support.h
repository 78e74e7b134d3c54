#pragma once
// What the reliability tests share: the program, the workbooks they work on
// and the check that a result is whole.

#include <string>
#include <vector>

#include "ooxml/Workbook.h"
#include "support/Process.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::reliability {

using namespace quorvane::tests;

inline const std::string kCli = QUORVANE_CLI;

// The generator's preset (seed 7) with shape options on top (e.g. "--rows",
// "5000"), made once into the build's cache folder; empty when the
// generator is not built.
inline fs::path CachedWorkbook(const std::string& preset, const std::vector<std::string>& shape = {}) {
#ifdef QUORVANE_GENERATE
  std::string key = preset + "-7";
  for (const auto& option : shape) key += "-" + option.substr(option.find_first_not_of('-'));
  const fs::path file = fs::path(QUORVANE_RELIABILITY_CACHE) / (key + ".xlsx");
  if (fs::exists(file)) return file;
  // Test programs run in parallel: each generates privately, the first
  // rename wins and all get the same bytes.
  const fs::path own = fs::path(QUORVANE_RELIABILITY_CACHE) / ("gen." + std::to_string(::getpid()));
  fs::create_directories(own);
  std::vector<std::string> argv{QUORVANE_GENERATE, "--preset", preset, "--seed", "7", "--out", own.string()};
  argv.insert(argv.end(), shape.begin(), shape.end());
  std::error_code ec;
  if (RunProgram(argv, own, {.deadline = std::chrono::minutes(5)}).exit == 0) fs::rename(own / (preset + ".xlsx"), file, ec);
  fs::remove_all(own, ec);
  return fs::exists(file) ? file : fs::path();
#else
  (void)preset, (void)shape;
  return {};
#endif
}

// A small workbook with two book links (cells, a name), 1 to 2 KiB.
inline testing::WorkbookBuilder LinkedBook() {
  testing::WorkbookBuilder b;
  b.AddBookLink({"One.xlsx", {"S"}, R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>4</v></cell></row></sheetData>)"});
  b.AddBookLink({"sub/Two.xlsx", {"S"}, ""});
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1*2</f><v>8</v></c><c r="B1"><f>[2]S!B2</f><v>5</v></c>)"
                     R"(<c r="C1"><f>A1+B1</f><v>13</v></c></row>)");
  b.AddName("Rate", "[1]S!$A$1");
  return b;
}
inline void WriteLinkedWorkbook(const fs::path& path) { LinkedBook().Write(path); }

// True when the file opens with the engine and has no book links.
inline bool OpensWithoutBookLinks(const fs::path& path, std::string* why = nullptr) {
  try {
    const auto left = ooxml::Workbook::Open(path).BookSources().size();
    if (left > 0 && why) *why = std::to_string(left) + " book links left";
    return left == 0;
  } catch (const std::exception& e) {
    if (why) *why = e.what();
    return false;
  }
}

}  // namespace quorvane::reliability
