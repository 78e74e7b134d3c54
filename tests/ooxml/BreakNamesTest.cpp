// Defined names on both sides of a link: names of the other workbook used
// through the link ([1]!Name), names of this workbook that reach the link
// through other names.

#include "EngineFixture.h"

namespace quorvane::ooxml::test {
namespace {

std::string NameXml(const std::string& name, const std::string& text) {
  return "<definedName name=\"" + name + "\">" + text + "</definedName>";
}

TEST_F(EngineTest, NamesOfTheOtherBookBecomeTheValuesItsLinkCached) {
  BookLink src;
  src.target = "Src.xlsx";
  src.sheetNames = {"S", "T", "My Sheet"};
  src.definedNames = R"(<definedName name="Rate" refersTo="=S!$A$1"/>)"
                     R"(<definedName name="Block" refersTo="=S!$A$1:$B$2"/>)"
                     R"(<definedName name="Local" refersTo="=T!$A$1" sheetId="1"/>)"
                     R"(<definedName name="Spaced" refersTo="='My Sheet'!$B$3"/>)"
                     R"(<definedName name="OwnPrefix" refersTo="[3]T!$A$1"/>)"
                     R"(<definedName name="Lost" refersTo="#REF!"/>)"
                     R"(<definedName name="Uncached" refersTo="=S!$C$9"/>)";
  src.sheetDataSet =
      R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>2.5</v></cell><cell r="B1" t="str"><v>a&amp;b</v></cell></row>)"
      R"(<row r="2"><cell r="A2" t="b"><v>1</v></cell><cell r="B2" t="e"><v>#N/A</v></cell></row></sheetData>)"
      R"(<sheetData sheetId="1"><row r="1"><cell r="A1"><v>7</v></cell></row></sheetData>)"
      R"(<sheetData sheetId="2"><row r="3"><cell r="B3" t="str"><v>say "hi"</v></cell></row></sheetData>)";
  BookLink noCache = src;
  noCache.target = "NoCache.xlsx";
  noCache.sheetDataSet.clear();

