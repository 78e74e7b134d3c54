// End to end with a real office suite: LibreOffice makes a workbook that
// links to another, quorvane-cli breaks the link, and LibreOffice reads the
// values back. Skipped where soffice is missing unless the environment
// demands it (QUORVANE_REQUIRE_LIBREOFFICE, set by scripts/test).

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>

#include "support/Process.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::tests {
namespace {

constexpr const char* kFodsHead =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:xlink="http://www.w3.org/1999/xlink"
 xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
<office:body><office:spreadsheet>
)";
constexpr const char* kFodsTail = "</office:spreadsheet></office:body></office:document>\n";

// The source's cells: a number, a text and another number.
constexpr const char* kSourceRows =
    R"(<table:table-row><table:table-cell office:value-type="float" office:value="10"><text:p>10</text:p></table:table-cell></table:table-row>
<table:table-row><table:table-cell office:value-type="string"><text:p>north</text:p></table:table-cell></table:table-row>
<table:table-row><table:table-cell office:value-type="float" office:value="2.5"><text:p>2.5</text:p></table:table-cell></table:table-row>
)";

std::string SourceFods() {
  return std::string(kFodsHead) + "<table:table table:name=\"Sheet1\">\n" + kSourceRows + "</table:table>\n" + kFodsTail;
}

// Formulas into the source, with LibreOffice's own cache of the linked
// sheet, so the conversion keeps the values instead of recalculating.
std::string DependentFods(const std::string& sourceUrl) {
  const std::string ref = "'" + sourceUrl + "'#$Sheet1";
  std::string body = "<table:table table:name=\"Sheet1\"><table:table-row>\n";
  body += "<table:table-cell table:formula=\"of:=[" + ref +
          ".A1]*2\" office:value-type=\"float\" office:value=\"20\"><text:p>20</text:p></table:table-cell>\n";
  body += "<table:table-cell table:formula=\"of:=[" + ref +
          ".A2]\" office:value-type=\"string\" office:string-value=\"north\"><text:p>north</text:p></table:table-cell>\n";
  body += "<table:table-cell table:formula=\"of:=SUM([" + ref +
          ".A1:.A3])\" office:value-type=\"float\" office:value=\"12.5\"><text:p>12.5</text:p></table:table-cell>\n";
  body += "<table:table-cell office:value-type=\"float\" office:value=\"7\"><text:p>7</text:p></table:table-cell>\n";
  body += "</table:table-row></table:table>\n";
  body += "<table:table table:name=\"'" + sourceUrl + "'#Sheet1\" table:print=\"false\">\n";
  body += "<table:table-source xlink:type=\"simple\" xlink:href=\"" + sourceUrl +
          "\" table:table-name=\"Sheet1\" table:mode=\"copy-results-only\"/>\n";
  body += std::string(kSourceRows) + "</table:table>\n";
  return std::string(kFodsHead) + body + kFodsTail;
}

bool HasExternalLinkPart(const fs::path& workbook) {
  for (const auto& entry : testing::PackageEntries(workbook))
    if (entry.find("externalLink") != std::string::npos) return true;
  return false;
}

class LibreOffice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (RunProgram({"sh", "-c", "command -v soffice && command -v pdftotext"}, capture_.Path()).exit == 0) return;
    if (std::getenv("QUORVANE_REQUIRE_LIBREOFFICE")) FAIL() << "soffice or pdftotext is not installed";
    GTEST_SKIP() << "soffice or pdftotext is not installed";
  }

  // soffice --convert-to with a throwaway profile, so no user setting and no
  // running office instance takes part.
  void Convert(const fs::path& input, const std::string& format, const fs::path& outdir) {
    fs::create_directories(outdir);
    const ChildResult outcome =
        RunProgram({"soffice", "-env:UserInstallation=file://" + (dir_ / "profile").string(), "--headless",
                    "--norestore", "--convert-to", format, "--outdir", outdir.string(), input.string()},
                   capture_.Path(), {.deadline = std::chrono::minutes(3)});
    ASSERT_EQ(outcome.exit, 0) << outcome.out << outcome.err;
  }
  // The cells as LibreOffice reads them.
  std::string Csv(const fs::path& book, const std::string& stage) {
    Convert(book, "csv", dir_ / stage);
    return ReadBytes(dir_ / stage / book.filename().replace_extension(".csv"));
  }

  // The program on the workbook; exit status 0 expected.
  void Break(const fs::path& book, const char* marker = nullptr) {
    const ChildResult cli = RunProgram({QUORVANE_CLI, "--json", book.string()}, capture_.Path());
    ASSERT_EQ(cli.exit, 0) << cli.out << cli.err;
    if (marker) { EXPECT_NE(cli.out.find(marker), std::string::npos) << cli.out; }
    ASSERT_FALSE(HasExternalLinkPart(book));
  }

  ScratchDir dir_{"lo"}, capture_{"capture"};
};

