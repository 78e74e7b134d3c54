// Everything besides cells and rules that can refer to a link: charts,
// controls and shapes, tables; in a package whose parts are not where Excel
// puts them.

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

}  // namespace
}  // namespace quorvane::ooxml::test
