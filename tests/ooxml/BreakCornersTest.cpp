// The corners Excel writes around the common carriers: rules whose limits
// come from the other book, totals rows, chart series filtered out of view
// and labels read from cells, and Strict Open XML packages. Each table runs
// one small workbook per case and compares the whole part afterwards.

#include "EngineFixture.h"

namespace quorvane::ooxml::test {
namespace {

// The other book's cells as its link part cached them; Z9 was never read.
const char* kCache =
    R"(<row r="1"><cell r="A1"><v>10</v></cell><cell r="B1" t="str"><v>x</v></cell></row>)"
    R"(<row r="2"><cell r="A2"><v>20</v></cell></row><row r="3"><cell r="A3"><v>30</v></cell></row>)";

std::string Cf(const std::string& formula) {
  return R"(<conditionalFormatting sqref="A1:A9"><cfRule type="expression" dxfId="0" priority="1"><formula>)" +
         formula + "</formula></cfRule></conditionalFormatting>";
}

// Office 2010 rules live in the worksheet's extension list.
const std::string kCfExt = R"(<ext uri="{78C0D931-6437-407d-A8EE-F0AAD7539E65}" )"
                           R"(xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main">)";
std::string X14(const std::string& rule, const std::string& moreExt = {}) {
  return "<extLst>" + kCfExt +
         R"(<x14:conditionalFormattings><x14:conditionalFormatting xmlns:xm="http://schemas.microsoft.com/office/excel/2006/main">)" +
         rule + "<xm:sqref>A1:A9</xm:sqref></x14:conditionalFormatting></x14:conditionalFormattings></ext>" + moreExt +
         "</extLst>";
}
std::string X14Rule(const std::string& formula) {
  return R"(<x14:cfRule type="cellIs" priority="2" operator="greaterThan" id="{00000000-0001-0000-0000-000000000000}">)"
         "<xm:f>" + formula + "</xm:f><x14:dxf><fill><patternFill><bgColor rgb=\"FFFF0000\"/></patternFill></fill>"
         "</x14:dxf></x14:cfRule>";
}
std::string ColorScale(const std::string& val) {
  return R"(<conditionalFormatting sqref="A1:A9"><cfRule type="colorScale" priority="1"><colorScale>)"
         R"(<cfvo type="num" val=")" + val + R"("/><cfvo type="max"/><color rgb="FFF8696B"/><color rgb="FF63BE7B"/>)"
         "</colorScale></cfRule></conditionalFormatting>";
}

TEST_F(EngineTest, RulesTakeTheCachedValuesOfTheBrokenBookAndGoOnlyWithoutOne) {
  const std::string dvExt = R"(<ext uri="{CCE6A557-97BC-4b89-ADB6-D9C93CAAB3DF}" )"
                            R"(xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main">)"
                            R"(<x14:dataValidations count="1" xmlns:xm="http://schemas.microsoft.com/office/excel/2006/main">)"
                            R"(<x14:dataValidation type="list"><x14:formula1><xm:f>Main!$C$1:$C$3</xm:f></x14:formula1>)"
                            R"(<xm:sqref>B1</xm:sqref></x14:dataValidation></x14:dataValidations></ext>)";
  const std::string between = R"(<dataValidations count="1"><dataValidation type="decimal" operator="between" )"
                              R"(allowBlank="1" showErrorMessage="1" sqref="B1"><formula1>0</formula1><formula2>)";
  const std::string dataBar =
      R"(<x14:cfRule type="dataBar" id="{00000000-0002-0000-0000-000000000000}"><x14:dataBar minLength="0" )"
      R"(maxLength="100" gradient="0"><x14:cfvo type="num"><xm:f>)";
  struct Case {
    const char* name;
    std::string before, after;
    std::size_t converted, removed;
  } cases[] = {
      {"classic formula", Cf("A1&gt;[1]S!$A$1"), Cf("A1&gt;10"), 1, 0},
      {"x14 formula", X14(X14Rule("[1]S!$A$1")), X14(X14Rule("10")), 1, 0},
      {"among other terms, another book renumbered", Cf("AND(A1&gt;[1]S!$A$1,B1&lt;'[2]S'!$A$1,C1)"),
       Cf("AND(A1&gt;10,B1&lt;'[1]S'!$A$1,C1)"), 1, 0},
      {"text", Cf("A1=[1]S!$B$1"), Cf("A1=\"x\""), 1, 0},
      {"colour scale threshold", ColorScale("[1]S!$A$2"), ColorScale("20"), 1, 0},
      {"x14 data bar threshold", X14(dataBar + "[1]S!$A$3</xm:f></x14:cfvo><x14:cfvo type=\"autoMax\"/></x14:dataBar></x14:cfRule>"),
       X14(dataBar + "30</xm:f></x14:cfvo><x14:cfvo type=\"autoMax\"/></x14:dataBar></x14:cfRule>"), 1, 0},
      {"validation's second formula", between + "[1]S!$A$1</formula2></dataValidation></dataValidations>",
       between + "10</formula2></dataValidation></dataValidations>", 1, 0},
      {"our name that became a constant", Cf("A1&gt;Limit"), Cf("A1&gt;Limit"), 1, 0},
      {"our name set to #REF!", Cf("A1&gt;Gone"), "", 0, 1},
      {"no cached value: the list goes whole", X14(X14Rule("[1]S!$Z$9")), "", 0, 1},
      {"no cached value: the other extension stays", X14(X14Rule("[1]S!$Z$9"), dvExt), "<extLst>" + dvExt + "</extLst>",
       0, 1},
      {"a range has no single value", Cf("COUNTIF([1]S!$A$1:$A$3,A1)&gt;0"), "", 0, 1},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WorkbookBuilder b;
    b.AddBookLink(Book("Src.xlsx", kCache)).AddBookLink(Book("Kept.xlsx"));
    b.AddName("Limit", "[1]S!$A$1").AddName("Gone", "[1]S!$Z$9");
    b.AddSheet("Main", R"(<row r="1"><c r="A1"><v>12</v></c></row>)", c.before);
    const auto p = Write(b, "rules" + std::to_string(++n) + ".xlsx");
    const auto before = ReadPackage(p);
    EXPECT_EQ(Workbook::Open(p).Usage().at(1).rules, 1u);
    BreakResult result;
    const auto after = BreakFirst(p, &result);
    EXPECT_EQ(Sheet1(after), Rewritten(Sheet1(before), c.before, c.after));
    EXPECT_EQ(result.rulesConverted, c.converted);
    EXPECT_EQ(result.rulesRemoved, c.removed);
    ExpectOthersUnchanged(before, after, {"xl/worksheets/sheet1.xml"});
  }
}

