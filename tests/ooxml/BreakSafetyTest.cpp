// What must not change: bytes outside the edits, untouched entries, files the
// engine refuses or fails to verify; one Workbook object over several saves;
// sheets large enough for the rewrite to be split over threads.

#include <fstream>

#include "EngineFixture.h"

namespace quorvane::ooxml::test {
namespace {

using quorvane::testing::PackageEntries;

TEST_F(EngineTest, EditedPartsChangeOnlyInsideTheirEditsAndOtherEntriesNotAtAll) {
  // Excel's own prefixes, line ends and spacing, around three cells.
  const auto sheet = [](const std::string& a1, const std::string& b1, const std::string& c1) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
           "<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
           "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" mc:Ignorable=\"x14ac\" "
           "xmlns:x14ac=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac\">\r\n"
           "  <x:sheetData>\r\n    <x:row r=\"1\" x14ac:dyDescent=\"0.25\">\r\n      " + a1 + "\r\n      " + b1 +
           "\r\n      " + c1 + "\r\n    </x:row>\r\n  </x:sheetData>\r\n"
           "  <mc:AlternateContent><mc:Choice Requires=\"x14ac\"><x:pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" "
           "bottom=\"0.75\" header=\"0.3\" footer=\"0.3\"/></mc:Choice></mc:AlternateContent>\r\n</x:worksheet>";
  };
  WorkbookBuilder b = TwoLinkBook();
  b.AddSheet("Main", "");
  b.AddPart(kSheet1, sheet("<x:c r=\"A1\"   s=\"1\" t=\"str\" ><x:f  >[1]S!A1</x:f>\r\n<x:v>it&apos;s</x:v></x:c>",
                           "<x:c r='B1'><x:f>[2]S!A1&amp;\"&gt;\"</x:f><x:v>2</x:v></x:c>",
                           "<x:c r=\"C1\"><x:f>[1]S!A1</x:f></x:c>"));
  b.AddPart("docProps/custom.bin", std::string("\x00\x01\x02[1]", 6));
  b.SetVbaProject("\xD0\xCF\x11\xE0 vba bytes [1]S!A1");
  const auto p = Write(b, "macro.xlsm");
  const auto before = ReadPackage(p);
  auto entries = PackageEntries(p);
  const auto after = Break(p, nullptr, 1);
  EXPECT_EQ(after.at(kSheet1),
            sheet("<x:c r=\"A1\"   s=\"1\" t=\"inlineStr\" >\r\n<x:is><x:t xml:space=\"preserve\">it's</x:t></x:is></x:c>",
                  "<x:c r='B1'><x:f>[1]S!A1&amp;\"&gt;\"</x:f><x:v>2</x:v></x:c>",
                  "<x:c r=\"C1\" t=\"e\"><x:v>#REF!</x:v></x:c>"));
  ExpectOnly(before, after, {kSheet1});
  EXPECT_TRUE(Contains(after.at("[Content_Types].xml"), "application/vnd.ms-excel.sheet.macroEnabled.main+xml"));
  EXPECT_TRUE(Contains(after.at("xl/_rels/workbook.xml.rels"), "vbaProject.bin"));
  // Entry order is kept; only the removed parts are missing.
  std::erase_if(entries, [](const std::string& e) { return Contains(e, "externalLink1"); });
  EXPECT_EQ(PackageEntries(p), entries);
}

// Nothing is written when there is nothing to break or when the result fails
// to verify; with nothing to do, not even the file's time changes.
TEST_F(EngineTest, NothingIsWrittenWithNothingToBreakOrABadEdit) {
  WorkbookBuilder oleOnly;
  oleOnly.AddOleLink("Package", "C:\\doc.bin");
  oleOnly.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]!''''</f><v>1</v></c></row>)");
  WorkbookBuilder twoLinks = TwoLinkBook();
  twoLinks.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[2]S!A1</f><v>1</v></c></row>)");
  // A part the engine knows nothing about may still point at the link part
  // that would go; the package would be left with a dangling relationship.
  WorkbookBuilder custom = twoLinks;
  custom.AddPart("xl/custom/thing.xml", "<thing/>", "application/xml");
  custom.AddPart("xl/custom/_rels/thing.xml.rels",
                 std::string(R"(<Relationships xmlns=")") + quorvane::testing::kPackageRelNs +
                     R"("><Relationship Id="rId1" Type="urn:x" Target="../externalLinks/externalLink1.xml"/>)"
                     R"(</Relationships>)");
  const WorkbookBuilder strict = WorkbookBuilder(twoLinks).SetStrict();
  const auto edit = [](const std::string& part, const std::string& from, const std::string& to) -> EditHook {
    return [=](Parts& parts) { parts.at(part) = Rewritten(parts.at(part), from, to); };
  };
  const struct {
    const char* name;
    const WorkbookBuilder& book;
    EditHook hook;
    std::string error;
  } cases[] = {
      {"only an OLE link", oleOnly, {}, kNoError},
      {"stale index", twoLinks, edit(kSheet1, "[1]S!A1", "[2]S!A1"), "still refers to link [2] of 1"},
      {"reference kept", twoLinks, edit("xl/workbook.xml", "</externalReferences>",
                                        "<externalReference r:id=\"rIdL1\"/></externalReferences>"),
       "2 external references left where 1 were expected"},
      {"not well-formed", twoLinks, edit(kSheet1, "</worksheet>", "</worksheet><"), "malformed XML in " + kSheet1},
      {"reference without relationship", twoLinks, edit("xl/_rels/workbook.xml.rels", "Id=\"rIdL2\"", "Id=\"rIdX\""),
       "external reference rIdL2 has no relationship"},
      // What the break writes must be in the part's own set.
      {"transitional element in a Strict part", strict,
       edit(kSheet1, "<sheetData>", std::string("<sheetPr xmlns=\"") + quorvane::testing::kMainNs + "\"/><sheetData>"),
       "mixes Strict and transitional"},
      {"relationship to a removed part", custom, {},
       "xl/custom/thing.xml still points at xl/externalLinks/externalLink1.xml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto p = Write(c.book);
    const std::string bytes = ReadBytes(p);
    const auto stamp = fs::last_write_time(p);
    auto book = Workbook::Open(p);
    auto sources = book.BookSources();
    EXPECT_EQ(sources.empty(), c.error == kNoError);
    if (!sources.empty()) sources.resize(1);
    book.SetEditHookForTesting(c.hook);
    book.Break(sources);
    const std::string error = ErrorOf([&] { book.Save(); });
    EXPECT_TRUE(Contains(error, c.error)) << error;
    EXPECT_EQ(ReadBytes(p), bytes);
    EXPECT_TRUE(c.error != kNoError || fs::last_write_time(p) == stamp);
  }
}

// A file replaced after a save is not overwritten by the next one.
TEST_F(EngineTest, AfterASaveTheSameObjectSeesTheFileAsWrittenAndBreaksAgain) {
  WorkbookBuilder b;
  b.AddBookLink(Book("One.xlsx")).AddBookLink(Book("Two.xlsx")).AddBookLink(Book("Three.xlsx"));
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1</f><v>1</v></c>)"
                     R"(<c r="B1"><f>[2]S!A1</f><v>2</v></c><c r="C1"><f>[3]S!A1</f><v>3</v></c></row>)");
  const auto p = Write(b);
  auto book = Workbook::Open(p);
  const auto sources = book.BookSources();
  ASSERT_EQ(sources.size(), 3u);
  EXPECT_THROW(book.Break({"Nowhere.xlsx"}), PackageError);
  // Breaks before a save add up; the same break twice is one.
  EXPECT_EQ(book.Break({sources[0]}).cells, 1u);
  EXPECT_EQ(book.Break({sources[0]}).cells, 1u);
  EXPECT_EQ(book.Break({sources[1]}).cells, 2u);
  EXPECT_EQ(book.Break({}).cells, 2u);
  book = Workbook::Open(p);
  book.Break({sources[0]});
  book.Save();
  EXPECT_FALSE(book.Changed());
  // The links are those of the saved file, renumbered; a second round works from it.
  EXPECT_EQ(book.BookSources(), (std::vector<std::string>{sources[1], sources[2]}));
  EXPECT_EQ(book.Usage().at(2).cells, 1u);
  const auto result = book.Break({sources[2]});
  EXPECT_EQ(std::make_pair(result.cells, result.renumbered), std::make_pair(std::size_t{1}, std::size_t{0}));
  book.Save();
  EXPECT_TRUE(Contains(ReadPackage(p).at(kSheet1),
                       R"(<c r="A1"><v>1</v></c><c r="B1"><f>[1]S!A1</f><v>2</v></c><c r="C1"><v>3</v></c>)"));
  EXPECT_EQ(Workbook::Open(p).BookSources(), (std::vector<std::string>{sources[1]}));

  const auto q = Write(b.AddName("Other", "1"), "other.xlsx");
  // Another program puts a different workbook in its place. On Windows the
  // open workbook keeps its name from being replaced, so it writes over it.
#ifdef _WIN32
  std::ofstream(p, std::ios::binary | std::ios::trunc) << ReadBytes(q);
#else
  fs::rename(q, p);
#endif
  const std::string theirs = ReadBytes(p);
  try {
    book.Break({sources[1]});
    book.Save();
    ADD_FAILURE() << "the replaced file was overwritten";
  } catch (const std::exception& e) {
    // Written over in place (Windows), it may fail as damaged on reading instead.
#ifndef _WIN32
    EXPECT_TRUE(Contains(e.what(), "changed by another program")) << e.what();
#endif
  }
  EXPECT_EQ(ReadBytes(p), theirs);
}

// Well over the size from which the rewrite uses a second thread, spread over
// more sheets than threads: cells using link 1 in A and link 2 in B.
TEST_F(EngineTest, LargeSheetsRewrittenSideBySideComeOutAsSmallOnesDo) {
  constexpr int kRows = 6000;
  const auto rows = [](int sheet, bool broken) {
    std::string text;
    for (int r = sheet * kRows + 1; r <= (sheet + 1) * kRows; ++r) {
      const std::string n = std::to_string(r);
      text.append("<row r=\"" + n + "\"><c r=\"A" + n + "\">" + (broken ? "" : "<f>[1]S!A" + n + "</f>"));
      text.append("<v>" + n + "</v></c><c r=\"B" + n + "\"><f>[" + (broken ? "1" : "2") + "]S!B" + n);
      text.append("</f><v>0</v></c></row>");
    }
    return text;
  };
  // Names built by append: MinGW's -O3 warns falsely on "literal" + to_string.
  const auto part = [](int s) { return std::string("xl/worksheets/sheet").append(std::to_string(s + 1)).append(".xml"); };
  WorkbookBuilder b = TwoLinkBook();
  for (int s = 0; s < 5; ++s) b.AddSheet(std::string("S").append(std::to_string(s)), rows(s, false));
  const auto p = Write(b);
  const auto before = ReadPackage(p);
  ASSERT_GT(before.at(part(0)).size() * 5, 2u << 20);

  BreakResult result;
  const auto after = Break(p, &result, 1);
  EXPECT_EQ(result.cells, 5u * kRows);
  EXPECT_EQ(result.renumbered, 5u * kRows);
  for (int s = 0; s < 5; ++s)
    EXPECT_TRUE(after.at(part(s)) == Rewritten(before.at(part(s)), rows(s, false), rows(s, true))) << part(s);
}

}  // namespace
}  // namespace quorvane::ooxml::test
