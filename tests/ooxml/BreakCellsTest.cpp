// Cell formulas and defined names: freezing to the cached value or the one
// the link cached, renumbering survivors, shared and array groups, names on
// both sides of a link, books named by file, and the traps a naive search for
// "[n]" falls into.

#include <tuple>
#include <utility>
#include <vector>

#include "EngineFixture.h"

namespace quorvane::ooxml::test {
namespace {

using Cells = std::vector<std::pair<std::string, std::string>>;  // cell before, after

std::string Row(const Cells& cells) {
  std::string row = "<row r=\"1\">";
  for (const auto& c : cells) row += c.first;
  return row + "</row>";
}

void ExpectCells(const std::string& sheet, const Cells& cells) {
  for (const auto& [before, after] : cells) EXPECT_TRUE(Contains(sheet, after)) << before << "\n -> " << after;
}

std::string NameXml(const std::string& name, const std::string& text) {
  return "<definedName name=\"" + name + "\">" + text + "</definedName>";
}

// Book links [1] One, [2] Two, [3] Three, DDE [4] and OLE [5]; Two is broken,
// the rest renumbered. Old, a link part related to the workbook but left out
// of <externalReferences>, is listed as unused and goes whole when broken; so
// does Source.xlsx, named by file only, a source of its own in each folder.
// In Strict packages too: the verifier refuses a part that mixes namespaces.
TEST_F(EngineTest, BreakingTheMiddleOfThreeLinksFreezesItsUsersAndRenumbersTheRest) {
  const Cells cells = {
      {R"(<c r="A1"><f>[1]S!A1</f><v>1</v></c>)", R"(<c r="A1"><f>[1]S!A1</f><v>1</v></c>)"},
      {R"(<c r="B1"><f>[2]S!A1*2</f><v>2</v></c>)", R"(<c r="B1"><v>2</v></c>)"},
      {R"(<c r="C1"><f>[3]S!A1+'[3]S'!B2</f><v>3</v></c>)", R"(<c r="C1"><f>[2]S!A1+'[2]S'!B2</f><v>3</v></c>)"},
      // A formula mixing a kept and a broken link freezes.
      {R"(<c r="D1"><f>[1]S!A1+[2]S!A1</f><v>4</v></c>)", R"(<c r="D1"><v>4</v></c>)"},
      // Frozen cells keep value, type and style exactly.
      {R"(<c r="G1" s="3"><f>[2]S!G1</f><v>0.30000000000000004</v></c>)",
       R"(<c r="G1" s="3"><v>0.30000000000000004</v></c>)"},
      {R"(<c r="H1" t="b"><f>[2]S!H1</f><v>1</v></c>)", R"(<c r="H1" t="b"><v>1</v></c>)"},
      {R"(<c r="I1" s="1" t="e"><f>[2]S!I1</f><v>#N/A</v></c>)", R"(<c r="I1" s="1" t="e"><v>#N/A</v></c>)"},
      {R"(<c r="J1" t="s"><f>[2]S!J1</f><v>4</v></c>)", R"(<c r="J1" t="s"><v>4</v></c>)"},
      {R"(<c r="K1" t="str" s="2"><f>[2]S!K1</f><v>a &lt;b&gt; &amp; "c"</v></c>)",
       R"(<c r="K1" t="inlineStr" s="2"><is><t xml:space="preserve">a &lt;b&gt; &amp; "c"</t></is></c>)"},
      {R"(<c r="L1" t="str"><f>[2]S!L1</f><v></v></c>)",
       R"(<c r="L1" t="inlineStr"><is><t xml:space="preserve"></t></is></c>)"},
      {R"(<c r="M1" t="inlineStr"><f>[2]S!M1</f><is><t>kept</t></is></c>)",
       R"(<c r="M1" t="inlineStr"><is><t>kept</t></is></c>)"},
      // Saved without a value: one cell of the source shows what the link
      // cached there; anything else becomes #REF!.
      {R"(<c r="N1" s="3"><f>[2]S!A1</f></c>)", R"(<c r="N1" s="3"><v>2.5</v></c>)"},
      {R"(<c r="O1"><f>'[2]S'!$B$1</f><v></v></c>)",
       R"(<c r="O1" t="inlineStr"><is><t xml:space="preserve">a&amp;b</t></is></c>)"},
      {R"(<c r="P1" t="str"><f>[2]S!C1</f></c>)", R"(<c r="P1" t="b"><v>1</v></c>)"},
      {R"(<c r="Q1" s="1"><f>[2]S!D1</f><v/></c>)", R"(<c r="Q1" s="1" t="e"><v>#N/A</v></c>)"},
      {R"(<c r="R1" t="e"><f>[2]!Rate</f></c>)", R"(<c r="R1" t="n"><v>2.5</v></c>)"},
      {R"(<c r="S1"><f>[2]S!A1*2</f><v></v></c>)", R"(<c r="S1" t="e"><v>#REF!</v></c>)"},
      {R"(<c r="T1" s="5"><f>[2]S!Z9</f></c>)", R"(<c r="T1" s="5" t="e"><v>#REF!</v></c>)"},
      {R"(<c r="U1" t="str"><f>[2]S!Z9</f></c>)", R"(<c r="U1" t="e"><v>#REF!</v></c>)"},
      {R"(<c r="V1" cm="1"><f t="array" ref="V1:V2">[2]S!A1:A2</f></c>)", R"(<c r="V1" t="e"><v>#REF!</v></c>)"},
      // Shared and array groups freeze whole when their anchor uses the link.
      {R"(<c r="W1"><f t="shared" ref="W1:Y1" si="0">[2]S!B1</f><v>1</v></c>)", R"(<c r="W1"><v>1</v></c>)"},
      {R"(<c r="X1"><f t="shared" si="0"/><v>2</v></c>)", R"(<c r="X1"><v>2</v></c>)"},
      {R"(<c r="Y1" s="4"><f t="shared" si="0"/><v>3</v></c>)", R"(<c r="Y1" s="4"><v>3</v></c>)"},
      {R"(<c r="Z1"><f t="shared" ref="Z1:AA1" si="1">AB1*2</f><v>0</v></c>)", R"(<f t="shared" ref="Z1:AA1" si="1">)"},
      {R"(<c r="AA1"><f t="shared" si="1"/><v>0</v></c>)", R"(<c r="AA1"><f t="shared" si="1"/><v>0</v></c>)"},
      {R"(<c r="AB1"><f t="shared" ref="AB1:AC1" si="2">[3]S!A1</f><v>7</v></c>)",
       R"(<c r="AB1"><f t="shared" ref="AB1:AC1" si="2">[2]S!A1</f><v>7</v></c>)"},
      {R"(<c r="AC1"><f t="shared" si="2"/><v>8</v></c>)", R"(<c r="AC1"><f t="shared" si="2"/><v>8</v></c>)"},
      {R"(<c r="AD1" cm="1"><f t="array" ref="AD1:AD2">[2]S!A1:A2</f><v>5</v></c>)", R"(<c r="AD1"><v>5</v></c>)"},
      // Text that only names the book is no use of it; its name in a reference is.
      {R"(<c r="AH1" t="str"><f>Label&amp;"'C:\x\[Two.xlsx]S'!A1"</f><v>x</v></c>)", "<f>Label&amp;"},
      {R"(<c r="AI1"><f>'[Two.xlsx]S'!A2</f><v>5</v></c>)", R"(<c r="AI1"><v>5</v></c>)"},
      // DDE and OLE links are no book sources: they stay, renumbered.
      {R"(<c r="AJ1"><f>[4]!'R1C1'</f><v>1</v></c>)", R"(<c r="AJ1"><f>[3]!'R1C1'</f><v>1</v></c>)"},
      {R"(<c r="AK1"><f>[5]!''''</f><v>3</v></c>)", R"(<c r="AK1"><f>[4]!''''</f><v>3</v></c>)"},
      // Books named by file, without a link part, as scripts write them.
      {R"(<c r="AL1"><f>'[Source.xlsx]Data'!B2</f><v>5</v></c>)", R"(<c r="AL1"><v>5</v></c>)"},
      {R"(<c r="AM1"><f>[Source.xlsx]Data!B3*2</f><v>6</v></c>)", R"(<c r="AM1"><v>6</v></c>)"},
      {R"(<c r="AN1"><f>'C:\Data\[Source.xlsx]Data'!B2</f><v></v></c>)", R"(<c r="AN1" t="e"><v>#REF!</v></c>)"},
      {R"(<c r="AO1" t="str"><f>"[Source.xlsx]"&amp;Fee</f><v>x</v></c>)", R"(<c r="AO1" t="inlineStr">)"},
      {R"(<c r="AP1"><f>[book.xlsx]Main!A1</f><v>5</v></c>)", R"(<f>[book.xlsx]Main!A1</f>)"}};  // itself
  BookLink two = Book("Two.xlsx", R"(<row r="1"><cell r="A1"><v>2.5</v></cell><cell r="B1" t="str"><v>a&amp;b</v>)"
                                  R"(</cell><cell r="C1" t="b"><v>1</v></cell><cell r="D1" t="e"><v>#N/A</v>)"
                                  R"(</cell></row>)");
  two.definedNames = R"(<definedName name="Rate" refersTo="=S!$A$1"/>)";
  BookLink old = Book("Old.xlsx", R"(<row r="1"><cell r="A1"><v>1</v></cell></row>)");
  old.listed = false;
  for (const bool strict : {false, true}) {
    SCOPED_TRACE(strict ? "Strict" : "transitional");
    WorkbookBuilder b;
    b.AddBookLink(Book("One.xlsx")).AddBookLink(two).AddBookLink(Book("Three.xlsx"));
    b.AddDdeLink("Server", "Topic").AddOleLink("Package", "C:\\doc.bin").AddBookLink(old);
    b.AddSheet("Main", Row(cells),
               R"(<dataValidations count="1"><dataValidation type="list" sqref="AP1"><formula1>'[Source.xlsx]Data'!)"
               R"($A$1:$A$3</formula1></dataValidation></dataValidations><oleObjects><oleObject progId="Package" )"
               R"(link="[5]!''''" shapeId="1025"/></oleObjects>)");
    b.AddName("Third", "[3]S!$A$1").AddName("Label", R"("[Two.xlsx]")").AddName("Fee", "'[Source.xlsx]Data'!$B$1");
    b.AddSheet("Charts", "");
    b.AddChart(1, R"(<c:chart><c:title><c:tx><c:strRef><c:f>[2]S!$B$1</c:f><c:strCache><c:ptCount val="1"/>)"
                  R"(<c:pt idx="0"><c:v>x</c:v></c:pt></c:strCache></c:strRef></c:tx></c:title><c:plotArea><c:barChart>)"
                  R"(<c:ser><c:idx val="0"/><c:order val="0"/><c:val><c:numRef><c:f>'[Source.xlsx]Data'!$B$2:$B$3</c:f>)"
                  R"(<c:numCache><c:ptCount val="1"/><c:pt idx="0"><c:v>5</c:v></c:pt></c:numCache></c:numRef></c:val>)"
                  R"(</c:ser></c:barChart></c:plotArea></c:chart>)");
    b.SetCalcChain(R"(<c r="B1" i="1"/>)");  // goes with the formulas it lists
    if (strict) b.SetStrict();
    auto p = Write(b);
    const auto before = ReadPackage(p);
    auto book = Workbook::Open(p);
    const auto sources = book.BookSources();
    const auto in = [&](const char* name) { return (tmp_ / name).string(); };
    ASSERT_EQ(sources, (std::vector<std::string>{in("One.xlsx"), in("Two.xlsx"), in("Three.xlsx"), in("Old.xlsx"),
                                                 in("Source.xlsx"), "C:\\Data\\Source.xlsx"}));
    EXPECT_EQ(book.Links()[5].form, LinkForm::Unlisted);
    EXPECT_EQ(book.Links()[6].form, LinkForm::ByName);
    const auto usage = book.Usage();
    const auto [ofTwo, ofOld, byName] = std::make_tuple(usage.at(2), usage.at(6), usage.at(7));
    EXPECT_EQ(std::vector<std::size_t>({ofTwo.cells, ofTwo.uncached, ofOld.cells + ofOld.names + ofOld.charts,
                                        byName.cells, byName.names, byName.rules, byName.charts}),
              std::vector<std::size_t>({21, 9, 0, 3, 1, 1, 1}))
        << "a group counts once; AO1 uses Source.xlsx through Fee";
    // The verifier reads every part that names a book by file, edited or not.
    book.SetEditHookForTesting([](Parts& edited) { edited.clear(); });
    book.Break({sources[4], sources[5]});
    EXPECT_THROW(book.Save(), PackageError);
    book = Workbook::Open(p);
    const auto result = book.Break({sources[1], sources[3], sources[4], sources[5]});
    book.Save();
    const auto after = ReadPackage(p);

    ExpectCells(after.at(kSheet1), cells);
    EXPECT_TRUE(Contains(after.at(kSheet1), R"(</sheetData><oleObjects><oleObject progId="Package" link="[4]!''''")"))
        << "no cache gives the list: it goes";
    EXPECT_TRUE(Contains(after.at("xl/charts/chart1.xml"), "<c:val><c:numLit><c:ptCount val=\"1\"/>"));
    const std::string wb = after.at("xl/workbook.xml");
    EXPECT_TRUE(Contains(wb, NameXml("Third", "[2]S!$A$1") + NameXml("Label", R"("[Two.xlsx]")") +
                                 NameXml("Fee", "#REF!")));
    EXPECT_TRUE(Contains(wb, R"(<externalReference r:id="rIdL1"/><externalReference r:id="rIdL3"/>)"
                             R"(<externalReference r:id="rIdL4"/><externalReference r:id="rIdL5"/></)"));
    EXPECT_EQ(std::vector<std::size_t>({result.cells, result.uncached, result.fromLinkCache}),
              std::vector<std::size_t>({27, 5, 5}));
    ExpectOnly(before, after, {kSheet1, "xl/charts/chart1.xml"},
               {"xl/externalLinks/externalLink2.xml", "xl/externalLinks/_rels/externalLink2.xml.rels",
                "xl/externalLinks/externalLink6.xml", "xl/externalLinks/_rels/externalLink6.xml.rels",
                "xl/calcChain.xml"});
    EXPECT_FALSE(Contains(after.at("xl/_rels/workbook.xml.rels") + after.at("[Content_Types].xml"), "calcChain"));
    EXPECT_EQ(Workbook::Open(p).BookSources(), (std::vector<std::string>{sources[0], sources[2]}));
  }
}
// Our names as written (by name, what they refer to) and what they become.
struct Name {
  const char* name;
  std::string before, after;
};

// The other book's names become the values its link cached; every use of a
// name of ours that reaches the source, however far, is found.
TEST_F(EngineTest, NamesOnBothSidesOfALinkAndEveryUseOfThemAreFound) {
  const Cells main = {
      {R"(<c r="A1" t="str"><f>[0]!Linked</f><v>a</v></c>)",
       R"(<c r="A1" t="inlineStr"><is><t xml:space="preserve">a</t></is></c>)"},
      {R"(<c r="B1"><f>Main!Scoped</f><v>4</v></c>)", R"(<c r="B1"><v>4</v></c>)"},
      {R"(<c r="C1"><f>Scoped</f><v>4</v></c>)", R"(<c r="C1"><v>4</v></c>)"},
      {R"(<c r="D1"><f>Chain*2</f><v>10</v></c>)", R"(<c r="D1"><v>10</v></c>)"},
      {R"(<c r="E1"><f>'Main'!SCOPED+0</f><v>4</v></c>)", R"(<c r="E1"><v>4</v></c>)"},
      {R"(<c r="F1" t="str"><f>"Linked"&amp;1</f><v>Linked1</v></c>)", R"(<f>"Linked"&amp;1</f>)"},  // text
      {R"(<c r="G1"><f>Second!Scoped</f><v>0</v></c>)", R"(<f>Second!Scoped</f>)"},  // the other sheet's name
      {R"(<c r="H1"><f>Scale(2)</f><v>8</v></c>)", R"(<c r="H1"><v>8</v></c>)"},
      // Cells using the other book's names, directly or through ours, keep what they show.
      {R"(<c r="I1"><f>[1]!Rate*2</f><v>5</v></c>)", R"(<c r="I1"><v>5</v></c>)"},
      {R"(<c r="J1"><f>'[1]T'!Local</f><v>7</v></c>)", R"(<c r="J1"><v>7</v></c>)"},
      {R"(<c r="K1"><f>WholeName+1</f><v>3.5</v></c>)", R"(<c r="K1"><v>3.5</v></c>)"},
      {R"(<c r="L1"><f>[2]!Rate</f><v>1</v></c>)", R"(<c r="L1"><v>1</v></c>)"},
      {R"(<c r="M1"><f>SUM(I1:J1)</f><v>12</v></c>)", R"(<c r="M1"><f>SUM(I1:J1)</f>)"}};
  const Cells second = {{R"(<c r="A1"><f>Scoped</f><v>0</v></c>)", R"(<c r="A1"><f>Scoped</f>)"},
                        {R"(<c r="B1"><f>Main!Scoped</f><v>4</v></c>)", R"(<c r="B1"><v>4</v></c>)"},
                        {R"(<c r="C1" t="str"><f>LINKED</f><v>a</v></c>)", R"(<c r="C1" t="inlineStr">)"}};
  const std::vector<Name> names = {
      {"Chain", "Alias+1", "Alias+1"},  // first, and two names away from the link
      {"Alias", "[0]!Linked", "[0]!Linked"},
      {"Linked", "[1]S!$E$1", "\"a\""},
      {"Linked2", "[0]!Scoped2", "[0]!Scoped2"},
      {"Scoped2", "[1]S!$F$1", "4"},
      {"Choices", "[1]S!$E$1:$E$3", "{\"a\";\"b\";\"c\"}"},
      {"ListAlias", "Choices", "Choices"},
      {"Scale", "_xlfn.LAMBDA(_xlpm.x,_xlpm.x*[1]S!$F$1)", "#REF!"},  // called like a function
      {"WholeName", "[1]!Rate", "2.5"},
      {"WholeBlock", "[1]!block", "{2.5,\"a&amp;b\";TRUE,#N/A}"},  // names compare without case
      {"SheetLevel", "[1]T!Local", "7"},
      {"QuotedTarget", "[1]!Spaced", R"("say ""hi""")"},
      {"RecordedWithBook", "[1]!OwnPrefix", "7"},
      {"WrongScope", "[1]S!Local", "#REF!"},
      {"RecordedAsRef", "[1]!Lost", "#REF!"},
      {"NotInCache", "[1]!Uncached", "#REF!"},
      {"Unknown", "[1]!Missing", "#REF!"},
      {"SecondBook", "[2]!Rate", "#REF!"},
      {"Gone", "[2]S!$A$1", "#REF!"},  // ours, using the cells directly
      {"Mixed", "[1]S!$A$1+1", "#REF!"},
  };
  BookLink src = Book("Src.xlsx");
  src.sheetNames = {"S", "T", "My Sheet"};
  src.definedNames = R"(<definedName name="Rate" refersTo="=S!$A$1"/>)"
                     R"(<definedName name="Block" refersTo="=S!$A$1:$B$2"/>)"
                     R"(<definedName name="Local" refersTo="=T!$A$1" sheetId="1"/>)"
                     R"(<definedName name="Spaced" refersTo="='My Sheet'!$B$3"/>)"
                     R"(<definedName name="OwnPrefix" refersTo="[3]T!$A$1"/>)"
                     R"(<definedName name="Lost" refersTo="#REF!"/>)"
                     R"(<definedName name="Uncached" refersTo="=S!$C$9"/>)";
  src.sheetDataSet =
      R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>2.5</v></cell><cell r="B1" t="str"><v>a&amp;b</v></cell>)"
      R"(<cell r="E1" t="str"><v>a</v></cell><cell r="F1"><v>4</v></cell></row><row r="2"><cell r="A2" t="b">)"
      R"(<v>1</v></cell><cell r="B2" t="e"><v>#N/A</v></cell><cell r="E2" t="str"><v>b</v></cell></row>)"
      R"(<row r="3"><cell r="E3" t="str"><v>c</v></cell></row></sheetData>)"
      R"(<sheetData sheetId="1"><row r="1"><cell r="A1"><v>7</v></cell></row></sheetData>)"
      R"(<sheetData sheetId="2"><row r="3"><cell r="B3" t="str"><v>say "hi"</v></cell></row></sheetData>)";
  BookLink noCache = src;
  noCache.target = "NoCache.xlsx";
  noCache.sheetDataSet.clear();
  WorkbookBuilder b;
  b.AddBookLink(src).AddBookLink(noCache);
  b.AddSheet("Main", Row(main),
             R"(<conditionalFormatting sqref="A1"><cfRule type="expression" priority="1"><formula>B1&gt;Linked2)"
             R"(</formula></cfRule></conditionalFormatting><dataValidations count="1">)"
             R"(<dataValidation type="list" sqref="H1"><formula1>ListAlias</formula1></dataValidation>)"
             R"(</dataValidations>)");
  b.AddSheet("Second", Row(second));
  for (const auto& n : names) b.AddName(n.name, n.before);
  b.AddName("Scoped", "[1]S!$F$1", 0);
  b.AddName("Scoped", "Second!$A$1", 1);  // same name, other sheet, no link
  b.AddName("Direct", "[1]S!$A$1:$B$2", 0, "hidden=\"1\"");
  const auto p = Write(b);
  const auto usage = Workbook::Open(p).Usage().at(1);
  EXPECT_EQ(std::vector<std::size_t>({usage.cells, usage.rules, usage.names}), std::vector<std::size_t>({11, 2, 20}));

  BreakResult result;
  const auto parts = Break(p, &result);
  ExpectCells(parts.at(kSheet1), main);
  ExpectCells(parts.at("xl/worksheets/sheet2.xml"), second);
  // The rule's name became a constant and still serves; the list is found through two names.
  EXPECT_TRUE(Contains(parts.at(kSheet1), "<formula>B1&gt;Linked2</formula>"));
  EXPECT_TRUE(Contains(parts.at(kSheet1), R"(<formula1>"a,b,c"</formula1>)"));
  EXPECT_EQ(std::vector<std::size_t>({result.cells, result.names, result.namesToRef, result.rulesRemoved,
                                      result.rulesConverted}),
            std::vector<std::size_t>({12, 10, 8, 0, 2}));
  const std::string wb = parts.at("xl/workbook.xml");
  for (const auto& n : names) EXPECT_TRUE(Contains(wb, NameXml(n.name, n.after))) << n.name;
  EXPECT_TRUE(Contains(wb, R"(<definedName name="Scoped" localSheetId="0">4</definedName>)"));
  EXPECT_TRUE(Contains(wb, R"(<definedName name="Scoped" localSheetId="1">Second!$A$1</definedName>)"));
  EXPECT_TRUE(Contains(wb, R"(<definedName name="Direct" localSheetId="0" hidden="1">{2.5,"a&amp;b";TRUE,#N/A})"));
}

TEST(SourceName, ResolvesRelativeTargetsAndDecodesFileUrls) {
  const fs::path book = fs::path("/data/books") / "main.xlsx";
  const auto near = [](const fs::path& p) { return p.lexically_normal().string(); };
  const std::pair<const char*, std::string> cases[] = {
      {"../up/B.xlsx", near("/data/up/B.xlsx")},
      {"My%20Book.xlsx", near("/data/books/My Book.xlsx")},
      {"file:///C:\\x\\B%20c.xlsx", "C:\\x\\B c.xlsx"},
      {"file:///\\\\server\\share\\B.xlsx", "\\\\server\\share\\B.xlsx"},
      {"file:///Users/me/B.xlsx", "/Users/me/B.xlsx"},
      {"C:\\abs\\B.xlsx", "C:\\abs\\B.xlsx"},
      {"https://host/a%20b.xlsx", "https://host/a%20b.xlsx"},
  };
  for (const auto& [target, expected] : cases) EXPECT_EQ(SourceName(target, book), expected) << target;
}

}  // namespace
}  // namespace quorvane::ooxml::test