TEST_F(EngineTest, TotalsRowsLoseCustomWithTheFormulaItNames) {
  const std::string custom = R"(<tableColumn id="2" name="Amount" totalsRowFunction="custom" dataDxfId="0">)";
  struct Case {
    const char* name;
    std::string before, after;
  } cases[] = {
      {"custom total into the broken book",
       custom + "<totalsRowFormula>SUBTOTAL(109,Sales[Amount])*[1]S!$A$1</totalsRowFormula></tableColumn>",
       R"(<tableColumn id="2" name="Amount" dataDxfId="0"></tableColumn>)"},
      {"custom total into a kept book", custom + "<totalsRowFormula>[2]S!$A$1</totalsRowFormula></tableColumn>",
       custom + "<totalsRowFormula>[1]S!$A$1</totalsRowFormula></tableColumn>"},
      {"built-in total", R"(<tableColumn id="2" name="Amount" totalsRowFunction="sum"/>)",
       R"(<tableColumn id="2" name="Amount" totalsRowFunction="sum"/>)"},
  };
  const std::string totalCell = R"(<c r="B4"><f>SUBTOTAL(109,Sales[Amount])*[1]S!$A$1</f><v>600</v></c>)";
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WorkbookBuilder b;
    b.AddBookLink(Book("Src.xlsx", kCache)).AddBookLink(Book("Kept.xlsx"));
    b.AddSheet("Main", R"(<row r="4"><c r="A4" t="str"><v>Total</v></c>)" + totalCell + "</row>");
    const std::string table =
        std::string(R"(<table xmlns=")") + quorvane::testing::kMainNs +
        R"(" id="1" name="Sales" displayName="Sales" ref="A1:B4" totalsRowCount="1"><autoFilter ref="A1:B3"/>)"
        R"(<tableColumns count="2"><tableColumn id="1" name="Region" totalsRowLabel="Total"/>)" + c.before +
        R"(</tableColumns><tableStyleInfo name="TableStyleMedium2" showFirstColumn="0" showLastColumn="0" )"
        R"(showRowStripes="1" showColumnStripes="0"/></table>)";
    b.AddSheetPart(0, std::string(quorvane::testing::kRelTypes) + "table", "xl/tables/table1.xml",
                   "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml", table);
    const auto p = Write(b, "totals" + std::to_string(++n) + ".xlsx");
    const auto before = ReadPackage(p);
    const auto after = BreakFirst(p);
    EXPECT_EQ(after.at("xl/tables/table1.xml"), Rewritten(table, c.before, c.after));
    EXPECT_TRUE(Contains(Sheet1(after), R"(<c r="B4"><v>600</v></c>)")) << "the cell keeps its value";
    ExpectOthersUnchanged(before, after, {"xl/worksheets/sheet1.xml", "xl/tables/table1.xml"});
  }
}

}  // namespace
}  // namespace quorvane::ooxml::test
