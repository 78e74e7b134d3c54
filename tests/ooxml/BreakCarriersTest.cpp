// Everything besides cells that can refer to a link: charts, controls and
// shapes, tables, in a package whose parts are not where Excel puts them; and
// the corners Excel writes around them: rules whose limits come from the other
// book, chart series filtered out of view and labels read from cells (one
// workbook per case, whole parts compared).

#include <utility>
#include <vector>

#include "EngineFixture.h"

namespace quorvane::ooxml::test {
namespace {

using quorvane::testing::kRelTypes;

TEST_F(EngineTest, ChartsControlsShapesAndTablesLoseTheBookAndRenumberTheRest) {
  WorkbookBuilder b = TwoLinkBook();
  b.AddSheet("Main", R"(<row r="4"><c r="B4"><f>SUBTOTAL(109,T[Amount])*[1]S!$A$1</f><v>600</v></c></row>)");
  b.AddName("_xlchart.v1.0", "[1]S!$A$1:$A$2", -1, "hidden=\"1\"");
  b.AddName("_xlchart.v1.1", "[2]S!$B$1:$B$2", -1, "hidden=\"1\"");
  const std::string numCache =
      R"(<c:numCache><c:formatCode>General</c:formatCode><c:ptCount val="2"/><c:pt idx="0"><c:v>1</c:v></c:pt>)"
      R"(<c:pt idx="1"><c:v>2</c:v></c:pt></c:numCache>)";
  const std::string catCache =
      R"(<c:strCache><c:ptCount val="2"/><c:pt idx="0"><c:v>Q1</c:v></c:pt><c:pt idx="1"><c:v>Q2</c:v></c:pt></c:strCache>)";
  b.AddChart(0,
             R"(<c:chart><c:title><c:tx><c:strRef><c:f>[1]S!$A$1</c:f><c:strCache><c:ptCount val="1"/>)"
             R"(<c:pt idx="0"><c:v>Sales &amp; more</c:v></c:pt></c:strCache></c:strRef></c:tx></c:title>)"
             R"(<c:plotArea><c:barChart><c:ser><c:idx val="0"/><c:order val="0"/>)"
             R"(<c:tx><c:strRef><c:f>[1]S!$B$1</c:f><c:strCache><c:ptCount val="1"/><c:pt idx="0"><c:v>North</c:v>)"
             R"(</c:pt></c:strCache></c:strRef></c:tx>)"
             R"(<c:cat><c:strRef><c:f>[1]S!$A$2:$A$3</c:f>)" + catCache + R"(</c:strRef></c:cat>)"
             R"(<c:val><c:numRef><c:f>[1]S!$B$2:$B$3</c:f>)" + numCache + R"(</c:numRef></c:val></c:ser>)"
             R"(<c:ser><c:idx val="1"/><c:order val="1"/><c:cat><c:multiLvlStrRef><c:f>[1]S!$A$2:$B$3</c:f>)"
             R"(<c:multiLvlStrCache><c:ptCount val="2"/><c:lvl><c:pt idx="0"><c:v>Jan</c:v></c:pt>)"
             R"(<c:pt idx="1"><c:v>Feb</c:v></c:pt></c:lvl><c:lvl><c:pt idx="0"><c:v>2024</c:v></c:pt></c:lvl>)"
             R"(</c:multiLvlStrCache></c:multiLvlStrRef></c:cat>)"
             R"(<c:val><c:numRef><c:f>[2]S!$C$2:$C$3</c:f>)" + numCache + R"(</c:numRef></c:val></c:ser>)"
             R"(</c:barChart></c:plotArea></c:chart>)");
  b.AddChartEx(0,
               R"(<cx:chartData><cx:data id="0"><cx:strDim type="cat"><cx:f dir="row">_xlchart.v1.0</cx:f>)"
               R"(<cx:lvl ptCount="2"><cx:pt idx="0">a</cx:pt><cx:pt idx="1">b</cx:pt></cx:lvl></cx:strDim>)"
               R"(<cx:numDim type="val"><cx:f>[1]S!$B$1:$B$2</cx:f><cx:nf>[1]S!$B$9</cx:nf>)"
               R"(<cx:lvl ptCount="2" formatCode="General"><cx:pt idx="0">1</cx:pt><cx:pt idx="1">2</cx:pt></cx:lvl>)"
               R"(</cx:numDim></cx:data><cx:data id="1"><cx:numDim type="size"><cx:f>[1]S!$C$1:$C$2</cx:f>)"
               R"(</cx:numDim><cx:numDim type="val"><cx:f>_xlchart.v1.1</cx:f><cx:lvl ptCount="0"/></cx:numDim>)"
               R"(<cx:strDim type="cat"><cx:f>[2]S!$A$1:$A$2</cx:f></cx:strDim></cx:data></cx:chartData>)"
               R"(<cx:chart><cx:title><cx:tx><cx:txData><cx:f>[1]S!$A$1</cx:f><cx:v>Sales</cx:v></cx:txData></cx:tx>)"
               R"(</cx:title><cx:plotArea><cx:plotAreaRegion><cx:series layoutId="treemap"><cx:tx><cx:txData>)"
               R"(<cx:f>'[1]S'!$D$1</cx:f></cx:txData></cx:tx><cx:dataId val="0"/></cx:series></cx:plotAreaRegion>)"
               R"(</cx:plotArea></cx:chart>)");
  b.AddSheetPart(0, std::string(kRelTypes) + "ctrlProp", "xl/ctrlProps/ctrlProp1.xml",
                 "application/vnd.ms-excel.controlproperties+xml",
                 R"(<formControlPr xmlns="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main" )"
                 R"(objectType="Drop" fmlaLink="[2]S!$B$1" fmlaRange="[1]S!$A$1:$A$3" sel="1"/>)");
  b.AddSheetPart(0, std::string(kRelTypes) + "vmlDrawing", "xl/drawings/vmlDrawing1.vml",
                 "application/vnd.openxmlformats-officedocument.vmlDrawing",
                 R"(<xml xmlns:v="urn:schemas-microsoft-com:vml" xmlns:x="urn:schemas-microsoft-com:office:excel">)"
                 R"(<v:shape id="_x0000_s1025"><x:ClientData ObjectType="Drop"><x:FmlaRange>[1]S!$A$1:$A$3</x:FmlaRange>)"
                 R"(<x:FmlaLink>[2]S!$B$1</x:FmlaLink></x:ClientData></v:shape><v:shape id="_x0000_s1026">)"
                 R"(<v:textbox><div>Go<br></div></v:textbox><x:ClientData ObjectType="Button">)"
                 R"(<x:FmlaMacro>[0]!Macro1</x:FmlaMacro></x:ClientData></v:shape></xml>)");
  // A table with a calculated column and totals: custom ones lose the formula
  // that names the broken book, and with it "custom".
  const auto table = [](const std::string& calculated, const std::string& amount, const std::string& kept) {
    return std::string(R"(<table xmlns=")") + quorvane::testing::kMainNs +
           R"(" id="1" name="T" displayName="T" ref="A1:D4" totalsRowCount="1"><autoFilter ref="A1:D3"/>)"
           R"(<tableColumns count="4"><tableColumn id="1" name="X">)" + calculated + "</tableColumn>" + amount +
           R"(<tableColumn id="3" name="Kept" totalsRowFunction="custom"><totalsRowFormula>)" + kept +
           R"(</totalsRowFormula></tableColumn><tableColumn id="4" name="Sum" totalsRowFunction="sum"/></tableColumns>)"
           R"(<tableStyleInfo name="TableStyleMedium2" showFirstColumn="0" showRowStripes="1"/></table>)";
  };
  b.AddSheetPart(0, std::string(kRelTypes) + "table", "xl/tables/table1.xml",
                 "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml",
                 table("<calculatedColumnFormula>[1]S!A1*2</calculatedColumnFormula>",
                       R"(<tableColumn id="2" name="Amount" totalsRowFunction="custom" dataDxfId="0"><totalsRowFormula>)"
                       "SUBTOTAL(109,T[Amount])*[1]S!$A$1</totalsRowFormula></tableColumn>",
                       "[2]S!$A$1"));
  b.AddDrawingXml(0, R"(<xdr:oneCellAnchor><xdr:sp macro="[1]!Go" textlink="[1]S!$A$1"><xdr:txBody/></xdr:sp>)"
                     R"(<xdr:clientData/></xdr:oneCellAnchor><xdr:oneCellAnchor><xdr:sp macro="[2]!Run" textlink="">)"
                     R"(</xdr:sp><xdr:clientData/></xdr:oneCellAnchor>)");
  // Part names come from the relationships, never from Excel's usual layout;
  // some writers separate folders in targets with backslashes.
  auto package = b.Parts();
  const auto move = [&](const std::string& from, const std::string& to) {
    package[to] = package.at(from);
    package.erase(from);
  };
  const auto patch = [&](const std::string& part, const std::string& from, const std::string& to) {
    package.at(part) = Rewritten(package.at(part), from, to);
  };
  const std::string links = "wb/externalReferences/";
  move("xl/workbook.xml", "wb/main.xml");
  move("xl/_rels/workbook.xml.rels", "wb/_rels/main.xml.rels");
  patch("_rels/.rels", "xl/workbook.xml", "/wb/main.xml");
  // Excel lists the document properties before the workbook.
  patch("_rels/.rels", "<Relationship ",
        R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/)"
        R"(core-properties" Target="docProps/core.xml"/><Relationship )");
  patch("[Content_Types].xml", "/xl/workbook.xml", "/wb/main.xml");
  patch("wb/_rels/main.xml.rels", "worksheets/sheet1.xml", "..\\xl\\worksheets\\sheet1.xml");
  for (const std::string n : {"1", "2"}) {
    move("xl/externalLinks/externalLink" + n + ".xml", links + "externalReference" + n + ".xml");
    move("xl/externalLinks/_rels/externalLink" + n + ".xml.rels", links + "_rels/externalReference" + n + ".xml.rels");
    patch("[Content_Types].xml", "/xl/externalLinks/externalLink" + n, "/" + links + "externalReference" + n);
  }
  // One target relative, one absolute.
  patch("wb/_rels/main.xml.rels", "externalLinks/externalLink1.xml", "externalReferences\\externalReference1.xml");
  patch("wb/_rels/main.xml.rels", "externalLinks/externalLink2.xml", "/" + links + "externalReference2.xml");
  const fs::path p = tmp_ / "moved.xlsx";
  quorvane::testing::WritePackage(p, package);
  const auto before = ReadPackage(p);
  // Listing reads the legacy VML (bare <br>) as the break does; charts are used through the chart names too.
  const auto usage = Workbook::Open(p).Usage();
  const auto [one, two] = std::make_pair(usage.at(1), usage.at(2));
  EXPECT_EQ(std::vector<std::size_t>({one.charts, one.controls, two.charts, two.controls}),
            std::vector<std::size_t>({11, 6, 3, 4}));
  BreakResult result;
  const auto after = Break(p, &result, 1);  // the verifier passes: no [1] of the removed source is left
  EXPECT_EQ(std::make_pair(result.charts, result.controls), std::make_pair(std::size_t{10}, std::size_t{6}));
  const std::string chart = after.at("xl/charts/chart1.xml");
  const std::string chartEx = after.at("xl/charts/chartEx1.xml");
  EXPECT_TRUE(Contains(chart, R"(<c:title><c:tx><c:rich xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main">)"
                              R"(<a:bodyPr/><a:p><a:r><a:t>Sales &amp; more</a:t></a:r></a:p></c:rich></c:tx>)"));
  EXPECT_TRUE(Contains(chart, R"(<c:order val="0"/><c:tx><c:v>North</c:v></c:tx>)"));
  EXPECT_TRUE(Contains(chart, "<c:cat><c:strLit>" + catCache.substr(12, catCache.size() - 25) + "</c:strLit></c:cat>"));
  EXPECT_TRUE(Contains(chart, "<c:val><c:numLit>" + numCache.substr(12, numCache.size() - 25) + "</c:numLit></c:val>"));
  EXPECT_TRUE(Contains(chart, R"(<c:cat><c:strLit><c:ptCount val="2"/><c:pt idx="0"><c:v>Jan</c:v></c:pt>)"
                              R"(<c:pt idx="1"><c:v>Feb</c:v></c:pt></c:strLit></c:cat>)"));
  EXPECT_TRUE(Contains(chart, R"(<c:numRef><c:f>[1]S!$C$2:$C$3</c:f>)"));
  EXPECT_TRUE(Contains(chartEx, R"(<cx:strDim type="cat"><cx:lvl ptCount="2"><cx:pt idx="0">a</cx:pt>)"));
  EXPECT_TRUE(Contains(chartEx, R"(<cx:numDim type="val"><cx:lvl ptCount="2" formatCode="General">)"));
  EXPECT_TRUE(Contains(chartEx, R"(<cx:numDim type="size"><cx:lvl ptCount="0"/></cx:numDim>)"));
  EXPECT_TRUE(Contains(chartEx, R"(<cx:numDim type="val"><cx:f>_xlchart.v1.1</cx:f>)"));
  EXPECT_TRUE(Contains(chartEx, R"(<cx:strDim type="cat"><cx:f>[1]S!$A$1:$A$2</cx:f></cx:strDim>)"));
  EXPECT_TRUE(Contains(chartEx, R"(<cx:txData><cx:v>Sales</cx:v></cx:txData>)"));
  EXPECT_TRUE(Contains(chartEx, R"(<cx:txData><cx:v></cx:v></cx:txData>)"));
  EXPECT_FALSE(Contains(chartEx, "<cx:nf>"));
  EXPECT_TRUE(Contains(after.at("wb/main.xml"), R"(hidden="1">[1]S!$B$1:$B$2</definedName>)"));
  EXPECT_TRUE(Contains(after.at("xl/ctrlProps/ctrlProp1.xml"), R"(objectType="Drop" fmlaLink="[1]S!$B$1" sel="1"/>)"));
  std::string vml = after.at("xl/drawings/vmlDrawing1.vml");
  EXPECT_TRUE(Contains(vml, R"(<x:ClientData ObjectType="Drop"><x:FmlaLink>[1]S!$B$1</x:FmlaLink></x:ClientData>)"));
  EXPECT_TRUE(Contains(vml, R"(<x:FmlaMacro>[0]!Macro1</x:FmlaMacro>)"));
  EXPECT_EQ(after.at("xl/tables/table1.xml"),
            table("", R"(<tableColumn id="2" name="Amount" dataDxfId="0"></tableColumn>)", "[1]S!$A$1"));
  EXPECT_TRUE(Contains(after.at(kSheet1), R"(<row r="4"><c r="B4"><v>600</v></c></row>)"));
  std::string drawing = after.at("xl/drawings/drawing1.xml");
  EXPECT_TRUE(Contains(drawing, R"(<xdr:sp><xdr:txBody/></xdr:sp>)"));
  EXPECT_TRUE(Contains(drawing, R"(<xdr:sp macro="[1]!Run" textlink="">)"));
  ExpectOnly(before, after,
             {kSheet1, "wb/main.xml", "wb/_rels/main.xml.rels", "xl/charts/chart1.xml", "xl/charts/chartEx1.xml",
              "xl/ctrlProps/ctrlProp1.xml", "xl/drawings/vmlDrawing1.vml", "xl/tables/table1.xml",
              "xl/drawings/drawing1.xml"},
             {links + "externalReference1.xml", links + "_rels/externalReference1.xml.rels"});
  EXPECT_FALSE(Contains(after.at("[Content_Types].xml") + after.at("wb/_rels/main.xml.rels"), "externalReference1"));
}

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
  const auto dvExt = [](const std::string& formula) {
    return R"(<ext uri="{CCE6A557-97BC-4b89-ADB6-D9C93CAAB3DF}" )"
           R"(xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main">)"
           R"(<x14:dataValidations count="1" xmlns:xm="http://schemas.microsoft.com/office/excel/2006/main">)"
           R"(<x14:dataValidation type="list"><x14:formula1><xm:f>)" + formula + "</xm:f></x14:formula1>"
           "<xm:sqref>B1</xm:sqref></x14:dataValidation></x14:dataValidations></ext>";
  };
  const auto list = [](const std::string& formula) {
    return R"(<dataValidations count="1"><dataValidation type="list" sqref="C1"><formula1>)" + formula +
           "</formula1></dataValidation></dataValidations>";
  };
  const auto sparklines = [](bool linked) {
    const auto line = [](const char* f, const char* at) {
      return std::string("<x14:sparkline><xm:f>") + f + "</xm:f><xm:sqref>" + at + "</xm:sqref></x14:sparkline>";
    };
    return R"(<extLst><ext uri="{05C60535-1F16-4fd2-B633-F4F36F0B64E0}" )"
           R"(xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main"><x14:sparklineGroups )"
           R"(xmlns:xm="http://schemas.microsoft.com/office/excel/2006/main"><x14:sparklineGroup><x14:sparklines>)" +
           (linked ? line("[1]S!A1:C1", "F1") : "") + line("Main!A1:C1", "F2") +
           "</x14:sparklines></x14:sparklineGroup></x14:sparklineGroups></ext></extLst>";
  };
  const auto between = [](const std::string& formula) {
    return R"(<dataValidations count="1"><dataValidation type="decimal" operator="between" allowBlank="1" )"
           R"(showErrorMessage="1" sqref="B1"><formula1>0</formula1><formula2>)" + formula +
           "</formula2></dataValidation></dataValidations>";
  };
  struct Case {
    const char* name;
    std::string before, after;
    std::size_t converted, removed, listed = 1;
  } cases[] = {
      {"classic formula", Cf("A1&gt;[1]S!$A$1"), Cf("A1&gt;10"), 1, 0},
      {"x14 formula", X14(X14Rule("[1]S!$A$1")), X14(X14Rule("10")), 1, 0},
      {"among other terms, another book renumbered", Cf("AND(A1&gt;[1]S!$A$1,B1&lt;'[2]S'!$A$1,C1)"),
       Cf("AND(A1&gt;10,B1&lt;'[1]S'!$A$1,C1)"), 1, 0},
      {"text", Cf("A1=[1]S!$B$1"), Cf("A1=\"x\""), 1, 0},
      {"colour scale threshold", ColorScale("[1]S!$A$2"), ColorScale("20"), 1, 0},
      {"validation's second formula", between("[1]S!$A$1"), between("10"), 1, 0},
      {"our name set to #REF!", Cf("A1&gt;Gone"), "", 0, 1},
      {"no cached value: the list goes whole", X14(X14Rule("[1]S!$Z$9")), "", 0, 1},
      {"no cached value: the other extension stays", X14(X14Rule("[1]S!$Z$9"), dvExt("Main!$C$1")),
       "<extLst>" + dvExt("Main!$C$1") + "</extLst>", 0, 1},
      {"list from a range", list("[1]S!$A$1:$A$3"), list("\"10,20,30\""), 1, 0},
      {"x14 list", "<extLst>" + dvExt("[1]S!$A$1:$A$3") + "</extLst>",
       "<extLst>" + dvExt("\"10,20,30\"") + "</extLst>", 1, 0},
      {"a sparkline needs the range", sparklines(true), sparklines(false), 0, 1, 0},
      {"a range has no single value", Cf("COUNTIF([1]S!$A$1:$A$3,A1)&gt;0"), "", 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WorkbookBuilder b = TwoLinkBook(kCache);
    b.AddName("Gone", "[1]S!$Z$9");
    b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>B1*2</f><v>12</v></c></row>)", c.before);
    b.SetCalcChain(R"(<c r="A1" i="1"/>)");  // no formula goes: it stays
    const auto p = Write(b);
    const auto before = ReadPackage(p);
    EXPECT_EQ(Workbook::Open(p).Usage().at(1).rules, c.listed);
    BreakResult result;
    const auto after = Break(p, &result, 1);
    EXPECT_EQ(after.at(kSheet1), Rewritten(before.at(kSheet1), c.before, c.after));
    EXPECT_EQ(std::make_pair(result.rulesConverted, result.rulesRemoved), std::make_pair(c.converted, c.removed));
    ExpectOnly(before, after, {"xl/worksheets/sheet1.xml"});
  }
}

