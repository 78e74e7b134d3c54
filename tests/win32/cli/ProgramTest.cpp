// quorvane-cli.exe started as a separate process, as a user or script would,
// on workbooks in a folder whose name is not ASCII: the arguments arrive as
// UTF-16, the paths must survive to the engine and back out on a pipe as
// UTF-8, and the folder walk is the Win32 one.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "base/Utf8Path.h"
#include "cli/Json.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;

std::string U8(const fs::path& path) { return base::ToUtf8(path); }

// A workbook whose row 1 takes one value from each of `targets`.
void WriteLinked(const fs::path& path, const std::vector<std::string>& targets) {
  WorkbookBuilder book;
  std::string row = "<row r=\"1\">";
  for (std::size_t k = 0; k < targets.size(); ++k) {
    BookLink link;
    link.target = targets[k];
    link.sheetNames = {"Sheet1"};
    link.sheetDataSet = "<sheetData sheetId=\"0\"><row r=\"1\"><cell r=\"A1\"><v>3</v></cell></row></sheetData>";
    book.AddBookLink(link);
    const char column = static_cast<char>('A' + k);
    row += std::string("<c r=\"") + column + "1\"><f>[" + std::to_string(k + 1) + "]Sheet1!A1</f><v>3</v></c>";
  }
  row += "</row>";
  book.AddSheet("Sheet1", row);
  book.Write(path);
}

bool HasLinkParts(const fs::path& path) {
  for (const auto& [name, data] : ReadPackage(path)) {
    if (name.rfind("xl/externalLinks/", 0) == 0) return true;
  }
  return false;
}

class CliProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = OwnFolder() + L"\\quorvane-cli.exe";
    ASSERT_TRUE(fs::exists(program_)) << "quorvane-cli.exe is copied beside the tests by the build";
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    root_ = fs::path(temp) / (L"qv-cli-" + std::to_wstring(::GetCurrentProcessId()));
    folder_ = root_ / L"Mappen Grüße 日本";
    fs::remove_all(root_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  ChildOutcome Run(const std::vector<std::wstring>& arguments) { return RunChild(program_, arguments); }

  std::wstring program_;
  fs::path root_;
  fs::path folder_;
};

