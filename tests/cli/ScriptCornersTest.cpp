// Rules and a totals row into another book, written the way a Python script
// writes them with openpyxl: the script loads a linked workbook and saves it
// again (openpyxl keeps the link part and its cache), quorvane-cli breaks it.
// Skipped where Debian's python3-openpyxl is missing unless the environment
// demands it (QUORVANE_REQUIRE_SCRIPT_WRITERS, set by scripts/test).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Process.h"
#include "support/WorkbookBuilder.h"

namespace fs = std::filesystem;
using quorvane::testing::ProcessOutcome;
using quorvane::testing::RunProcess;

namespace {

// Debian's modules are installed for its own interpreter, whatever else PATH holds.
constexpr const char* kPython = "/usr/bin/python3";

constexpr const char* kScript = R"(import sys
import openpyxl
from openpyxl.formatting.rule import ColorScaleRule, FormulaRule
from openpyxl.styles import PatternFill
from openpyxl.worksheet.datavalidation import DataValidation
from openpyxl.worksheet.table import Table, TableColumn, TableFormula

wb = openpyxl.load_workbook(sys.argv[1])
ws = wb["Main"]
for row in (["Region", "Amount"], ["north", 4], ["Total", "=SUBTOTAL(109,Sales[Amount])*[1]Data!$A$1"]):
    ws.append(row)
table = Table(displayName="Sales", ref="A2:B4", totalsRowCount=1)
table.tableColumns = [
    TableColumn(id=1, name="Region", totalsRowLabel="Total"),
    TableColumn(id=2, name="Amount", totalsRowFunction="custom",
                totalsRowFormula=TableFormula(attr_text="SUBTOTAL(109,Sales[Amount])*[1]Data!$A$1")),
]
ws.add_table(table)
ws.conditional_formatting.add("A1:D1", FormulaRule(formula=["A1>[1]Data!$A$2"], fill=PatternFill(bgColor="FFFF0000")))
ws.conditional_formatting.add("B3", ColorScaleRule(start_type="formula", start_value="[1]Data!$A$2", end_type="max",
                                                   start_color="FFF8696B", end_color="FF63BE7B"))
limit = DataValidation(type="decimal", operator="between", formula1="0", formula2="[1]Data!$A$1")
limit.add("D1")
ws.add_data_validation(limit)
wb.save(sys.argv[1])
)";

TEST(ScriptCorners, OpenpyxlRulesAndTotalsKeepTheirValues) {
  std::string pattern = (fs::temp_directory_path() / "quorvane-openpyxl-XXXXXX").string();
  const fs::path dir = ::mkdtemp(pattern.data());
  if (::access(kPython, X_OK) != 0 || RunProcess({kPython, "-c", "import openpyxl"}, dir, dir / "probe").exit != 0) {
    fs::remove_all(dir);
    if (std::getenv("QUORVANE_REQUIRE_SCRIPT_WRITERS")) FAIL() << "python3-openpyxl is not installed";
    GTEST_SKIP() << "python3-openpyxl is not installed";
  }
  const fs::path book = dir / "book.xlsx";
  quorvane::testing::WorkbookBuilder b;
  b.AddBookLink({"Source.xlsx", {"Data"},
                 R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>10</v></cell></row>)"
                 R"(<row r="2"><cell r="A2"><v>5</v></cell></row></sheetData>)"});
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]Data!A1</f><v>10</v></c><c r="D1"><v>7</v></c></row>)");
  b.Write(book);
  std::ofstream(dir / "script.py") << kScript;
  const ProcessOutcome script = RunProcess({kPython, (dir / "script.py").string(), book.string()}, dir, dir / "py");
  ASSERT_EQ(script.exit, 0) << script.err;

  const ProcessOutcome cli = RunProcess({QUORVANE_CLI, book.string()}, dir, dir / "cli");
  ASSERT_EQ(cli.exit, 0) << cli.out << cli.err;
  const auto parts = quorvane::testing::ReadPackage(book);
  const std::string& sheet = parts.at("xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<formula>A1&gt;5</formula>"), std::string::npos) << sheet;
  EXPECT_NE(sheet.find(R"(<cfvo type="formula" val="5"/>)"), std::string::npos) << sheet;
  EXPECT_NE(sheet.find("<formula2>10</formula2>"), std::string::npos) << sheet;
  EXPECT_NE(parts.at("xl/tables/table1.xml").find(R"(<tableColumn id="2" name="Amount"></tableColumn>)"),
            std::string::npos)
      << parts.at("xl/tables/table1.xml");
  for (const auto& [name, text] : parts) {
    EXPECT_EQ(name.find("externalLink"), std::string::npos) << name;
    EXPECT_EQ(text.find("[1]"), std::string::npos) << name;
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
