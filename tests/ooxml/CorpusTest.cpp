// Real workbooks from other producers: nothing Excel would ask about is found
// in them; every book link is broken, every value a cell showed is still
// shown, and nothing else changes. Skipped when the shared folder is absent.

#include <cstdlib>

#include "EngineFixture.h"
#include "base/Utf8Path.h"
#include "ooxml/ObstacleFinder.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::test {
namespace {

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