TEST_F(CliProgramTest, ListWalksTheFolderByTheProgramsRulesAndReportsUtf8) {
  const fs::path linked = folder_ / L"Bücher.xlsx";
  WriteLinked(linked, {"Übersicht.xlsx", "file:///C:/Daten/Zahlen%20€.xlsx"});
  WriteLinked(folder_ / L"Ohne Links.xlsx", {});
  fs::create_directories(folder_ / L"Unter ñ");
  WriteLinked(folder_ / L"Unter ñ" / L"Tief.xlsm", {"Bücher.xlsx"});
  WriteLinked(folder_ / L"~$Bücher.xlsx", {"x.xlsx"});  // Excel's lock file
  WriteLinked(folder_ / L"notes.txt", {"x.xlsx"});
  const fs::path hidden = folder_ / L".Versteckt";
  fs::create_directories(hidden);
  WriteLinked(hidden / L"Innen.xlsx", {"x.xlsx"});
  ::SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
  ASSERT_NE(::GetFileAttributesW(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

  const ChildOutcome outcome = Run({L"--list", L"--json", folder_.wstring()});
  ASSERT_EQ(outcome.exitCode, 0u) << outcome.err;
  const Json report = Json::Parse(outcome.out);

  std::set<std::string> paths;
  for (const Json& book : report.At("workbooks").AsArray()) paths.insert(book.At("path").Text());
  EXPECT_EQ(paths, (std::set<std::string>{U8(linked), U8(folder_ / L"Ohne Links.xlsx"),
                                          U8(folder_ / L"Unter ñ" / L"Tief.xlsm")}));
  for (const Json& book : report.At("workbooks").AsArray()) {
    if (book.At("path").Text() != U8(linked)) continue;
    EXPECT_EQ(book.At("status").Text(), "linked");
    // A relative target is resolved against the workbook's own folder.
    EXPECT_EQ(book.At("sources[0].name").Text(), U8(folder_ / L"Übersicht.xlsx"));
    EXPECT_EQ(book.At("sources[0].cells").Text(), "1");
    // The URL is decoded; the separator is the engine's choice.
    std::string url = book.At("sources[1].name").Text();
    std::replace(url.begin(), url.end(), '/', '\\');
    EXPECT_EQ(url, "C:\\Daten\\Zahlen €.xlsx");
  }
  EXPECT_EQ(report.At("summary.linked").Text(), "2");
  EXPECT_EQ(report.At("summary.unchanged").Text(), "1");
  EXPECT_TRUE(HasLinkParts(linked)) << "--list changes nothing";
}

TEST_F(CliProgramTest, BreakWithBackupKeepsTheOriginalBesideTheChangedWorkbook) {
  const fs::path book = folder_ / L"März.xlsx";
  WriteLinked(book, {"Quelle.xlsx"});
  const std::string before = ReadFileBytes(book);

  const ChildOutcome outcome = Run({L"--backup", book.wstring()});
  ASSERT_EQ(outcome.exitCode, 0u) << outcome.out << outcome.err;
  EXPECT_FALSE(HasLinkParts(book));
  const std::string sheet = ReadPackage(book).at("xl/worksheets/sheet1.xml");
  EXPECT_EQ(sheet.find("<f>"), std::string::npos);
  EXPECT_NE(sheet.find("<v>3</v>"), std::string::npos) << "the value shown stays";

  std::vector<fs::path> backups;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    if (entry.path() != book) backups.push_back(entry.path());
  }
  ASSERT_EQ(backups.size(), 1u);
  const std::wstring name = backups[0].filename().wstring();
  EXPECT_EQ(name.rfind(L"März Backup ", 0), 0u) << U8(backups[0]);
  EXPECT_EQ(backups[0].extension(), L".xlsx");
  EXPECT_EQ(ReadFileBytes(backups[0]), before);

  // The pipe carries UTF-8, whatever the console's code page.
  EXPECT_NE(outcome.out.find("changed: " + U8(book) + ": 1 link broken\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("  backup: " + U8(backups[0]) + "\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("1 workbook: 1 changed, 0 without links, 0 failed\n"), std::string::npos);
}

TEST_F(CliProgramTest, ExitStatusSeparatesBadUsageFromFailedWorkbooks) {
  const fs::path broken = folder_ / L"Kaputt ä.xlsx";
  {
    std::ofstream(broken, std::ios::binary) << "not a zip package";
  }
  const fs::path good = folder_ / L"Gut ö.xlsx";
  WriteLinked(good, {"Quelle.xlsx"});
  const fs::path missing = folder_ / L"Fehlt ü.xlsx";

  const ChildOutcome mixed = Run({L"--json", broken.wstring(), good.wstring(), missing.wstring()});
  EXPECT_EQ(mixed.exitCode, 1u) << mixed.err;
  const Json report = Json::Parse(mixed.out);
  EXPECT_EQ(report.At("workbooks[0].path").Text(), U8(broken));
  EXPECT_EQ(report.At("workbooks[0].status").Text(), "failed");
  EXPECT_FALSE(report.At("workbooks[0].reason").Text().empty());
  EXPECT_EQ(report.At("workbooks[1].status").Text(), "changed") << "one failure does not stop the run";
  EXPECT_EQ(report.At("workbooks[2].path").Text(), U8(missing));
  EXPECT_EQ(report.At("workbooks[2].status").Text(), "failed");
  EXPECT_EQ(ReadFileBytes(broken), "not a zip package");
  EXPECT_FALSE(HasLinkParts(good));

  for (const std::vector<std::wstring>& usage : std::vector<std::vector<std::wstring>>{
           {}, {L"--jobs", L"0", good.wstring()}, {L"--engine", L"both", good.wstring()},
           {L"--backup", L"--list", good.wstring()}, {L"--no-such-option", good.wstring()}}) {
    const ChildOutcome outcome = Run(usage);
    EXPECT_EQ(outcome.exitCode, 2u) << outcome.err;
    EXPECT_FALSE(outcome.err.empty());
    EXPECT_LE(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 2) << outcome.err;
  }
  const ChildOutcome help = Run({L"--help"});
  EXPECT_EQ(help.exitCode, 0u);
  EXPECT_NE(help.out.find("--engine"), std::string::npos);
}

TEST_F(CliProgramTest, PathsThatLookLikeWindowsOptionsAreStillPaths) {
  // "/list" would be an option if slash options were on.
  const ChildOutcome outcome = Run({L"--list", L"/list"});
  EXPECT_EQ(outcome.exitCode, 1u) << outcome.err;
  EXPECT_NE(outcome.out.find("failed: /list: "), std::string::npos) << outcome.out;
}

TEST_F(CliProgramTest, ExcelThatCannotBeCreatedFailsAndLeavesTheWorkbookAlone) {
  // No Excel in this prefix: at most the ProgID is mapped to the test class,
  // which only the in-process tests register.
  const fs::path book = folder_ / L"Jänner.xlsx";
  WriteLinked(book, {"Quelle.xlsx"});
  const std::string before = ReadFileBytes(book);
  const ChildOutcome outcome = Run({L"--engine", L"excel", book.wstring()});
  EXPECT_EQ(outcome.exitCode, 1u);
  EXPECT_NE((outcome.out + outcome.err).find("Excel.Application"), std::string::npos) << outcome.out << outcome.err;
  EXPECT_EQ(ReadFileBytes(book), before);
}

}  // namespace
}  // namespace quorvane::testing
