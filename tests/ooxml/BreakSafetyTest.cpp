// What must not change: bytes outside the edits, untouched entries, files the
// engine refuses or fails to verify; one Workbook object over several saves;
// sheets large enough for the rewrite to be split over threads; a file the
// automation interface over the engine did not save; real workbooks from other
// producers, whose every shown value stays (skipped without the shared folder).

#include <cstdlib>
#include <fstream>
#include <functional>

#include "EngineFixture.h"
#include "base/Utf8Path.h"
#include "ooxml/BuiltinExcel.h"
#include "ooxml/ObstacleFinder.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::test {
namespace {

using base::AutomationError;
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

// The member and reason of the AutomationError a call throws.
std::string Failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const AutomationError& e) {
    return e.Member() + ": " + e.what();
  }
  return "(no error)";
}

// Every source is broken, one listed twice included; nothing reaches a file
// but a successful save of a changed workbook.
TEST_F(EngineTest, TheRunSequenceBreaksEverySourceAndWritesOnlyOnASuccessfulSave) {
  WorkbookBuilder b;
  b.AddBookLink(Book("Same.xlsx")).AddBookLink(Book("Other.xlsx")).AddBookLink(Book("Same.xlsx"));
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1+[3]S!A1</f><v>1</v></c><c r="B1"><f>[2]S!A1</f><v>2</v></c></row>)");
  const auto p = Write(b);
  WorkbookBuilder damaged = TwoLinkBook();
  damaged.AddSheet("Main", "").AddPart(kSheet1, "<worksheet><sheetData><c><f>[1]S!A1</f></c>");
  const auto q = Write(damaged, "damaged.xlsx");
  const std::string original = ReadBytes(p), damagedBytes = ReadBytes(q);
  const std::string same = (tmp_ / "Same.xlsx").lexically_normal().string();
  const std::string other = (tmp_ / "Other.xlsx").lexically_normal().string();

  BuiltinAutomation automation;
  EXPECT_TRUE(Failure([&] { automation.GetRunning(); }).starts_with("GetObject")) << "it never runs on its own";
  auto app = automation.Create();
  EXPECT_TRUE(Failure([&] { app->ActiveWorkbook(); }).starts_with("ActiveWorkbook"));
  EXPECT_TRUE(Failure([&] { app->Workbooks()->Open((tmp_ / "missing.xlsx").string()); }).starts_with("Open"));
  app->Workbooks()->Open(p.string());
  auto wb = app->ActiveWorkbook();
  const auto listed = [&] {
    std::vector<std::string> names;
    const auto list = wb->LinkSources(base::kExcelLinks);
    for (std::int32_t k = 1; list && k <= list->UpperBound(); ++k) names.push_back(list->At(k));
    return names;
  };
  EXPECT_EQ(listed(), (std::vector<std::string>{same, other, same}));
  EXPECT_TRUE(Failure([&] { wb->LinkSources(2); }).starts_with("LinkSources"));
  EXPECT_TRUE(Failure([&] { wb->BreakLink("Nowhere.xlsx", 1); }).starts_with("BreakLink"));
  EXPECT_TRUE(Failure([&] { wb->BreakLink(same, 2); }).starts_with("BreakLink"));
  wb->BreakLink(other, 1);
  // As in Excel, a source broken is no longer listed, before the save too.
  EXPECT_EQ(listed(), (std::vector<std::string>{same, same}));
  wb->Close(false);
  EXPECT_EQ(ReadBytes(p), original) << "closed without saving";

  app->Workbooks()->Open(p.string());
  wb = app->ActiveWorkbook();
  for (const auto& source : {same, other, same}) wb->BreakLink(source, 1);
  EXPECT_FALSE(wb->LinkSources(base::kExcelLinks).has_value());
  wb->Save();
  wb->Close(false);
  EXPECT_TRUE(Workbook::Open(p).BookSources().empty());
  EXPECT_TRUE(Contains(ReadPackage(p).at(kSheet1), R"(<c r="A1"><v>1</v></c><c r="B1"><v>2</v></c>)"));

  app->Workbooks()->Open(q.string());
  wb = app->ActiveWorkbook();
  wb->BreakLink(listed().at(0), 1);
  EXPECT_TRUE(Contains(Failure([&] { wb->Save(); }), "Save: malformed XML in xl/worksheets/sheet1.xml"));
  EXPECT_EQ(ReadBytes(q), damagedBytes);
  app->Quit();
}