// Charts: kC15 is where Office 2013 keeps what older readers skip.
const std::string kC15 = R"(<c:ext uri="{02D57815-91ED-43cb-92C2-25804820EDAC}" )"
                         R"(xmlns:c15="http://schemas.microsoft.com/office/drawing/2012/chart">)";
const std::string kLabelExt = R"(<c:ext uri="{CE6537A1-D6FC-4f65-9D91-7224C49458BB}" )"
                              R"(xmlns:c15="http://schemas.microsoft.com/office/drawing/2012/chart">)";
const std::string kNums = R"(<c:formatCode>General</c:formatCode><c:ptCount val="2"/><c:pt idx="0"><c:v>1</c:v></c:pt>)"
                          R"(<c:pt idx="1"><c:v>2</c:v></c:pt>)";
const std::string kCats = R"(<c:ptCount val="2"/><c:pt idx="0"><c:v>Q1</c:v></c:pt><c:pt idx="1"><c:v>Q2</c:v></c:pt>)";
const std::string kFlags = R"(<c:showLegendKey val="0"/><c:showVal val="0"/><c:showCatName val="0"/>)"
                           R"(<c:showSerName val="0"/><c:showPercent val="0"/><c:showBubbleSize val="0"/>)";

// A series filtered out of view names its cells in formulaRef, not in f.
std::string Hidden(const std::string& ref) {
  return "<c:extLst>" + kC15 + "<c15:formulaRef><c15:sqref>" + ref + "</c15:sqref></c15:formulaRef></c:ext></c:extLst>";
}
std::string Series(const std::string& body, const std::string& tag = "c:ser") {
  return "<" + tag + R"(><c:idx val="1"/><c:order val="1"/>)" + body + "</" + tag + ">";
}
std::string Bar(const std::string& series, const std::string& ext) {
  return R"(<c:chart><c:autoTitleDeleted val="1"/><c:plotArea><c:layout/><c:barChart><c:barDir val="col"/>)"
         R"(<c:grouping val="clustered"/><c:varyColors val="0"/>)" + series +
         R"(<c:gapWidth val="150"/><c:axId val="1"/><c:axId val="2"/>)" + ext + "</c:barChart></c:plotArea></c:chart>";
}