  WorkbookBuilder b;
  b.AddBookLink(src).AddBookLink(noCache);
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]!Rate*2</f><v>5</v></c><c r="B1"><f>'[1]T'!Local</f><v>7</v></c>)"
                     R"(<c r="C1"><f>WholeName+1</f><v>3.5</v></c><c r="D1"><f>[2]!Rate</f><v>1</v></c>)"
                     R"(<c r="E1"><f>SUM(A1:B1)</f><v>12</v></c></row>)");
  b.AddName("WholeName", "[1]!Rate");
  b.AddName("WholeBlock", "[1]!block");  // names compare without case
  b.AddName("SheetLevel", "[1]T!Local");
  b.AddName("QuotedTarget", "[1]!Spaced");
  b.AddName("RecordedWithBook", "[1]!OwnPrefix");
  b.AddName("WrongScope", "[1]S!Local");
  b.AddName("RecordedAsRef", "[1]!Lost");
  b.AddName("NotInCache", "[1]!Uncached");
  b.AddName("Unknown", "[1]!Missing");
  b.AddName("SecondBook", "[2]!Rate");
  // Names of this book that use the cells directly.
  b.AddName("Direct", "[1]S!$A$1:$B$2", 0, "hidden=\"1\"");
  b.AddName("Gone", "[2]S!$A$1");
  b.AddName("Mixed", "[1]S!$A$1+1");
  BreakResult result;
  auto parts = BreakAll(Write(b), &result);
  const std::string wb = parts.at("xl/workbook.xml");
  const std::string sheet = Sheet1(parts);

  EXPECT_TRUE(Contains(wb, NameXml("WholeName", "2.5")));
  EXPECT_TRUE(Contains(wb, NameXml("WholeBlock", "{2.5,\"a&amp;b\";TRUE,#N/A}")));
  EXPECT_TRUE(Contains(wb, NameXml("SheetLevel", "7")));
  EXPECT_TRUE(Contains(wb, NameXml("QuotedTarget", R"("say ""hi""")")));
  EXPECT_TRUE(Contains(wb, NameXml("RecordedWithBook", "7")));
  EXPECT_TRUE(Contains(wb, R"(<definedName name="Direct" localSheetId="0" hidden="1">{2.5,"a&amp;b";TRUE,#N/A})"));
  for (const char* name : {"WrongScope", "RecordedAsRef", "NotInCache", "Unknown", "SecondBook", "Gone", "Mixed"})
    EXPECT_TRUE(Contains(wb, NameXml(name, "#REF!"))) << name;
  EXPECT_EQ(result.names, 6u);
  EXPECT_EQ(result.namesToRef, 7u);
  EXPECT_FALSE(Contains(wb, "externalReferences"));

  // Cells using the other book's names, directly or through ours, keep what they show.
  EXPECT_TRUE(Contains(sheet, R"(<c r="A1"><v>5</v></c><c r="B1"><v>7</v></c><c r="C1"><v>3.5</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="D1"><v>1</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="E1"><f>SUM(A1:B1)</f>)"));
  EXPECT_EQ(result.cells, 4u);
}

TEST_F(EngineTest, EveryUseOfANameThatReachesTheSourceIsFound) {
  WorkbookBuilder b;
  b.AddBookLink(Book("Src.xlsx", R"(<row r="1"><cell r="A1" t="str"><v>a</v></cell><cell r="B1"><v>4</v></cell></row>)"
                                 R"(<row r="2"><cell r="A2" t="str"><v>b</v></cell></row>)"
                                 R"(<row r="3"><cell r="A3" t="str"><v>c</v></cell></row>)"));
  b.AddSheet("Main",
             R"(<row r="1"><c r="A1" t="str"><f>[0]!Linked</f><v>a</v></c><c r="B1"><f>Main!Scoped</f><v>4</v></c>)"
             R"(<c r="C1"><f>Scoped</f><v>4</v></c><c r="D1"><f>Chain*2</f><v>10</v></c>)"
             R"(<c r="E1"><f>'Main'!SCOPED+0</f><v>4</v></c><c r="F1" t="str"><f>"Linked"&amp;1</f><v>Linked1</v></c>)"
             R"(<c r="G1"><f>Second!Scoped</f><v>0</v></c><c r="H1"><f>Scale(2)</f><v>8</v></c></row>)",
             R"(<conditionalFormatting sqref="A1"><cfRule type="expression" priority="1"><formula>B1&gt;Linked2)"
             R"(</formula></cfRule></conditionalFormatting><dataValidations count="1">)"
             R"(<dataValidation type="list" sqref="H1"><formula1>ListAlias</formula1></dataValidation>)"
             R"(</dataValidations>)");
  b.AddSheet("Second", R"(<row r="1"><c r="A1"><f>Scoped</f><v>0</v></c><c r="B1"><f>Main!Scoped</f><v>4</v></c>)"
                       R"(<c r="C1" t="str"><f>LINKED</f><v>a</v></c></row>)");
  b.AddName("Chain", "Alias+1");  // first, and two names away from the link
  b.AddName("Alias", "[0]!Linked");
  b.AddName("Linked", "[1]S!$A$1");
  b.AddName("Linked2", "[0]!Scoped2");
  b.AddName("Scoped2", "[1]S!$B$1");
  b.AddName("Scoped", "[1]S!$B$1", 0);
  b.AddName("Scoped", "Second!$A$1", 1);  // same name, other sheet, no link
  b.AddName("Choices", "[1]S!$A$1:$A$3");
  b.AddName("ListAlias", "Choices");
  b.AddName("Scale", "_xlfn.LAMBDA(_xlpm.x,_xlpm.x*[1]S!$B$1)");  // called like a function
  auto p = Write(b);

  auto usage = Workbook::Open(p).Usage().at(1);
  EXPECT_EQ(usage.cells, 8u);
  EXPECT_EQ(usage.rules, 2u);
  EXPECT_EQ(usage.names, 9u);

  BreakResult result;
  auto parts = BreakAll(p, &result);
  const std::string main = Sheet1(parts);
  const std::string second = parts.at("xl/worksheets/sheet2.xml");
  const std::string wb = parts.at("xl/workbook.xml");

  EXPECT_TRUE(Contains(main, R"(<c r="A1" t="inlineStr"><is><t xml:space="preserve">a</t></is></c>)"));
  EXPECT_TRUE(Contains(main, R"(<c r="B1"><v>4</v></c><c r="C1"><v>4</v></c><c r="D1"><v>10</v></c>)"));
  EXPECT_TRUE(Contains(main, R"(<c r="E1"><v>4</v></c>)"));
  EXPECT_TRUE(Contains(main, R"(<c r="F1" t="str"><f>"Linked"&amp;1</f>)")) << "text, not a name";
  EXPECT_TRUE(Contains(main, R"(<c r="G1"><f>Second!Scoped</f>)")) << "the other sheet's own name";
  EXPECT_TRUE(Contains(main, R"(<c r="H1"><v>8</v></c>)"));
  EXPECT_TRUE(Contains(main, "<formula>B1&gt;Linked2</formula>")) << "its name became a constant and still serves";
  EXPECT_TRUE(Contains(main, R"(<formula1>"a,b,c"</formula1>)")) << "list found through two names";
  EXPECT_TRUE(Contains(second, R"(<c r="A1"><f>Scoped</f>)"));
  EXPECT_TRUE(Contains(second, R"(<c r="B1"><v>4</v></c>)"));
  EXPECT_TRUE(Contains(second, R"(<c r="C1" t="inlineStr">)"));
  EXPECT_EQ(result.cells, 8u);
  EXPECT_EQ(result.rulesRemoved, 0u);
  EXPECT_EQ(result.rulesConverted, 2u);

  // Names that only use other names keep working on the constants.
  EXPECT_TRUE(Contains(wb, NameXml("Alias", "[0]!Linked")));
  EXPECT_TRUE(Contains(wb, NameXml("Chain", "Alias+1")));
  EXPECT_TRUE(Contains(wb, NameXml("Scale", "#REF!")));
  EXPECT_TRUE(Contains(wb, NameXml("Linked", "\"a\"")));
  EXPECT_TRUE(Contains(wb, R"(<definedName name="Scoped" localSheetId="0">4</definedName>)"));
  EXPECT_TRUE(Contains(wb, R"(<definedName name="Scoped" localSheetId="1">Second!$A$1</definedName>)"));
}

}  // namespace
}  // namespace quorvane::ooxml::test
