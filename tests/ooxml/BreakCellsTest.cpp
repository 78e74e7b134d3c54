// Cell formulas: freezing to the cached value, renumbering survivors, shared
// and array groups, and the traps a naive search for "[n]" falls into.

#include "EngineFixture.h"

namespace quorvane::ooxml::test {
namespace {

TEST_F(EngineTest, BreakingTheMiddleOfThreeLinksFreezesItsUsersAndRenumbersTheRest) {
  WorkbookBuilder b;
  b.AddBookLink(Book("One.xlsx")).AddBookLink(Book("Two.xlsx")).AddBookLink(Book("Three.xlsx"));
  b.AddSheet("Main",
             R"(<row r="1"><c r="A1"><f>[1]S!A1</f><v>1</v></c>)"
             R"(<c r="B1"><f>[2]S!A1*2</f><v>2</v></c>)"
             R"(<c r="C1"><f>[3]S!A1+'[3]S'!B2</f><v>3</v></c>)"
             R"(<c r="D1"><f>[1]S!A1+[2]S!A1</f><v>4</v></c>)"
             R"(<c r="E1" t="str"><f>"[2]S!A1"&amp;[3]S!A1</f><v>x</v></c>)"
             R"(<c r="F1"><f>SUM(Table1[[#This Row],[2]])+[0]!Local</f><v>6</v></c></row>)");
  b.AddName("Third", "[3]S!$A$1");
  auto p = Write(b);
  auto before = ReadPackage(p);

  auto book = Workbook::Open(p);
  ASSERT_EQ(book.BookSources().size(), 3u);
  std::string two = book.BookSources()[1];
  auto result = book.Break({two});
  book.Save();
  auto after = ReadPackage(p);
  std::string sheet = Sheet1(after);

  EXPECT_TRUE(Contains(sheet, R"(<c r="A1"><f>[1]S!A1</f><v>1</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="B1"><v>2</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="C1"><f>[2]S!A1+'[2]S'!B2</f><v>3</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="D1"><v>4</v></c>)")) << "a formula mixing a kept and a broken link freezes";
  EXPECT_TRUE(Contains(sheet, R"(<f>"[2]S!A1"&amp;[2]S!A1</f>)")) << "text inside quotes is not a link";
  EXPECT_TRUE(Contains(sheet, R"(<f>SUM(Table1[[#This Row],[2]])+[0]!Local</f>)"));
  EXPECT_TRUE(Contains(after.at("xl/workbook.xml"), R"(<definedName name="Third">[2]S!$A$1</definedName>)"));
  EXPECT_EQ(result.cells, 2u);

  // The link's part, its rels, relationship and override are gone; the
  // survivors' parts are untouched.
  EXPECT_EQ(after.count("xl/externalLinks/externalLink2.xml"), 0u);
  EXPECT_EQ(after.count("xl/externalLinks/_rels/externalLink2.xml.rels"), 0u);
  EXPECT_FALSE(Contains(after.at("xl/_rels/workbook.xml.rels"), "externalLink2.xml"));
  EXPECT_FALSE(Contains(after.at("[Content_Types].xml"), "externalLink2.xml"));
  EXPECT_TRUE(Contains(after.at("xl/workbook.xml"),
                       R"(<externalReferences><externalReference r:id="rIdL1"/><externalReference r:id="rIdL3"/>)"
                       R"(</externalReferences>)"));
  for (const char* part : {"xl/externalLinks/externalLink1.xml", "xl/externalLinks/externalLink3.xml",
                           "xl/externalLinks/_rels/externalLink3.xml.rels", "_rels/.rels"})
    EXPECT_EQ(after.at(part), before.at(part)) << part;

  auto reopened = Workbook::Open(p);
  ASSERT_EQ(reopened.BookSources().size(), 2u);
  EXPECT_EQ(reopened.Links()[1].target, "Three.xlsx");
}

TEST_F(EngineTest, FrozenCellsKeepValueTypeAndStyleExactly) {
  WorkbookBuilder b;
  b.AddBookLink(Book("Src.xlsx"));
  b.AddSheet("Main",
             R"(<row r="1" spans="1:7"><c r="A1" s="3"><f>[1]S!A1</f><v>0.30000000000000004</v></c>)"
             R"(<c r="B1" t="b"><f>[1]S!B1</f><v>1</v></c>)"
             R"(<c r="C1" s="1" t="e"><f>[1]S!C1</f><v>#N/A</v></c>)"
             R"(<c r="D1" t="s"><f>[1]S!D1</f><v>4</v></c>)"
             R"(<c r="E1" t="str" s="2"><f>[1]S!E1</f><v>a &lt;b&gt; &amp; "c"</v></c>)"
             R"(<c r="F1" t="str"><f>[1]S!F1</f><v></v></c>)"
             R"(<c r="G1" s="5"><f>[1]S!G1</f></c>)"
             R"(<c r="H1" t="str"><f>[1]S!H1</f></c>)"
             R"(<c r="I1" t="inlineStr"><f>[1]S!I1</f><is><t>kept</t></is></c></row>)");
  BreakResult result;
  std::string sheet = Sheet1(BreakAll(Write(b), &result));

  EXPECT_TRUE(Contains(sheet, R"(<c r="A1" s="3"><v>0.30000000000000004</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="B1" t="b"><v>1</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="C1" s="1" t="e"><v>#N/A</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="D1" t="s"><v>4</v></c>)"));
  EXPECT_TRUE(Contains(
      sheet, R"(<c r="E1" t="inlineStr" s="2"><is><t xml:space="preserve">a &lt;b&gt; &amp; "c"</t></is></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="F1" t="inlineStr"><is><t xml:space="preserve"></t></is></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="G1" s="5" t="e"><v>#REF!</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="H1" t="e"><v>#REF!</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="I1" t="inlineStr"><is><t>kept</t></is></c>)"));
  EXPECT_EQ(result.cells, 9u);
  EXPECT_EQ(result.uncached, 2u);
  EXPECT_FALSE(Contains(sheet, "<f>"));
}

TEST_F(EngineTest, SharedAndArrayGroupsFreezeWholeWhenTheirAnchorUsesTheLink) {
  WorkbookBuilder b = TwoLinkBook();
  b.AddSheet("Main",
             R"(<row r="1"><c r="A1"><f t="shared" ref="A1:A3" si="0">[1]S!B1</f><v>1</v></c>)"
             R"(<c r="B1"><f t="shared" ref="B1:B3" si="1">C1*2</f><v>0</v></c>)"
             R"(<c r="C1"><f t="shared" ref="C1:C2" si="2">[2]S!A1</f><v>7</v></c>)"
             R"(<c r="D1" cm="1"><f t="array" ref="D1:D2">[1]S!A1:A2</f><v>5</v></c></row>)"
             R"(<row r="2"><c r="A2"><f t="shared" si="0"/><v>2</v></c><c r="B2"><f t="shared" si="1"/><v>0</v></c>)"
             R"(<c r="C2"><f t="shared" si="2"/><v>8</v></c><c r="D2"><v>6</v></c></row>)"
             R"(<row r="3"><c r="A3" s="4"><f t="shared" si="0"/><v>3</v></c><c r="B3"><f t="shared" si="1"/><v>0</v></c></row>)");
  auto p = Write(b);
  auto usage = Workbook::Open(p).Usage();
  EXPECT_EQ(usage.at(1).cells, 2u) << "a group counts once";
  EXPECT_EQ(usage.at(2).cells, 1u);
  BreakResult result;
  std::string sheet = Sheet1(BreakFirst(p, &result));

  EXPECT_TRUE(Contains(sheet, R"(<c r="A1"><v>1</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="A2"><v>2</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="A3" s="4"><v>3</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="B2"><f t="shared" si="1"/><v>0</v></c>)")) << "a local group stays";
  EXPECT_TRUE(Contains(sheet, R"(<c r="C1"><f t="shared" ref="C1:C2" si="2">[1]S!A1</f><v>7</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="C2"><f t="shared" si="2"/><v>8</v></c>)"));
  EXPECT_TRUE(Contains(sheet, R"(<c r="D1"><v>5</v></c>)")) << "array anchor loses formula and cm";
  EXPECT_EQ(result.cells, 4u);
}

}  // namespace
}  // namespace quorvane::ooxml::test
