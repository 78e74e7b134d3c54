// Corners of the formulas scripts and other tools write: text that only
// names a book, formulas saved without a value, link parts left out of the
// list, and books named by file with no link part at all.

#include "EngineFixture.h"

namespace quorvane::ooxml::test {
namespace {

using Parts = std::map<std::string, std::string>;
using Cases = std::vector<std::pair<std::string, std::string>>;  // cell before, after

std::string Row(const Cases& cells, std::string more = {}) {
  for (const auto& c : cells) more += c.first;
  return "<row r=\"1\">" + more + "</row>";
}

void ExpectCells(const std::string& sheet, const Cases& cells) {
  for (const auto& [before, after] : cells) EXPECT_TRUE(Contains(sheet, after)) << before << "\n" << sheet;
}

TEST_F(EngineTest, TextThatOnlyNamesTheSourceIsNoUseOfIt) {
  const Cases kept = {
      {R"(<c r="A1" t="str"><f>"[Source.xlsx]"</f><v>[Source.xlsx]</v></c>)", ""},
      {R"(<c r="B1" t="e"><f>INDIRECT("'[Source.xlsx]S'!A2")</f><v>#REF!</v></c>)", ""},
      {R"(<c r="C1" t="str"><f>HYPERLINK("[Source.xlsx]S!A1","open")</f><v>open</v></c>)", ""},
      {R"(<c r="D1" t="str"><f>Label&amp;"'C:\x\[Source.xlsx]S'!A1"</f><v>x</v></c>)", ""}};
  WorkbookBuilder b;
  b.AddBookLink(Book("Source.xlsx"));
  b.AddSheet("Main",
             Row(kept, R"(<c r="E1"><f>[1]S!A1</f><v>4</v></c><c r="F1"><f>'[Source.xlsx]S'!A2</f><v>5</v></c>)"));
  b.AddName("Label", R"("[Source.xlsx]")");
  auto p = Write(b);
  const auto before = ReadPackage(p);
  const auto usage = Workbook::Open(p).Usage();
  EXPECT_EQ(usage.size(), 1u) << "a book named in text is no source either";
  EXPECT_EQ(usage.at(1).cells + usage.at(1).names, 2u);

  BreakResult result;
  const auto after = BreakAll(p, &result);
  for (const auto& c : kept) EXPECT_TRUE(Contains(Sheet1(after), c.first)) << c.first;
  EXPECT_TRUE(Contains(Sheet1(after), R"(<c r="E1"><v>4</v></c><c r="F1"><v>5</v></c>)"));
  EXPECT_TRUE(Contains(after.at("xl/workbook.xml"), R"(<definedName name="Label">"[Source.xlsx]"</definedName>)"));
  EXPECT_EQ(result.cells + result.names + result.namesToRef, 2u);
  ExpectOnly(before, after,
             {"xl/worksheets/sheet1.xml", "xl/workbook.xml", "xl/_rels/workbook.xml.rels", "[Content_Types].xml"},
             {"xl/externalLinks/externalLink1.xml", "xl/externalLinks/_rels/externalLink1.xml.rels"});
}

// A formula saved without a value that is one cell of the source shows what
// the link cached there; any other keeps #REF!.
TEST_F(EngineTest, UncachedReferencesTakeTheValueTheLinkCached) {
  const Cases cases = {
      {R"(<c r="A1" s="3"><f>[1]S!A1</f></c>)", R"(<c r="A1" s="3"><v>2.5</v></c>)"},
      {R"(<c r="B1"><f>'[1]S'!$B$1</f><v></v></c>)",
       R"(<c r="B1" t="inlineStr"><is><t xml:space="preserve">a&amp;b</t></is></c>)"},
      {R"(<c r="C1" t="str"><f>[1]S!C1</f></c>)", R"(<c r="C1" t="b"><v>1</v></c>)"},
      {R"(<c r="D1" s="1"><f>[1]S!D1</f><v/></c>)", R"(<c r="D1" s="1" t="e"><v>#N/A</v></c>)"},
      {R"(<c r="E1" t="e"><f>[1]!Rate</f></c>)", R"(<c r="E1" t="n"><v>2.5</v></c>)"},
      {R"(<c r="F1"><f>[1]S!A1*2</f><v></v></c>)", R"(<c r="F1" t="e"><v>#REF!</v></c>)"},
      {R"(<c r="G1"><f>[1]S!Z9</f></c>)", R"(<c r="G1" t="e"><v>#REF!</v></c>)"},
      {R"(<c r="H1" cm="1"><f t="array" ref="H1:H2">[1]S!A1:A2</f></c>)", R"(<c r="H1" t="e"><v>#REF!</v></c>)"},
      {R"(<c r="I1"><f>[1]S!A1</f><v>7</v></c>)", R"(<c r="I1"><v>7</v></c>)"}};
  BookLink src = Book("Src.xlsx", R"(<row r="1"><cell r="A1"><v>2.5</v></cell><cell r="B1" t="str"><v>a&amp;b</v>)"
                                  R"(</cell><cell r="C1" t="b"><v>1</v></cell><cell r="D1" t="e"><v>#N/A</v>)"
                                  R"(</cell></row>)");
  src.definedNames = R"(<definedName name="Rate" refersTo="=S!$A$1"/>)";
  WorkbookBuilder b;
  b.AddBookLink(src);
  b.AddSheet("Main", Row(cases));
  auto p = Write(b);
  const auto usage = Workbook::Open(p).Usage().at(1);
  EXPECT_EQ(usage.cells, cases.size());
  EXPECT_EQ(usage.uncached, cases.size() - 1);

  BreakResult result;
  ExpectCells(Sheet1(BreakAll(p, &result)), cases);
  EXPECT_EQ(result.fromLinkCache, 5u);
  EXPECT_EQ(result.uncached, 3u);
}

// Link parts related to the workbook but left out of <externalReferences>
// are listed as unused and go with everything that names them.
TEST_F(EngineTest, LinkPartsLeftOutOfTheListAreRemovedWhole) {
  for (const bool alone : {true, false}) {
    SCOPED_TRACE(alone ? "alone" : "beside listed links");
    BookLink old = Book("Old.xlsx", R"(<row r="1"><cell r="A1"><v>1</v></cell></row>)");
    old.listed = false;
    WorkbookBuilder b;
    if (!alone) b.AddBookLink(Book("Src.xlsx")).AddBookLink(Book("Kept.xlsx"));
    b.AddBookLink(old).AddSheet("Main", alone ? "" : R"(<row r="1"><c r="A1"><f>[2]S!A1+[1]S!A1</f></c></row>)");
    auto p = Write(b);
    const auto before = ReadPackage(p);
    auto book = Workbook::Open(p);
    const LinkInfo unused = book.Links().back();
    EXPECT_EQ(unused.form, LinkForm::Unlisted);
    const LinkUsage n = book.Usage().at(unused.index);
    EXPECT_EQ(n.cells + n.names + n.charts + n.rules + n.controls, 0u);

    book.Break({unused.source});
    book.Save();
    const std::string k = alone ? "1" : "3";
    // The verifier has seen to it that no relationship or content type is left for them.
    ExpectOnly(before, ReadPackage(p), {"xl/_rels/workbook.xml.rels", "[Content_Types].xml"},
               {"xl/externalLinks/externalLink" + k + ".xml", "xl/externalLinks/_rels/externalLink" + k + ".xml.rels"});
    EXPECT_EQ(Workbook::Open(p).BookSources().size(), alone ? 0u : 2u);
  }
}

// Workbooks written by scripts name the other book by file and carry no link
// part; each book so named is a source of its own, broken like any other.
TEST_F(EngineTest, BooksNamedByFileWithoutALinkPartAreSourcesAndBreak) {
  const Cases cells = {
      {R"(<c r="A1"><f>'[Source.xlsx]Data'!B2</f><v>5</v></c>)", R"(<c r="A1"><v>5</v></c>)"},
      {R"(<c r="B1"><f>[Source.xlsx]Data!B3*2</f><v>6</v></c>)", R"(<c r="B1"><v>6</v></c>)"},
      {R"(<c r="C1"><f>'C:\Data\[Source.xlsx]Data'!B2</f><v></v></c>)", R"(<c r="C1" t="e"><v>#REF!</v></c>)"},
      {R"(<c r="D1" t="str"><f>"[Source.xlsx]"&amp;Rate</f><v>x</v></c>)", R"(<c r="D1" t="inlineStr">)"},
      {R"(<c r="E1"><f>[book.xlsx]Main!A1</f><v>5</v></c>)", R"(<f>[book.xlsx]Main!A1</f>)"}};  // itself
  WorkbookBuilder b;
  b.AddSheet("Main", Row(cells),
             R"(<dataValidations count="1"><dataValidation type="list" sqref="E1"><formula1>)"
             R"('[Source.xlsx]Data'!$A$1:$A$3</formula1></dataValidation></dataValidations>)");
  b.AddName("Rate", "'[Source.xlsx]Data'!$B$1");
  b.AddChart(0, R"(<c:chart><c:plotArea><c:barChart><c:ser><c:idx val="0"/><c:order val="0"/><c:val><c:numRef>)"
                R"(<c:f>'[Source.xlsx]Data'!$B$2:$B$3</c:f><c:numCache><c:ptCount val="1"/><c:pt idx="0"><c:v>5</c:v>)"
                R"(</c:pt></c:numCache></c:numRef></c:val></c:ser></c:barChart></c:plotArea></c:chart>)");
  auto p = Write(b);
  const auto before = ReadPackage(p);
  auto book = Workbook::Open(p);
  EXPECT_EQ(book.BookSources(), (std::vector<std::string>{(dir_ / "Source.xlsx").string(), "C:\\Data\\Source.xlsx"}));
  const auto usage = book.Usage().at(1);
  EXPECT_EQ(book.Links()[0].form, LinkForm::ByName);
  EXPECT_EQ(std::vector<std::size_t>({usage.cells, usage.names, usage.rules, usage.charts}),
            std::vector<std::size_t>({3, 1, 1, 1})) << "D1 uses it through Rate";

  book.Break(book.BookSources());
  book.Save();
  const auto after = ReadPackage(p);
  ExpectCells(Sheet1(after), cells);
  EXPECT_FALSE(Contains(Sheet1(after), "dataValidation")) << "no cache gives the list";
  EXPECT_TRUE(Contains(after.at("xl/workbook.xml"), R"(<definedName name="Rate">#REF!</definedName>)"));
  EXPECT_TRUE(Contains(after.at("xl/charts/chart1.xml"), "<c:val><c:numLit><c:ptCount val=\"1\"/>"));
  ExpectOnly(before, after, {"xl/worksheets/sheet1.xml", "xl/workbook.xml", "xl/charts/chart1.xml"}, {});
  EXPECT_TRUE(Workbook::Open(p).BookSources().empty());
}

// The verifier reads every part that names a book by file, edited or not.
TEST_F(EngineTest, ABreakThatMissesABookNamedByFileIsRefused) {
  WorkbookBuilder b;
  b.AddSheet("Main", Row({{R"(<c r="A1"><f>'[Source.xlsx]Data'!B2</f><v>5</v></c>)", ""}}));
  auto p = Write(b);
  const std::string before = ReadBytes(p);
  auto book = Workbook::Open(p);
  book.SetEditHookForTesting([](Parts& edited) { edited.clear(); });
  book.Break(book.BookSources());
  EXPECT_THROW(book.Save(), PackageError);
  EXPECT_EQ(ReadBytes(p), before);
}

}  // namespace
}  // namespace quorvane::ooxml::test
