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

// That Excel takes one workbook at a time whatever --jobs says is the
// portable part's (tests/cli/RunCliTest); here the COM wiring per thread:
// each workbook its own instance, its sources as UTF-8, and the window's
// safeguards: a workbook Excel would ask about is never handed to it, no
// macro runs, and a call that does not come back within --excel-timeout
// ends its instance.
TEST_F(FakeExcelTest, TheCommandLinesExcelEngineKeepsTheWindowsSafeguardsAndReportsInUtf8) {
  tests::ScratchDir folder("cli-excel");
  WorkbookBuilder book;
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><v>1</v></c></row>)");
  auto parts = book.Parts();
  std::string& workbook = parts["xl/workbook.xml"];
  workbook.insert(workbook.find("<sheets>"), R"(<fileSharing userName="Tester" reservationPassword="CC3D"/>)");
  const std::string reserved = win32::Narrow((folder / L"Geschützt.xlsx").wstring());
  WritePackage(folder / L"Geschützt.xlsx", parts);

  FakeExcel().separateProcesses = true;
  FakeExcel().linkSources = {L"C:\\Quellen\\\u00DCbersicht.xlsx", L"D:\\b.xls"};
  FakeExcel().faults = {{.step = "Open", .kind = FaultKind::Block}};
  const char* args[] = {"quorvane-cli", "--engine", "excel", "--jobs", "4", "--excel-timeout", "2", "--json",
                        reserved.c_str(), "C:\\x\\eins.xlsx", "C:\\x\\M\u00e4rz.xlsx"};
  win32::Win32FileCopier copier;
  win32::Win32RegionalClock clock;
  win32::Win32DirectoryListing listing;
  std::ostringstream out, err;
  EXPECT_EQ(cli::RunCli(static_cast<int>(std::size(args)), args,
                        {.out = out, .err = err, .copier = copier, .clock = clock, .listing = listing,
                         .builtin = [] { return std::unique_ptr<base::ExcelAutomation>(); },
                         .excel = cli::ComExcelFactory()}),
            1)
      << err.str();

  const nlohmann::json books = nlohmann::json::parse(out.str()).at("workbooks");
  EXPECT_EQ(books.at(0).at("reason"), "has a password to modify: not opened");
  EXPECT_EQ(books.at(1).at("reason"), "Open: Excel did not answer within 2 s; its instance was ended");
  EXPECT_EQ(books.at(2).at("status"), "changed");
  EXPECT_EQ(books.at(2).at("sources").at(0).at("name"), "C:\\Quellen\\\u00DCbersicht.xlsx");
  EXPECT_EQ(FakeExcel().instances.size(), 2u);
  for (const FakeInstance& instance : FakeExcel().instances) {
    EXPECT_EQ(instance.macrosRun, 0);
    EXPECT_TRUE(instance.process->EndsWithin(5000)) << "an instance is still running";
  }
}

}  // namespace
}  // namespace quorvane::testing
