// fuzz_seeds DIR: writes starting inputs for the fuzz targets into
// DIR/workbook and DIR/formula. Each workbook is written deflated (as Excel
// does) and stored, so mutations also reach the XML directly.

#include <zip.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/WorkbookBuilder.h"

namespace fs = std::filesystem;
using quorvane::testing::BookLink;
using quorvane::testing::WorkbookBuilder;

namespace {

BookLink Book(std::string target, std::string cells = {}) {
  BookLink link;
  link.target = std::move(target);
  link.sheetNames = {"S"};
  if (!cells.empty()) link.sheetDataSet = "<sheetData sheetId=\"0\">" + cells + "</sheetData>";
  return link;
}

std::vector<std::pair<std::string, WorkbookBuilder>> Workbooks() {
  std::vector<std::pair<std::string, WorkbookBuilder>> books;
  {
    WorkbookBuilder b;
    b.AddBookLink(Book("One.xlsx")).AddBookLink(Book("Two.xlsx")).AddBookLink(Book("Three.xlsx"));
    b.AddSheet("Main",
               R"(<row r="1"><c r="A1"><f>[1]S!A1</f><v>1</v></c><c r="B1"><f>[2]S!A1*2</f><v>2</v></c>)"
               R"(<c r="C1"><f>[3]S!A1+'[3]S'!B2</f><v>3</v></c>)"
               R"(<c r="E1" t="str"><f>"[2]S!A1"&amp;[3]S!A1</f><v>x</v></c>)"
               R"(<c r="F1"><f>SUM(Table1[[#This Row],[2]])+[0]!Local</f><v>6</v></c></row>)");
    b.AddName("Third", "[3]S!$A$1");
    books.emplace_back("three_links", b);
  }
  {
    WorkbookBuilder b;
    b.AddBookLink(Book("Src.xlsx", R"(<row r="1"><cell r="A1"><v>2.5</v></cell><cell r="B1" t="str"><v>hi</v></cell></row>)"));
    b.AddSheet("Main",
               R"(<row r="1"><c r="A1"><f t="shared" ref="A1:A3" si="0">[1]S!A1</f><v>1</v></c></row>)"
               R"(<row r="2"><c r="A2"><f t="shared" si="0"/><v>2</v></c></row>)"
               R"(<row r="3"><c r="A3"><f t="array" ref="A3:B3">[1]S!A1:B1</f><v>3</v></c></row>)");
    b.AddName("Rate", "[1]S!$A$1");
    b.AddName("Twice", "Rate*2");
    b.AddName("Local", "[1]S!$A$1", 0, "hidden=\"1\"");
    b.SetCalcChain(R"(<c r="A1" i="1"/>)");
    books.emplace_back("shared_names", b);
  }
  {
    WorkbookBuilder b;
    b.AddBookLink(Book("Src.xlsx"));
    b.AddSheet("Main", R"(<row r="1"><c r="A1"><v>1</v></c></row>)",
               R"(<dataValidations count="1"><dataValidation type="list" sqref="C1"><formula1>[1]S!$A$1:$A$3</formula1>)"
               R"(</dataValidation></dataValidations><conditionalFormatting sqref="A1"><cfRule type="expression" )"
               R"(priority="1"><formula>[1]S!$A$1&gt;1</formula></cfRule></conditionalFormatting>)");
    b.AddChart(0, R"(<c:chart><c:plotArea><c:barChart><c:ser><c:idx val="0"/><c:order val="0"/>)"
                  R"(<c:val><c:numRef><c:f>[1]S!$B$2:$B$3</c:f><c:numCache><c:ptCount val="2"/>)"
                  R"(<c:pt idx="0"><c:v>1</c:v></c:pt><c:pt idx="1"><c:v>2</c:v></c:pt></c:numCache>)"
                  R"(</c:numRef></c:val></c:ser></c:barChart></c:plotArea></c:chart>)");
    books.emplace_back("rules_chart", b);
  }
  {
    BookLink src = Book("Src.xlsx", R"(<row r="1"><cell r="A1"><v>4</v></cell><cell r="B1" t="str"><v>a</v></cell></row>)");
    src.definedNames = R"(<definedName name="Ext" refersTo="=S!$A$1:$B$1"/><definedName name="One" refersTo="=S!$A$1" sheetId="0"/>)";
    WorkbookBuilder b;
    b.AddBookLink(src);
    b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]!Ext</f><v>4</v></c><c r="B1"><f>Alias+[1]S!One</f><v>8</v></c></row>)");
    b.AddName("Whole", "[1]!Ext");
    b.AddName("Alias", "[0]!Whole");
    b.AddName("_xlchart.v1.0", "[1]S!$A$1:$A$2", -1, "hidden=\"1\"");
    b.AddChartEx(0, R"(<cx:chartData><cx:data id="0"><cx:numDim type="val"><cx:f>_xlchart.v1.0</cx:f>)"
                    R"(<cx:lvl ptCount="1"><cx:pt idx="0">4</cx:pt></cx:lvl></cx:numDim></cx:data></cx:chartData>)");
    books.emplace_back("external_names_chartex", b);
  }
  {
    WorkbookBuilder b;
    b.AddDdeLink("Server", "Topic").AddBookLink(Book("Src.xlsx")).AddOleLink("Package", "C:\\doc.bin");
    b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]!'R1C1'</f><v>1</v></c><c r="B1"><f>[2]S!A1</f><v>2</v></c></row>)",
               R"(<oleObjects><oleObject progId="Package" link="[3]!''''" shapeId="1025"/></oleObjects>)");
    b.SetVbaProject("not really a project");
    books.emplace_back("dde_ole_macro", b);
  }
  {
    // As scripts and other tools leave them: books named by file, formulas
    // without a value, a link part missing from the list.
    BookLink old = Book("Old.xlsx");
    old.listed = false;
    WorkbookBuilder b;
    b.AddBookLink(Book("Src.xlsx", R"(<row r="1"><cell r="A1" t="str"><v>a</v></cell></row>)")).AddBookLink(old);
    b.AddSheet("Main",
               R"(<row r="1"><c r="A1"><f>[1]S!A1</f><v></v></c><c r="B1"><f>'[Source.xlsx]Data'!B2</f><v>5</v></c>)"
               R"(<c r="C1"><f>'C:\Data\[Source.xlsx]Data'!B2</f></c><c r="D1" t="str">)"
               R"(<f>INDIRECT("'[Source.xlsx]Data'!B2")</f><v>x</v></c></row>)",
               R"(<dataValidations count="1"><dataValidation type="list" sqref="E1"><formula1>)"
               R"('[Source.xlsx]Data'!$A$1:$A$3</formula1></dataValidation></dataValidations>)");
    b.AddName("Rate", "[Source.xlsx]Data!$B$1");
    b.AddName("Label", "\"[Source.xlsx]\"");
    books.emplace_back("by_name_unlisted_uncached", b);
  }
  {
    WorkbookBuilder b;
    b.AddSheet("Plain", R"(<row r="1"><c r="A1"><v>1</v></c><c r="B1"><f>A1*2</f><v>2</v></c></row>)");
    books.emplace_back("no_links", b);
  }
  const char* cache = R"(<row r="1"><cell r="A1"><v>10</v></cell><cell r="B1" t="str"><v>x</v></cell></row>)";
  {
    // Rules whose limits come from the other book, classic and x14; a table's custom total.
    WorkbookBuilder b;
    b.AddBookLink(Book("Src.xlsx", cache)).AddBookLink(Book("Kept.xlsx"));
    b.AddName("Limit", "[1]S!$A$1");
    b.AddSheet("Main", R"(<row r="2"><c r="B2"><f>SUBTOTAL(109,T[X])*[1]S!A1</f><v>10</v></c></row>)",
               R"(<conditionalFormatting sqref="A1"><cfRule type="expression" priority="1"><formula>AND(A1&gt;[1]S!$A$1,)"
               R"(A1&lt;'[2]S'!$A$1,A1&lt;&gt;Limit)</formula></cfRule><cfRule type="colorScale" priority="2"><colorScale>)"
               R"(<cfvo type="num" val="[1]S!$A$1"/><cfvo type="max"/><color rgb="FF000000"/><color rgb="FFFFFFFF"/>)"
               R"(</colorScale></cfRule></conditionalFormatting><dataValidations count="1"><dataValidation )"
               R"(type="whole" operator="between" sqref="C1"><formula1>0</formula1><formula2>[1]S!$A$1</formula2>)"
               R"(</dataValidation></dataValidations><extLst><ext uri="{78C0D931-6437-407d-A8EE-F0AAD7539E65}">)"
               R"(<x14:conditionalFormattings><x14:conditionalFormatting><x14:cfRule type="cellIs" priority="3" )"
               R"(operator="lessThan" id="{X}"><xm:f>[1]S!$Z$9</xm:f><x14:dxf/></x14:cfRule><xm:sqref>A2</xm:sqref>)"
               R"(</x14:conditionalFormatting></x14:conditionalFormattings></ext></extLst>)");
    b.AddSheetPart(0, std::string(quorvane::testing::kRelTypes) + "table", "xl/tables/table1.xml",
                   "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml",
                   std::string(R"(<table xmlns=")") + quorvane::testing::kMainNs +
                       R"(" id="1" name="T" ref="B1:B2" totalsRowCount="1"><tableColumns count="1"><tableColumn )"
                       R"(id="1" name="X" totalsRowFunction="custom"><totalsRowFormula>SUBTOTAL(109,T[X])*[1]S!A1)"
                       R"(</totalsRowFormula></tableColumn></tableColumns></table>)");
    books.emplace_back("rules_totals", b);
  }
  {
    // A chart with a series filtered out of view and labels read from cells, in Strict.
    const std::string c15 = R"(<c:ext uri="{02D57815-91ED-43cb-92C2-25804820EDAC}" )"
                            R"(xmlns:c15="http://schemas.microsoft.com/office/drawing/2012/chart">)";
    WorkbookBuilder b;
    b.SetStrict().AddBookLink(Book("Src.xlsx", cache));
    b.AddSheet("Main", R"(<row r="1"><c r="A1" t="str"><f>[1]S!B1</f><v>x</v></c></row>)");
    b.AddChart(0, R"(<c:chart><c:plotArea><c:barChart><c:ser><c:idx val="0"/><c:order val="0"/><c:dLbls>)"
                  R"(<c:dLbl><c:idx val="0"/><c:tx><c:rich><a:bodyPr/><a:p><a:fld id="{F}" type="CELLRANGE"><a:t>r</a:t>)"
                  R"(</a:fld></a:p></c:rich></c:tx></c:dLbl><c:showVal val="1"/><c:extLst><c:ext uri="{CE6537A1-D6FC-4f65-9D91-7224C49458BB}">)"
                  R"(<c15:showDataLabelsRange xmlns:c15="http://schemas.microsoft.com/office/drawing/2012/chart" val="1"/>)"
                  R"(</c:ext></c:extLst></c:dLbls><c:val><c:numRef><c:f>[1]S!$A$1</c:f><c:numCache><c:ptCount val="1"/>)"
                  R"(<c:pt idx="0"><c:v>10</c:v></c:pt></c:numCache></c:numRef></c:val><c:extLst>)" + c15 +
                  R"(<c15:datalabelsRange><c15:f>[1]S!$B$1:$B$2</c15:f><c15:dlblRangeCache><c:ptCount val="2"/>)"
                  R"(<c:pt idx="0"><c:v>x</c:v></c:pt><c:pt idx="1"><c:v>y</c:v></c:pt></c15:dlblRangeCache>)"
                  R"(</c15:datalabelsRange></c:ext></c:extLst></c:ser><c:extLst>)" + c15 +
                  R"(<c15:filteredBarSeries><c15:ser><c:idx val="1"/><c:order val="1"/><c:val><c:numRef><c:extLst>)" +
                  c15 + R"(<c15:formulaRef><c15:sqref>[1]S!$A$1</c15:sqref></c15:formulaRef></c:ext></c:extLst>)"
                  R"(<c:numCache><c:ptCount val="1"/><c:pt idx="0"><c:v>10</c:v></c:pt></c:numCache></c:numRef></c:val>)"
                  R"(</c15:ser></c15:filteredBarSeries></c:ext></c:extLst></c:barChart></c:plotArea></c:chart>)");
    books.emplace_back("strict_filtered_chart", b);
  }
  return books;
}

void WriteStored(const WorkbookBuilder& b, const fs::path& path) {
  const auto parts = b.Parts();
  int error = 0;
  zip_t* raw = zip_open(path.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!raw) throw std::runtime_error("cannot create " + path.string());
  std::unique_ptr<zip_t, void (*)(zip_t*)> zip(raw, [](zip_t* z) { zip_discard(z); });
  for (const auto& [name, data] : parts) {
    zip_source_t* src = zip_source_buffer(zip.get(), data.data(), data.size(), 0);
    if (!src) throw std::runtime_error("zip_source_buffer failed");
    const zip_int64_t index = zip_file_add(zip.get(), name.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(src);
      throw std::runtime_error("cannot add " + name);
    }
    zip_set_file_compression(zip.get(), static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
  }
  if (zip_close(zip.get()) != 0) throw std::runtime_error("cannot write " + path.string());
  zip.release();
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  try {
    const fs::path out = argv[1];
    fs::create_directories(out / "workbook");
    fs::create_directories(out / "formula");
    for (const auto& [name, builder] : Workbooks()) {
      builder.Write(out / "workbook" / (name + ".xlsx"));
      WriteStored(builder, out / "workbook" / (name + "_stored.xlsx"));
    }
    // Formula seeds: a map prefix (count, then new indexes) and the text.
    const std::vector<std::string> formulas = {
        "[1]S!A1",
        "'[2]My Sheet'!$A$1:$B$3+[1]!Name",
        "SUM([3]S!A1:A9)*Rate",
        "\"[2]S!A1\"&[3]S!A1",
        "SUM(Table1[[#This Row],[2]])+[0]!Local",
        "{1,2;3,4}+[1]S!$A:$A",
        "[1]Sheet1:Sheet3!A1",
        "IF([2]S!A1>0,_xlfn.XLOOKUP(A1,[1]S!A:A,[1]S!B:B),\"\")",
        "=[4]'It''s'!R1C1",
        "[1]!'R1C1'",
        "AND(A1>[1]S!$A$1,B1<'[2]S'!$A$1:$B$2,[1]!Limit)",
        "'C:\\Data\\[Source.xlsx]Data'!B2+[Book1]S!A1*'[1]S'!A1",
        "INDIRECT(\"'[Source.xlsx]Data'!B2\")&[Source.xlsx]!Rate",
    };
    int n = 0;
    for (const auto& f : formulas) {
      WriteText(out / "formula" / ("f" + std::to_string(n++)), std::string("\x04\x01\x00\x02\x05", 5) + f);
      WriteText(out / "formula" / ("f" + std::to_string(n++)), std::string("\x00", 1) + f);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