TEST_F(LibreOffice, BrokenLinksKeepTheValuesLibreOfficeShows) {
  WriteBytes(dir_ / "source.fods", SourceFods());
  ASSERT_NO_FATAL_FAILURE(Convert(dir_ / "source.fods", "xlsx", dir_.Path()));
  WriteBytes(dir_ / "dependent.fods", DependentFods("file://" + (dir_ / "source.xlsx").string()));
  ASSERT_NO_FATAL_FAILURE(Convert(dir_ / "dependent.fods", "xlsx", dir_.Path()));
  const fs::path dependent = dir_ / "dependent.xlsx";
  ASSERT_TRUE(HasExternalLinkPart(dependent)) << "LibreOffice wrote no link; the test proves nothing";
  const std::string before = Csv(dependent, "before");
  ASSERT_EQ(before, "20,north,12.5,7\n") << "LibreOffice's own reading of its workbook";
  // The source goes away: from now on only what the workbook itself holds
  // can give these values.
  fs::remove(dir_ / "source.xlsx");
  ASSERT_NO_FATAL_FAILURE(Break(dependent, "\"changed\""));
  EXPECT_EQ(Csv(dependent, "after"), before);
}

// A Strict package in the corners the engine edits rather than removes:
// rules with limits from the other book, a chart with a series filtered out
// of view and data labels read from cells. LibreOffice shows the same cells,
// and draws the same chart text, before and after.
std::string CornerChart() {
  const std::string c15 = R"(<c:ext uri="{02D57815-91ED-43cb-92C2-25804820EDAC}" )"
                          R"(xmlns:c15="http://schemas.microsoft.com/office/drawing/2012/chart">)";
  const std::string cats = R"(<c:cat><c:strRef><c:f>[1]Data!$C$1:$C$2</c:f><c:strCache><c:ptCount val="2"/>)"
                           R"(<c:pt idx="0"><c:v>Spring</c:v></c:pt><c:pt idx="1"><c:v>Autumn</c:v></c:pt></c:strCache>)"
                           R"(</c:strRef></c:cat>)";
  const std::string flags = R"(<c:showLegendKey val="0"/><c:showVal val="0"/><c:showCatName val="0"/>)"
                            R"(<c:showSerName val="0"/><c:showPercent val="0"/><c:showBubbleSize val="0"/>)";
  return R"(<c:chart><c:autoTitleDeleted val="1"/><c:plotArea><c:layout/><c:barChart><c:barDir val="col"/>)"
         R"(<c:grouping val="clustered"/><c:varyColors val="0"/><c:ser><c:idx val="0"/><c:order val="0"/>)"
         R"(<c:tx><c:strRef><c:f>[1]Data!$B$1</c:f><c:strCache><c:ptCount val="1"/><c:pt idx="0"><c:v>north</c:v>)"
         R"(</c:pt></c:strCache></c:strRef></c:tx><c:dLbls>)" + flags + "<c:extLst>" +
         R"(<c:ext uri="{CE6537A1-D6FC-4f65-9D91-7224C49458BB}" xmlns:c15="http://schemas.microsoft.com/office/drawing/2012/chart">)"
         R"(<c15:showDataLabelsRange val="1"/></c:ext></c:extLst></c:dLbls>)" + cats +
         R"(<c:val><c:numRef><c:f>[1]Data!$A$1:$A$2</c:f><c:numCache><c:formatCode>General</c:formatCode>)"
         R"(<c:ptCount val="2"/><c:pt idx="0"><c:v>10</c:v></c:pt><c:pt idx="1"><c:v>5</c:v></c:pt></c:numCache>)"
         R"(</c:numRef></c:val><c:extLst>)" + c15 + R"(<c15:datalabelsRange><c15:f>[1]Data!$D$1:$D$2</c15:f>)"
         R"(<c15:dlblRangeCache><c:ptCount val="2"/><c:pt idx="0"><c:v>Lowland</c:v></c:pt><c:pt idx="1">)"
         R"(<c:v>Highland</c:v></c:pt></c15:dlblRangeCache></c15:datalabelsRange></c:ext></c:extLst></c:ser>)"
         R"(<c:gapWidth val="150"/><c:axId val="111"/><c:axId val="222"/><c:extLst>)" + c15 +
         R"(<c15:filteredBarSeries><c15:ser><c:idx val="1"/><c:order val="1"/><c:tx><c:strRef><c:extLst>)" + c15 +
         R"(<c15:formulaRef><c15:sqref>[1]Data!$B$2</c15:sqref></c15:formulaRef></c:ext></c:extLst><c:strCache>)"
         R"(<c:ptCount val="1"/><c:pt idx="0"><c:v>south</c:v></c:pt></c:strCache></c:strRef></c:tx>)" + cats +
         R"(<c:val><c:numRef><c:extLst>)" + c15 + R"(<c15:formulaRef><c15:sqref>[1]Data!$E$1:$E$2</c15:sqref>)"
         R"(</c15:formulaRef></c:ext></c:extLst><c:numCache><c:formatCode>General</c:formatCode><c:ptCount val="2"/>)"
         R"(<c:pt idx="0"><c:v>3</c:v></c:pt><c:pt idx="1"><c:v>4</c:v></c:pt></c:numCache></c:numRef></c:val>)"
         R"(</c15:ser></c15:filteredBarSeries></c:ext></c:extLst></c:barChart><c:catAx><c:axId val="111"/>)"
         R"(<c:scaling><c:orientation val="minMax"/></c:scaling><c:delete val="0"/><c:axPos val="b"/>)"
         R"(<c:crossAx val="222"/></c:catAx><c:valAx><c:axId val="222"/><c:scaling><c:orientation val="minMax"/>)"
         R"(</c:scaling><c:delete val="0"/><c:axPos val="l"/><c:crossAx val="111"/></c:valAx></c:plotArea>)"
         R"(<c:legend><c:legendPos val="r"/></c:legend><c:plotVisOnly val="1"/></c:chart>)";
}

