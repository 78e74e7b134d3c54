// --engine excel as quorvane-cli.exe wires it (COM per worker thread), run
// in-process against the test automation class: that class is registered in
// this process only, so a separate quorvane-cli.exe could not create it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "FakeExcelServer.h"
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield
#include "cli/Cli.h"
#include "cli/windows/ThreadExcel.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/DirectoryListing.h"
#include "win32/FileCopier.h"
#include "win32/RegionalClock.h"
#include "win32/Strings.h"

namespace quorvane::testing {
namespace {

class CliExcelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ProgIdMapsToFake())
      GTEST_SKIP() << "Excel.Application is not mapped to the test class (run through scripts/test-windows)";
    ASSERT_TRUE(SUCCEEDED(registration_.Result()));
    FakeExcel() = FakeExcelState{};
  }
  void TearDown() override {
    EXPECT_EQ(FakeExcel().liveObjects, 0) << "a COM reference was leaked";
    EXPECT_EQ(FakeExcel().LiveInstances(), 0) << "an instance is still running";
  }

  int Run(std::vector<const char*> args) {
    args.insert(args.begin(), "quorvane-cli");
    return cli::RunCli(static_cast<int>(args.size()), args.data(),
                       {.out = out_, .err = err_, .copier = copier_, .clock = clock_, .listing = listing_,
                        .builtin = [] { return std::unique_ptr<base::ExcelAutomation>(); },
                        .excel = cli::ComExcelFactory()});
  }

  FakeExcelRegistration registration_;
  win32::Win32FileCopier copier_;
  win32::Win32RegionalClock clock_;
  win32::Win32DirectoryListing listing_;
  std::ostringstream out_, err_;
};

// That Excel takes one workbook at a time whatever --jobs says is the
// portable part's (tests/cli/RunCliTest); here the COM wiring per thread:
// each workbook its own instance, its sources and Excel's reason as UTF-8.
TEST_F(CliExcelTest, EachWorkbookGetsItsOwnInstanceAndExcelsWordsComeBackAsUtf8) {
  FakeExcel().linkSources = {L"C:\\Quellen\\\u00DCbersicht.xlsx", L"D:\\b.xls"};
  FakeExcel().faults = {{.step = "Save", .description = L"Die Datei ist schreibgesch\u00fctzt.", .nth = 2}};
  EXPECT_EQ(Run({"--engine", "excel", "--jobs", "4", "--json", "C:\\Mappen\\M\u00e4rz.xlsx", "C:\\Mappen\\April.xlsx"}), 1)
      << err_.str();
  EXPECT_EQ(FakeExcel().created, 2);
  const nlohmann::json report = nlohmann::json::parse(out_.str());
  EXPECT_EQ(report.at("workbooks").at(0).at("status"), "changed");
  EXPECT_EQ(report.at("workbooks").at(0).at("sources").at(0).at("name"), "C:\\Quellen\\\u00DCbersicht.xlsx");
  EXPECT_EQ(report.at("workbooks").at(0).at("sources").at(1).at("name"), "D:\\b.xls");
  EXPECT_EQ(report.at("workbooks").at(1).at("status"), "failed");
  EXPECT_NE(report.at("workbooks").at(1).at("reason").get<std::string>().find("schreibgesch\u00fctzt"), std::string::npos)
      << out_.str();
}

// The window's safeguards hold for the command line too: a workbook Excel
// would ask about is never handed to it, no macro runs, and a call that
// does not come back within --excel-timeout ends its instance.
TEST_F(CliExcelTest, SafeguardsOfTheWindowHoldForTheCommandLine) {
  tests::ScratchDir folder("cli-excel");
  WorkbookBuilder book;
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><v>1</v></c></row>)");
  auto parts = book.Parts();
  std::string& workbook = parts["xl/workbook.xml"];
  workbook.insert(workbook.find("<sheets>"), R"(<fileSharing userName="Tester" reservationPassword="CC3D"/>)");
  const std::string reserved = win32::Narrow((folder / L"Geschützt.xlsx").wstring());
  WritePackage(folder / L"Geschützt.xlsx", parts);

  FakeExcel().separateProcesses = true;
  FakeExcel().linkSources = {L"C:\\a.xlsx"};
  FakeExcel().faults = {{.step = "Open", .kind = FaultKind::Block}};
  EXPECT_EQ(Run({"--engine", "excel", "--excel-timeout", "2", reserved.c_str(), "C:\\x\\eins.xlsx", "C:\\x\\zwei.xlsx"}), 1);
  const std::string text = out_.str();
  EXPECT_NE(text.find("failed: " + reserved + ": has a password to modify: not opened\n"), std::string::npos) << text;
  EXPECT_NE(text.find("failed: C:\\x\\eins.xlsx: Open: Excel did not answer within 2 s; its instance was ended\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("changed: C:\\x\\zwei.xlsx"), std::string::npos) << text;
  EXPECT_EQ(FakeExcel().created, 2);
  for (const FakeInstance& instance : FakeExcel().instances) EXPECT_EQ(instance.macrosRun, 0);
}

}  // namespace
}  // namespace quorvane::testing
