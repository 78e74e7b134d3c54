#include "Workbooks.h"

#include <unistd.h>

#include <exception>
#include <mutex>
#include <system_error>

#include "Child.h"
#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::reliability {

std::filesystem::path CachedWorkbook(const std::string& preset, const std::vector<std::string>& shape) {
#ifdef QUORVANE_GENERATE
  const fs::path cache = QUORVANE_RELIABILITY_CACHE;
  std::string key = preset + "-7";
  for (const auto& option : shape) key += (option.starts_with("--") ? "" : "-") + option.substr(option.find_first_not_of('-'));
  const fs::path file = cache / (key + ".xlsx");
  if (fs::exists(file)) return file;
  // Test processes run in parallel: each generates privately, the first
  // rename wins and all get the same bytes.
  const fs::path own = cache / ("gen." + std::to_string(::getpid()));
  fs::create_directories(own);
  std::vector<std::string> argv{QUORVANE_GENERATE, "--preset", preset, "--seed", "7", "--out", own.string()};
  argv.insert(argv.end(), shape.begin(), shape.end());
  const ChildResult made = RunProgram(argv, Deadline(std::chrono::minutes(5)), own);
  std::error_code ec;
  if (made.exit == 0) fs::rename(own / (preset + ".xlsx"), file, ec);
  fs::remove_all(own, ec);
  return fs::exists(file) ? file : fs::path();
#else
  (void)preset;
  (void)shape;
  return {};
#endif
}

namespace {

testing::WorkbookBuilder LinkedBuilder() {
  testing::BookLink one, two;
  one.target = "One.xlsx";
  one.sheetNames = {"S"};
  one.sheetDataSet = R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>4</v></cell></row></sheetData>)";
  two.target = "sub/Two.xlsx";
  two.sheetNames = {"S"};
  testing::WorkbookBuilder b;
  b.AddBookLink(one).AddBookLink(two);
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1*2</f><v>8</v></c><c r="B1"><f>[2]S!B2</f><v>5</v></c>)"
                     R"(<c r="C1"><f>A1+B1</f><v>13</v></c></row>)");
  b.AddName("Rate", "[1]S!$A$1");
  return b;
}

}  // namespace

void WriteLinkedWorkbook(const std::filesystem::path& path) { LinkedBuilder().Write(path); }

std::map<std::string, std::string> LinkedWorkbookParts() { return LinkedBuilder().Parts(); }

bool OpensWithoutBookLinks(const std::filesystem::path& path, std::string* why) {
  try {
    const auto book = ooxml::Workbook::Open(path);
    if (!book.BookSources().empty()) {
      if (why) *why = std::to_string(book.BookSources().size()) + " book links left";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    if (why) *why = e.what();
    return false;
  }
}

std::string CliPath() { return QUORVANE_CLI; }

}  // namespace quorvane::reliability