TEST_F(LibreOffice, StrictCornersShowTheSameCellsAndTheCachedChartAfterTheBreak) {
  testing::WorkbookBuilder b;
  b.SetStrict();
  b.AddBookLink({"Source.xlsx", {"Data"},
                 R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>10</v></cell><cell r="B1" t="str"><v>north</v>)"
                 R"(</cell></row><row r="2"><cell r="A2"><v>5</v></cell></row></sheetData>)"});
  b.AddSheet("Main",
             R"(<row r="1"><c r="A1"><f>[1]Data!A1</f><v>10</v></c><c r="B1" t="str"><f>[1]Data!B1</f><v>north</v></c>)"
             R"(<c r="C1"><f>[1]Data!A1*2</f><v>20</v></c><c r="D1"><v>7</v></c></row>)",
             R"(<conditionalFormatting sqref="A1:D1"><cfRule type="expression" dxfId="0" priority="1">)"
             R"(<formula>A1&gt;[1]Data!$A$2</formula></cfRule></conditionalFormatting>)"
             R"(<dataValidations count="1"><dataValidation type="decimal" operator="between" allowBlank="1" )"
             R"(showErrorMessage="1" sqref="D1"><formula1>0</formula1><formula2>[1]Data!$A$1</formula2>)"
             R"(</dataValidation></dataValidations>)");
  b.AddChart(0, CornerChart());
  const fs::path book = dir_ / "strict.xlsx";
  b.Write(book);
  const std::string before = Csv(book, "before");
  ASSERT_EQ(before, "10,north,20,7\n");
  ASSERT_NO_FATAL_FAILURE(Break(book));
  EXPECT_EQ(Csv(book, "after"), before);
  // LibreOffice draws no chart data from another book, so the chart is
  // checked against its caches: the categories, the labels read from cells
  // and the series name show; the filtered series stays hidden.
  Convert(book, "pdf", dir_.Path());
  const ChildResult text = RunProgram({"pdftotext", (dir_ / "strict.pdf").string(), "-"}, capture_.Path());
  for (const char* shown : {"Spring", "Autumn", "Lowland", "Highland", "north"})
    EXPECT_NE(text.out.find(shown), std::string::npos) << shown << " in " << text.out;
  EXPECT_EQ(text.out.find("south"), std::string::npos) << text.out;
}

}  // namespace
}  // namespace quorvane::tests
