// Real workbooks from other producers: nothing Excel would ask about is found
// in them; list and break every book link, then check what a user would
// check. Skipped when the shared folder is absent.

#include <cstdlib>
#include <iostream>
#include <set>

#include "EngineFixture.h"
#include "base/Utf8Path.h"
#include "ooxml/ObstacleFinder.h"
#include "ooxml/Formula.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::test {
namespace {

// What a user would check in a part: the value each cell shows, which cells
// hold a formula, and the highest [n] any formula uses.
class PartScan : public xml::Handler {
 public:
  std::map<std::string, std::string> values;  // cell -> "type|text"
  std::set<std::string> formulas;
  std::uint32_t highestBook = 0;

  void Start(const xml::StartTag& tag) override {
    static const std::set<std::string_view> kFormulas = {"f", "formula", "formula1", "formula2", "definedName"};
    text_.clear();
    inFormula_ = kFormulas.count(tag.local) != 0;
    if (tag.local == "c") {
      const char* r = tag.Attr("r");
      const char* t = tag.Attr("t");
      cell_ = r ? r : "";
      type_ = t ? t : "n";
      if (type_ == "inlineStr") type_ = "str";
    } else if (tag.local == "f") {
      formulas.insert(cell_);
    }
    inValue_ = tag.local == "v" || (tag.local == "t" && type_ == "str");
  }
  void End(const xml::EndTag& tag) override {
    if (inValue_ && (tag.local == "v" || tag.local == "t")) values[cell_] = type_ + "|" + text_;
    if (inFormula_)
      for (const auto& ref : formula::FindBookRefs(text_)) highestBook = std::max(highestBook, ref.index);
    inValue_ = inFormula_ = false;
  }
  void Text(std::string_view t) override { text_.append(t); }

 private:
  std::string cell_, type_, text_;
  bool inValue_ = false, inFormula_ = false;
};

bool IsWorksheet(const std::string& name) { return name.starts_with("xl/worksheets/sheet") && name.ends_with(".xml"); }

TEST_F(EngineTest, CorpusWorkbooksLoseEveryBookLinkAndKeepEveryShownValue) {
  const char* shared = std::getenv("QUORVANE_SHARED");
  if (!shared || !fs::is_directory(fs::path(shared) / "corpus")) GTEST_SKIP() << "no shared corpus";
  int files = 0;
  for (const char* folder : {"excel", "lo_from_xls", "derived", "needs_excel"}) {
    fs::path dir = fs::path(shared) / "corpus" / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::string name = entry.path().filename().string();
      SCOPED_TRACE(std::string(folder) + "/" + name);
      fs::path copy = dir_ / name;
      fs::copy_file(entry.path(), copy, fs::copy_options::overwrite_existing);
      fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
      ++files;
      const std::string original = ReadBytes(copy);
      EXPECT_EQ(EngineObstacleFinder().Look(base::ToUtf8(copy)), base::OpeningObstacle::None);

      std::vector<std::string> sources;
      BreakResult result;
      try {
        auto book = Workbook::Open(copy);
        sources = book.BookSources();
        if (!sources.empty()) result = book.Break(sources);
        book.Save();
      } catch (const PackageError& e) {
        std::cout << "[corpus] " << folder << "/" << name << ": refused: " << e.what() << "\n";
        EXPECT_EQ(ReadBytes(copy), original) << "a refusal must leave the file as it was";
        EXPECT_TRUE(std::string_view(folder) != "needs_excel" || Contains(e.what(), "needs Microsoft Excel"));
        continue;
      }
      EXPECT_NE(std::string_view(folder), "needs_excel") << "opened";
      std::cout << "[corpus] " << folder << "/" << name << ": " << sources.size() << " sources, " << result.cells
                << " cells (" << result.uncached << " uncached), " << result.names << " names, "
                << result.namesToRef << " names #REF!, " << result.charts << " chart refs, "
                << result.rulesRemoved << " rules removed\n";

      auto reopened = Workbook::Open(copy);
      EXPECT_TRUE(reopened.BookSources().empty());
      auto remaining = static_cast<std::uint32_t>(reopened.Links().size());
      if (sources.empty()) {
        EXPECT_EQ(ReadBytes(copy), original);
        continue;
      }
      const auto before = ReadPackage(entry.path());
      const auto after = ReadPackage(copy);
      // Entries whose content is unchanged are copied raw, in their order.
      std::map<std::string, std::string> rawBefore;
      for (auto& e : ReadRawEntries(original)) rawBefore[e.name] = std::move(e.bytes);
      for (const auto& e : ReadRawEntries(ReadBytes(copy)))
        EXPECT_TRUE(!before.count(e.name) || before.at(e.name) != after.at(e.name) || e.bytes == rawBefore[e.name])
            << e.name << " was not copied raw";
      for (const auto& [part, text] : after) {
        // Binary parts (VBA projects, printer settings, embeddings) are never edited.
        EXPECT_TRUE(!part.ends_with(".bin") || text == before.at(part)) << part;
        if (!part.ends_with(".xml")) continue;
        PartScan now;
        xml::Parse(text, part, now);
        EXPECT_LE(now.highestBook, remaining) << part;
        if (!IsWorksheet(part)) continue;
        PartScan old;
        xml::Parse(before.at(part), part, old);
        for (const auto& [cell, value] : old.values)
          EXPECT_TRUE(now.formulas.count(cell) || now.values[cell] == value) << part << " " << cell << ": " << value;
      }
    }
  }
  EXPECT_GT(files, 40);
}

// A real .xls whose one interface record is turned into WRITEPROT in place
// has a password to modify.
TEST_F(EngineTest, CorpusWorkbookMadeWriteProtectedAsksForAPassword) {
  const char* shared = std::getenv("QUORVANE_SHARED");
  if (!shared || !fs::is_directory(fs::path(shared) / "corpus")) GTEST_SKIP() << "no shared corpus";
  std::string bytes = ReadBytes(fs::path(shared) / "corpus" / "needs_excel" / "poi_XRefCalc.xls");
  const std::size_t at = bytes.find(std::string("\xE2\x00\x00\x00\x5C\x00", 6));  // INTERFACEEND, WRITEACCESS
  ASSERT_NE(at, std::string::npos);
  bytes[at] = '\x86';
  EXPECT_EQ(EngineObstacleFinder().Look(base::ToUtf8(tmp_.File("protected.xls", bytes))),
            base::OpeningObstacle::PasswordToModify);
}

}  // namespace
}  // namespace quorvane::ooxml::test