// What each cell of a package's sheets shows: "part cell" -> "type|text".
class Shown : public xml::Handler {
 public:
  std::map<std::string, std::string> values;

  explicit Shown(const Parts& parts) {
    for (const auto& [part, text] : parts) {
      part_ = part;
      if (part.starts_with("xl/worksheets/sheet") && part.ends_with(".xml")) xml::Parse(text, part, *this);
    }
  }
  void Start(const xml::StartTag& tag) override {
    text_.clear();
    if (tag.local == "c") {
      const char* r = tag.Attr("r");
      const char* t = tag.Attr("t");
      cell_ = part_ + " " + (r ? r : "");
      type_ = t ? t : "n";
      if (type_ == "inlineStr") type_ = "str";
    }
    inValue_ = tag.local == "v" || (tag.local == "t" && type_ == "str");
  }
  void End(const xml::EndTag&) override {
    if (inValue_) values[cell_] = type_ + "|" + text_;
    inValue_ = false;
  }
  void Text(std::string_view t) override { text_.append(t); }

 private:
  std::string part_, cell_, type_, text_;
  bool inValue_ = false;
};

TEST_F(EngineTest, CorpusWorkbooksLoseEveryBookLinkAndKeepEveryShownValue) {
  const char* shared = std::getenv("QUORVANE_SHARED");
  const fs::path corpus = shared ? fs::path(shared) / "corpus" : fs::path();
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no shared corpus";
  int files = 0;
  for (const char* folder : {"excel", "lo_from_xls", "derived", "needs_excel"}) {
    if (!fs::is_directory(corpus / folder)) continue;
    for (const auto& entry : fs::directory_iterator(corpus / folder)) {
      SCOPED_TRACE(entry.path().string());
      ++files;
      const std::string original = ReadBytes(entry.path());
      const fs::path copy = tmp_.File(entry.path().filename(), original);
      EXPECT_EQ(EngineObstacleFinder().Look(base::ToUtf8(copy)), base::OpeningObstacle::None);
      try {
        auto book = Workbook::Open(copy);
        book.Break(book.BookSources());
        book.Save();
      } catch (const PackageError& e) {
        EXPECT_EQ(ReadBytes(copy), original) << "a refusal must leave the file as it was";
        EXPECT_TRUE(std::string_view(folder) != "needs_excel" || Contains(e.what(), "needs Microsoft Excel"));
        continue;
      }
      EXPECT_NE(std::string_view(folder), "needs_excel") << "opened";
      EXPECT_TRUE(Workbook::Open(copy).BookSources().empty());
      const auto before = ReadPackage(entry.path());
      const auto after = ReadPackage(copy);
      EXPECT_EQ(Shown(after).values, Shown(before).values);
      // Entries whose content is unchanged are copied raw; binary parts (VBA
      // projects, printer settings, embeddings) are never edited.
      std::map<std::string, std::string> rawBefore;
      for (auto& e : ReadRawEntries(original)) rawBefore[e.name] = std::move(e.bytes);
      for (const auto& e : ReadRawEntries(ReadBytes(copy)))
        EXPECT_TRUE(before.at(e.name) == after.at(e.name) ? e.bytes == rawBefore[e.name] : !e.name.ends_with(".bin"))
            << e.name;
    }
  }
  EXPECT_GT(files, 40);
}

}  // namespace
}  // namespace quorvane::ooxml::test
