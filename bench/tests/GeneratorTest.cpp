#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "Generator.h"
#include "Package.h"

namespace quorvane::bench {
namespace {

using test::Node;
using test::ParseXml;
using test::ReadParts;
using test::TempDir;

Shape Custom(int sheets, int rows, int cols, int sources) {
  Shape s;
  s.sheets = sheets;
  s.rows = rows;
  s.cols = cols;
  s.sources = sources;
  return s;
}

// The folder a relationship target resolves against.
std::string Resolve(const std::string& base, const std::string& target) {
  std::string dir = base.substr(0, base.rfind('/') + 1);
  std::string t = target;
  while (t.starts_with("../")) {
    dir = dir.substr(0, dir.rfind('/', dir.size() - 2) + 1);
    t = t.substr(3);
  }
  return dir + t;
}

TEST(Generator, SameSeedGivesSameBytesAndOtherSeedsDiffer) {
  TempDir dir;
  const Shape shape = *Preset("small");
  Generate(shape, 5, dir.path() / "a");
  Generate(shape, 5, dir.path() / "b");
  Generate(shape, 6, dir.path() / "c");
  const std::string a = test::ReadFile(dir.path() / "a" / "small.xlsx");
  EXPECT_FALSE(a.empty());
  EXPECT_EQ(a, test::ReadFile(dir.path() / "b" / "small.xlsx"));
  EXPECT_NE(ReadParts(dir.path() / "a" / "small.xlsx")["xl/worksheets/sheet1.xml"],
            ReadParts(dir.path() / "c" / "small.xlsx")["xl/worksheets/sheet1.xml"]);
}

// Everything a reader follows from the workbook must be there: parts named by
// relationships, content types for them, links in order, formulas whose
// cached values agree with the link caches.
TEST(Generator, PackageIsCompleteAndConsistent) {
  TempDir dir;
  Shape shape = Custom(2, 150, 7, 3);
  shape.externalShare = 0.3;
  shape.localShare = 0.1;
  shape.textShare = 0.2;
  const WorkbookStats stats = Generate(shape, 42, dir.path());
  auto parts = ReadParts(OutputPath(shape, dir.path()));
  ASSERT_FALSE(parts.empty());

  std::map<std::string, std::unique_ptr<Node>> xml;
  for (const auto& [name, text] : parts) {
    auto root = ParseXml(text);
    ASSERT_TRUE(root) << name << " is not well-formed";
    xml[name] = std::move(root);
  }

  std::set<std::string> overridden;
  for (const Node* o : xml["[Content_Types].xml"]->All("Override")) overridden.insert(o->Attr("PartName"));
  for (const auto& [name, text] : parts) {
    if (!name.ends_with(".rels") && name != "[Content_Types].xml") {
      EXPECT_TRUE(overridden.count("/" + name)) << name << " has no content type";
    }
  }
  for (const auto& name : overridden) EXPECT_TRUE(parts.count(name.substr(1))) << name << " is missing";

  // Workbook relationships by id, each target present.
  std::map<std::string, std::string> rels;
  for (const Node* r : xml["xl/_rels/workbook.xml.rels"]->All("Relationship")) {
    rels[r->Attr("Id")] = Resolve("xl/workbook.xml", r->Attr("Target"));
    EXPECT_TRUE(parts.count(rels[r->Attr("Id")])) << r->Attr("Target");
  }
  const auto refs = xml["xl/workbook.xml"]->All("externalReference");
  ASSERT_EQ(refs.size(), 3u);

  // The cache of link n (1-based, in workbook order): "sheet!cell" -> value.
  std::vector<std::map<std::string, std::string>> cache(refs.size() + 1);
  std::vector<std::vector<std::string>> sourceSheets(refs.size() + 1);
  for (std::size_t n = 1; n <= refs.size(); ++n) {
    const std::string part = rels.at(refs[n - 1]->Attr("r:id"));
    const Node& link = *xml.at(part);
    const Node* book = link.Child("externalBook");
    ASSERT_TRUE(book);
    const std::string linkRels = part.substr(0, part.rfind('/')) + "/_rels/" +
                                 part.substr(part.rfind('/') + 1) + ".rels";
    ASSERT_TRUE(xml.count(linkRels)) << linkRels;
    bool resolved = false;
    for (const Node* r : xml[linkRels]->All("Relationship")) {
      if (r->Attr("Id") == book->Attr("r:id")) {
        resolved = true;
        EXPECT_EQ(r->Attr("TargetMode"), "External");
        EXPECT_TRUE(r->Attr("Type").ends_with("/externalLinkPath"));
      }
    }
    EXPECT_TRUE(resolved) << part << " names no relationship its rels file has";
    for (const Node* s : book->All("sheetName")) sourceSheets[n].push_back(s->Attr("val"));
    for (const Node* sd : book->All("sheetData")) {
      const std::string sheet = sourceSheets[n].at(std::stoul(sd->Attr("sheetId")));
      for (const Node* c : sd->All("cell")) cache[n][sheet + "!" + c->Attr("r")] = c->Child("v")->text;
    }
  }

  // Plain references carry the cached source value; all others at least name
  // an existing link and a sheet it has.
  const std::regex plain(R"(^'?\[(\d+)\]([^!']+)'?!([A-Z]+\d+)$)");
  const std::regex bookRef(R"(\[(\d+)\]([^!']+)'?!\$?([A-Z]+)\$?(\d+))");
  std::uint64_t external = 0;
  std::uint64_t texts = 0;
  std::set<std::string> booksUsed;
  for (int s = 1; s <= shape.sheets; ++s) {
    const Node& sheet = *xml.at("xl/worksheets/sheet" + std::to_string(s) + ".xml");
    EXPECT_EQ(sheet.All("row").size(), 150u);
    for (const Node* c : sheet.All("c")) {
      const Node* f = c->Child("f");
      if (c->Attr("t") == "s") ++texts;
      if (f == nullptr || f->text.find('[') == std::string::npos) continue;
      ++external;
      std::smatch m;
      for (auto it = std::sregex_iterator(f->text.begin(), f->text.end(), bookRef); it != std::sregex_iterator();
           ++it) {
        const std::size_t n = std::stoul((*it)[1]);
        ASSERT_GE(n, 1u);
        ASSERT_LE(n, refs.size()) << f->text;
        booksUsed.insert((*it)[1]);
        const std::string key = (*it)[2].str() + "!" + (*it)[3].str() + (*it)[4].str();
        EXPECT_TRUE(cache[n].count(key)) << f->text << " is not in the cache of link " << n;
      }
      if (std::regex_match(f->text, m, plain)) {
        const std::string key = m[2].str() + "!" + m[3].str();
        EXPECT_EQ(c->Child("v")->text, cache[std::stoul(m[1])][key]) << f->text;
      }
    }
  }
  const SheetCounts counts = CountsFor(shape);
  EXPECT_EQ(external, counts.external * 2);
  EXPECT_EQ(external, stats.externalFormulas);
  EXPECT_EQ(booksUsed.size(), 3u);
  EXPECT_EQ(std::to_string(texts), xml["xl/sharedStrings.xml"]->Attr("count"));
  const std::size_t unique = xml["xl/sharedStrings.xml"]->All("si").size();
  EXPECT_EQ(std::to_string(unique), xml["xl/sharedStrings.xml"]->Attr("uniqueCount"));

  // Chart and names point at the cache too.
  const Node* chartF = xml.at("xl/charts/chart1.xml")->All("c:f").at(0);
  EXPECT_EQ(chartF->text, "[1]Data!$A$1:$A$10");
  EXPECT_TRUE(cache[1].count("Data!A10"));
  EXPECT_EQ(xml["xl/workbook.xml"]->All("definedName").size(), 4u);
}

// Rounding three shares of a tiny sheet must not promise more cells than
// exist, and a one-cell sheet still gets a permutation.
TEST(Generator, TinySheetsGetExactCounts) {
  TempDir dir;
  for (int cells : {1, 2, 3, 5}) {
    Shape shape = Custom(1, 1, cells, 1);
    shape.externalShare = 0.5;
    shape.localShare = 0.5;
    shape.textShare = 0.0;
    shape.name = "tiny" + std::to_string(cells);
    const SheetCounts counts = CountsFor(shape);
    EXPECT_LE(counts.external + counts.local + counts.text, counts.cells);
    Generate(shape, 3, dir.path());
    auto parts = ReadParts(OutputPath(shape, dir.path()));
    auto sheet = ParseXml(parts["xl/worksheets/sheet1.xml"]);
    ASSERT_TRUE(sheet);
    std::uint64_t external = 0;
    std::uint64_t local = 0;
    for (const Node* f : sheet->All("f")) ++(f->text.find('[') != std::string::npos ? external : local);
    EXPECT_EQ(sheet->All("c").size(), static_cast<std::size_t>(cells));
    EXPECT_EQ(external, counts.external) << cells;
    EXPECT_EQ(local, counts.local) << cells;
  }
}

TEST(Generator, FolderShapesWriteDistinctWorkbooksInATree) {
  TempDir dir;
  Shape shape = *Preset("many");
  shape.workbooks = 23;
  const WorkbookStats stats = Generate(shape, 9, dir.path());
  EXPECT_EQ(stats.workbooks, 23u);
  std::set<std::string> folders;
  std::set<std::string> sheets;
  for (int i = 0; i < 23; ++i) {
    const auto file = dir.path() / "many" / TreeMember(i);
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    folders.insert(file.parent_path().string());
    sheets.insert(ReadParts(file)["xl/worksheets/sheet1.xml"]);
  }
  EXPECT_EQ(folders.size(), 3u);
  EXPECT_EQ(sheets.size(), 23u);
}

TEST(Generator, RefusesShapesItCannotWrite) {
  Shape s = *Preset("small");
  EXPECT_EQ(Validate(s), "");
  s.externalShare = 0.7;
  s.localShare = 0.4;
  EXPECT_NE(Validate(s), "");
  s = *Preset("small");
  s.sources = 0;
  EXPECT_NE(Validate(s), "");
  s.externalShare = 0;
  s.chart = false;
  s.names = false;
  EXPECT_EQ(Validate(s), "");
  s.name = "../escape";
  EXPECT_NE(Validate(s), "");
  EXPECT_THROW(Generate(s, 1, "unused"), std::invalid_argument);
}

}  // namespace
}  // namespace quorvane::bench