TEST_F(EngineTest, FilteredSeriesAndLabelsFromCellsKeepWhatTheirCachesShow) {
  const std::string local = Series(R"(<c:val><c:numRef><c:f>Main!$B$2:$B$3</c:f><c:numCache>)" + kNums +
                                   "</c:numCache></c:numRef></c:val>");
  const auto filtered = [&](const std::string& ser) {
    return "<c:extLst>" + kC15 + "<c15:filteredBarSeries>" + ser + "</c15:filteredBarSeries></c:ext></c:extLst>";
  };
  const std::string hiddenSeries =
      Series("<c:tx><c:strRef>" + Hidden("[1]S!$B$1") +
                 R"(<c:strCache><c:ptCount val="1"/><c:pt idx="0"><c:v>Hidden</c:v></c:pt></c:strCache></c:strRef></c:tx>)"
                 "<c:cat><c:strRef>" + Hidden("[1]S!$A$2:$A$3") + "<c:strCache>" + kCats +
                 "</c:strCache></c:strRef></c:cat><c:val><c:numRef>" + Hidden("[1]S!$B$2:$B$3") +
                 "<c:numCache>" + kNums + "</c:numCache></c:numRef></c:val>",
             "c15:ser");
  const std::string titles =
      "<c15:filteredSeriesTitle><c15:tx><c:strRef><c:f>[1]S!$B$1</c:f><c:strCache><c:ptCount val=\"1\"/>"
      "<c:pt idx=\"0\"><c:v>North</c:v></c:pt></c:strCache></c:strRef></c15:tx></c15:filteredSeriesTitle>"
      "<c15:filteredCategoryTitle><c15:cat><c:strRef><c:f>[1]S!$A$2:$A$3</c:f><c:strCache>" + kCats +
      "</c:strCache></c:strRef></c15:cat></c15:filteredCategoryTitle>";
  const std::string rich = R"(<c:rich xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main"><a:bodyPr/><a:p>)";
  const std::string cellRange = R"(<a:fld id="{5A0E8A6C-0000-4000-8000-000000000001}" type="CELLRANGE">)"
                                R"(<a:rPr lang="en-US"/><a:pPr/><a:t>[CELLRANGE]</a:t></a:fld>)";
  const auto rangeLabels = [&](const std::string& field, const std::string& added, const char* groupRange,
                               const std::string& rangeExt) {
    return Series(R"(<c:dLbls><c:dLbl><c:idx val="0"/><c:tx><c:rich><a:bodyPr/><a:lstStyle/><a:p>)" + field +
                  "</a:p></c:rich></c:tx>" + kFlags + "<c:extLst>" + kLabelExt +
                  R"(<c15:dlblFieldTable/><c15:showDataLabelsRange val="1"/></c:ext></c:extLst></c:dLbl>)" + added +
                  "<c:spPr><a:noFill/></c:spPr>" + kFlags +
                  // Odd but valid: the prefix declared where it is used, not on the extension.
                  R"(<c:extLst><c:ext uri="{CE6537A1-D6FC-4f65-9D91-7224C49458BB}"><c15:showDataLabelsRange )"
                  R"(xmlns:c15="http://schemas.microsoft.com/office/drawing/2012/chart" val=")" + groupRange +
                  R"("/></c:ext></c:extLst></c:dLbls>)"
                  "<c:val><c:numRef><c:f>Main!$B$2:$B$3</c:f><c:numCache>" +
                  kNums + "</c:numCache></c:numRef></c:val><c:extLst>" + rangeExt +
                  R"(<c:ext uri="{C3380CC4-5D6E-409C-BE32-E72D297353CC}" xmlns:c16="http://schemas.microsoft.com/office/drawing/2014/chart">)"
                  R"(<c16:uniqueId val="{00000001-0000-0000-0000-000000000000}"/></c:ext></c:extLst>)");
  };
  const std::string range = kC15 + "<c15:datalabelsRange><c15:f>[1]S!$C$2:$C$3</c15:f><c15:dlblRangeCache>"
                            R"(<c:ptCount val="2"/><c:pt idx="0"><c:v>low</c:v></c:pt><c:pt idx="1"><c:v>high</c:v></c:pt>)"
                            "</c15:dlblRangeCache></c15:datalabelsRange></c:ext>";
  const std::string newLabel = R"(<c:dLbl><c:idx val="1"/><c:tx>)" + rich +
                               "<a:r><a:t>high</a:t></a:r></a:p></c:rich></c:tx><c:spPr><a:noFill/></c:spPr>" + kFlags +
                               "<c:extLst>" + kLabelExt +
                               R"(<c15:dlblFieldTable/><c15:showDataLabelsRange val="1"/></c:ext></c:extLst></c:dLbl>)";
  const std::string cellRef = R"(<a:fld id="{5A0E8A6C-0000-4000-8000-000000000002}" type="CELLREF"><a:t>[CELLREF]</a:t></a:fld>)";
  const std::string fieldTable = "<c15:dlblFieldTable><c15:dlblFTEntry><c15:txfldGUID>"
                                 "{5A0E8A6C-0000-4000-8000-000000000002}</c15:txfldGUID><c15:f>[1]S!$D$1</c15:f>"
                                 "<c15:dlblFieldTableCache><c:ptCount val=\"1\"/><c:pt idx=\"0\"><c:v>note</c:v></c:pt>"
                                 "</c15:dlblFieldTableCache></c15:dlblFTEntry></c15:dlblFieldTable>";
  const auto fieldLabel = [&](const std::string& field, const std::string& table) {
    return Series(R"(<c:dLbls><c:dLbl><c:idx val="0"/><c:tx><c:rich><a:bodyPr/><a:p>)" + field + "</a:p></c:rich></c:tx>" +
                  kFlags + "<c:extLst>" + kLabelExt + table + "</c:ext></c:extLst></c:dLbl>" + kFlags + "</c:dLbls>");
  };
  struct Case {
    const char* name;
    std::string before, after;
    std::size_t uses;
  } cases[] = {
      {"filtered series", Bar(local, filtered(hiddenSeries)),
       Bar(local, filtered(Series(R"(<c:tx><c:v>Hidden</c:v></c:tx><c:cat><c:strLit>)" + kCats +
                                      "</c:strLit></c:cat><c:val><c:numLit>" + kNums + "</c:numLit></c:val>",
                                  "c15:ser"))),
       3},
      {"filtered headers", Bar(Series("<c:extLst>" + kC15 + titles + "</c:ext></c:extLst>"), ""),
       Bar(Series("<c:extLst>" + kC15 + "<c15:filteredSeriesTitle><c15:tx>" + rich +
                  "<a:r><a:t>North</a:t></a:r></a:p></c:rich></c15:tx></c15:filteredSeriesTitle>"
                  "<c15:filteredCategoryTitle><c15:cat><c:strLit>" + kCats +
                  "</c:strLit></c15:cat></c15:filteredCategoryTitle></c:ext></c:extLst>"),
           ""),
       2},
      {"labels from a range", Bar(rangeLabels(cellRange, "", "1", range), ""),
       Bar(rangeLabels(R"(<a:r><a:rPr lang="en-US"/><a:t>low</a:t></a:r>)", newLabel, "0", ""), ""), 1},
      {"a label's cell field", Bar(fieldLabel(cellRef, fieldTable), ""),
       Bar(fieldLabel("<a:r><a:t>note</a:t></a:r>", "<c15:dlblFieldTable></c15:dlblFieldTable>"), ""), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WorkbookBuilder b = TwoLinkBook();
    b.AddSheet("Main", "");
    b.AddChart(0, c.before);
    const auto p = Write(b);
    const auto before = ReadPackage(p);
    EXPECT_EQ(Workbook::Open(p).Usage().at(1).charts, c.uses);
    const auto after = Break(p, nullptr, 1);
    EXPECT_EQ(after.at("xl/charts/chart1.xml"), Rewritten(before.at("xl/charts/chart1.xml"), c.before, c.after));
    ExpectOnly(before, after, {"xl/charts/chart1.xml"});
  }
}

}  // namespace
}  // namespace quorvane::ooxml::test
