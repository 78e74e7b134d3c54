// --engine excel as quorvane-cli.exe wires it (COM per worker thread, the
// program's per-workbook sequence), run in-process against the test
// automation class: that class is registered in this process only, so a
// separate quorvane-cli.exe could not create it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "FakeExcelServer.h"
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield
#include "cli/Cli.h"
#include "cli/Json.h"
#include "cli/windows/ThreadExcel.h"
#include "support/WorkbookBuilder.h"
#include "win32/Strings.h"
#include "win32/DirectoryListing.h"
#include "win32/FileCopier.h"
#include "win32/RegionalClock.h"

namespace quorvane::testing {
namespace {

std::size_t Position(const std::vector<std::string>& journal, const std::string& entry, std::size_t from = 0) {
  return static_cast<std::size_t>(std::find(journal.begin() + static_cast<std::ptrdiff_t>(from), journal.end(), entry) -
                                  journal.begin());
}

class CliExcelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ProgIdMapsToFake())
      GTEST_SKIP() << "Excel.Application is not mapped to the test class (run through scripts/test-windows)";
    ASSERT_TRUE(SUCCEEDED(registration_.Result()));
    FakeExcel() = FakeExcelState{};
  }
  void TearDown() override { EXPECT_EQ(FakeExcel().liveObjects, 0) << "a COM reference was leaked"; }

  int Run(std::vector<const char*> args) {
    args.insert(args.begin(), "quorvane-cli");
    cli::Environment env{
        .out = out_,
        .err = err_,
        .copier = copier_,
        .clock = clock_,
        .listing = listing_,
        .errIsTerminal = false,
        .builtin = [] { return std::unique_ptr<base::ExcelAutomation>(); },
        .excel = cli::ComExcelFactory(),
    };
    return cli::RunCli(static_cast<int>(args.size()), args.data(), env);
  }

  FakeExcelRegistration registration_;
  win32::Win32FileCopier copier_;
  win32::Win32RegionalClock clock_;
  win32::Win32DirectoryListing listing_;
  std::ostringstream out_, err_;
};

TEST_F(CliExcelTest, EachWorkbookGetsItsOwnInstanceOneAfterAnother) {
  FakeExcel().linkSources = {L"C:\\Quellen\\\u00DCbersicht.xlsx", L"D:\\b.xls"};
  ASSERT_EQ(Run({"--engine", "excel", "--jobs", "4", "--json", "C:\\Mappen\\M\u00e4rz.xlsx", "C:\\Mappen\\April.xlsx"}),
            0)
      << err_.str();
  EXPECT_EQ(FakeExcel().created, 2);

  const auto& journal = FakeExcel().journal;
  const std::size_t firstOpen = Position(journal, "Workbooks.Open(C:\\Mappen\\M\u00e4rz.xlsx&)");
  const std::size_t firstQuit = Position(journal, "Application.Quit()", firstOpen);
  const std::size_t secondOpen = Position(journal, "Workbooks.Open(C:\\Mappen\\April.xlsx&)");
  ASSERT_LT(firstQuit, journal.size());
  ASSERT_LT(secondOpen, journal.size());
  EXPECT_LT(firstQuit, secondOpen) << "Excel takes one workbook at a time, whatever --jobs says";
  EXPECT_LT(Position(journal, "Workbook.BreakLink(name=C:\\Quellen\\\u00DCbersicht.xlsx&, Type=1)", secondOpen),
            journal.size());

  const Json report = Json::Parse(out_.str());
  EXPECT_EQ(report.At("workbooks[0].status").Text(), "changed");
  EXPECT_EQ(report.At("workbooks[0].sources[0].name").Text(), "C:\\Quellen\\\u00DCbersicht.xlsx");
  EXPECT_EQ(report.At("workbooks[1].sources[1].name").Text(), "D:\\b.xls");
  EXPECT_EQ(report.At("summary.changed").Text(), "2");
}

TEST_F(CliExcelTest, AFailingCallFailsThatWorkbookWithExcelsReasonAndTheRunGoesOn) {
  FakeExcel().linkSources = {L"C:\\a.xlsx"};
  FakeExcel().faults = {{.step = "Save", .description = L"Die Datei ist schreibgesch\u00fctzt.", .nth = 0}};
  EXPECT_EQ(Run({"--engine", "excel", "C:\\x\\eins.xlsx", "C:\\x\\zwei.xlsx"}), 1);
  EXPECT_EQ(FakeExcel().created, 2);
  const std::string text = out_.str();
  EXPECT_NE(text.find("failed: C:\\x\\eins.xlsx: "), std::string::npos) << text;
  EXPECT_NE(text.find("failed: C:\\x\\zwei.xlsx: "), std::string::npos) << text;
  EXPECT_NE(text.find("schreibgesch\u00fctzt"), std::string::npos) << text;
  EXPECT_NE(text.find("2 workbooks: 0 changed, 0 without links, 2 failed"), std::string::npos) << text;
  EXPECT_EQ(FakeExcel().LiveInstances(), 0) << "each failed instance is still ended";
}

// The window's safeguards hold for the command line too: a workbook Excel
// would ask about is never handed to it, no macro runs, and a call that
// does not come back within --excel-timeout ends its instance.
TEST_F(CliExcelTest, SafeguardsOfTheWindowHoldForTheCommandLine) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / L"quorvane-cli-excel";
  std::filesystem::create_directories(folder);
  WorkbookBuilder book;
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><v>1</v></c></row>)");
  auto parts = book.Parts();
  std::string& workbook = parts["xl/workbook.xml"];
  workbook.insert(workbook.find("<sheets>"), R"(<fileSharing userName="Tester" reservationPassword="CC3D"/>)");
  const std::filesystem::path reserved = folder / L"Geschützt.xlsx";
  WritePackage(reserved, parts);
  const std::string reservedPath = win32::Narrow(reserved.wstring());

  FakeExcel().separateProcesses = true;
  FakeExcel().linkSources = {L"C:\\a.xlsx"};
  FakeExcel().faults = {{.step = "Open", .kind = FaultKind::Block}};
  EXPECT_EQ(Run({"--engine", "excel", "--excel-timeout", "2", reservedPath.c_str(), "C:\\x\\eins.xlsx",
                 "C:\\x\\zwei.xlsx"}),
            1);
  std::filesystem::remove_all(folder);
  const std::string text = out_.str();
  EXPECT_NE(text.find("failed: " + reservedPath + ": has a password to modify: not opened\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("failed: C:\\x\\eins.xlsx: Open: Excel did not answer within 2 s; its instance was ended\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("changed: C:\\x\\zwei.xlsx"), std::string::npos) << text;
  EXPECT_EQ(FakeExcel().created, 2);
  for (const FakeInstance& instance : FakeExcel().instances) EXPECT_EQ(instance.macrosRun, 0);
  EXPECT_EQ(FakeExcel().LiveInstances(), 0);
}

}  // namespace
}  // namespace quorvane::testing
