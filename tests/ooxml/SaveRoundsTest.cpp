// One Workbook object over several saves, and workbooks large enough for
// the rewrite to be split over threads.

#include "EngineFixture.h"

#include <fstream>

namespace quorvane::ooxml::test {
namespace {

TEST_F(EngineTest, AfterASaveTheSameObjectSeesTheFileAsWrittenAndBreaksAgain) {
  WorkbookBuilder b;
  b.AddBookLink(Book("One.xlsx")).AddBookLink(Book("Two.xlsx")).AddBookLink(Book("Three.xlsx"));
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1</f><v>1</v></c>)"
                     R"(<c r="B1"><f>[2]S!A1</f><v>2</v></c><c r="C1"><f>[3]S!A1</f><v>3</v></c></row>)");
  auto p = Write(b);

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

  // The links are those of the saved file, renumbered.
  EXPECT_EQ(book.BookSources(), (std::vector<std::string>{sources[1], sources[2]}));
  EXPECT_EQ(book.Usage().at(2).cells, 1u);

  // A second round on the same object works from the saved file.
  const auto result = book.Break({sources[2]});
  EXPECT_EQ(result.cells, 1u);
  EXPECT_EQ(result.renumbered, 0u);
  book.Save();
  EXPECT_TRUE(Contains(ReadPackage(p).at(kSheet1),
                       R"(<c r="A1"><v>1</v></c><c r="B1"><f>[1]S!A1</f><v>2</v></c><c r="C1"><v>3</v></c>)"));
  EXPECT_EQ(Workbook::Open(p).BookSources(), (std::vector<std::string>{sources[1]}));
}

TEST_F(EngineTest, AFileReplacedAfterASaveIsNotOverwrittenByTheNextOne) {
  WorkbookBuilder b;
  b.AddBookLink(Book("One.xlsx")).AddBookLink(Book("Two.xlsx"));
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1+[2]S!A1</f><v>1</v></c></row>)");
  auto p = Write(b);
  WorkbookBuilder other;
  other.AddBookLink(Book("Elsewhere.xlsx"));
  other.AddSheet("Other", R"(<row r="1"><c r="A1"><f>[1]S!A1</f><v>7</v></c></row>)");
  auto q = Write(other, "other.xlsx");

  auto book = Workbook::Open(p);
  const auto sources = book.BookSources();
  book.Break({sources[0]});
  book.Save();
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

// Rows whose cells use link 1 in A and link 2 in B, as written before and
// after link 1 is broken.
std::string Rows(int first, int count, bool broken) {
  std::string rows;
  for (int r = first; r < first + count; ++r) {
    const std::string n = std::to_string(r);
    rows += "<row r=\"" + n + "\">";
    rows += broken ? "<c r=\"A" + n + "\"><v>" + n + "</v></c>"
                   : "<c r=\"A" + n + "\"><f>[1]S!A" + n + "</f><v>" + n + "</v></c>";
    rows += "<c r=\"B" + n + "\"><f>[" + std::string(broken ? "1" : "2") + "]S!B" + n + "</f><v>0</v></c></row>";
  }
  return rows;
}

TEST_F(EngineTest, LargeSheetsRewrittenSideBySideComeOutAsSmallOnesDo) {
  // Well over the size from which the rewrite uses a second thread, spread
  // over more sheets than threads.
  constexpr int kRows = 6000;
  WorkbookBuilder b;
  b.AddBookLink(Book("One.xlsx")).AddBookLink(Book("Two.xlsx"));
  // Names built by append: MinGW's -O3 warns falsely on "literal" + to_string.
  const auto numbered = [](std::string text, int n, const char* tail = "") {
    return text.append(std::to_string(n)).append(tail);
  };
  for (int s = 0; s < 5; ++s) b.AddSheet(numbered("S", s), Rows(s * kRows + 1, kRows, false));
  auto p = Write(b);
  const auto before = ReadPackage(p);
  std::size_t sheetBytes = 0;
  for (int s = 1; s <= 5; ++s) sheetBytes += before.at(numbered("xl/worksheets/sheet", s, ".xml")).size();
  ASSERT_GT(sheetBytes, 2u << 20);

  auto book = Workbook::Open(p);
  const auto result = book.Break({book.BookSources()[0]});
  book.Save();
  EXPECT_EQ(result.cells, 5u * kRows);
  EXPECT_EQ(result.renumbered, 5u * kRows);

  const auto after = ReadPackage(p);
  for (int s = 0; s < 5; ++s) {
    SCOPED_TRACE(s);
    const std::string part = numbered("xl/worksheets/sheet", s + 1, ".xml");
    std::string expected = before.at(part);
    const std::string rows = Rows(s * kRows + 1, kRows, false);
    const auto at = expected.find(rows);
    ASSERT_NE(at, std::string::npos);
    expected.replace(at, rows.size(), Rows(s * kRows + 1, kRows, true));
    EXPECT_TRUE(after.at(part) == expected) << "sheet " << s << " differs beyond its edits";
  }
}

}  // namespace
}  // namespace quorvane::ooxml::test
