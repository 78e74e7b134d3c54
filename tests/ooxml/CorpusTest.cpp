// Real workbooks from other producers: list and break every book link, then
// check what a user would check. Skipped when the shared folder is absent.

#include <cstdlib>
#include <iostream>
#include <set>

#include "EngineFixture.h"
#include "ooxml/Formula.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::test {
namespace {

using quorvane::testing::ReadPackage;

// Cell -> shown value ("t|text"), for every cell that has one.
class CellValues : public xml::Handler {
 public:
  std::map<std::string, std::string> values;
  std::set<std::string> formulas;  // cells holding a formula
  void Start(const xml::StartTag& tag) override {
    if (tag.local == "c") {
      const char* r = tag.Attr("r");
      const char* t = tag.Attr("t");
      cell_ = r ? r : "";
      type_ = t ? t : "n";
      if (type_ == "inlineStr") type_ = "str";
    } else if (tag.local == "v" || (tag.local == "t" && type_ == "str")) {
      collect_ = true;
      text_.clear();
    } else if (tag.local == "f") {
      formulas.insert(cell_);
    }
  }
  void End(const xml::EndTag& tag) override {
    if (collect_ && (tag.local == "v" || tag.local == "t")) {
      collect_ = false;
      values[cell_] = type_ + "|" + text_;
    }
  }
  void Text(std::string_view t) override {
    if (collect_) text_.append(t);
  }

 private:
  std::string cell_, type_, text_;
  bool collect_ = false;
};

// Highest [n] in any formula-bearing element of a part.
class MaxBookRef : public xml::Handler {
 public:
  std::uint32_t highest = 0;
  void Start(const xml::StartTag& tag) override {
    static const std::set<std::string_view> kNames = {"f", "formula", "formula1", "formula2", "definedName"};
    collect_ = kNames.count(tag.local) != 0;
    text_.clear();
  }
  void End(const xml::EndTag&) override {
    if (!collect_) return;
    collect_ = false;
    for (const auto& ref : formula::FindBookRefs(text_)) highest = std::max(highest, ref.index);
  }
  void Text(std::string_view t) override {
    if (collect_) text_.append(t);
  }

 private:
  bool collect_ = false;
  std::string text_;
};

bool IsWorksheet(const std::string& name) {
  return name.rfind("xl/worksheets/sheet", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".xml";
}

TEST_F(EngineTest, CorpusWorkbooksLoseEveryBookLinkAndKeepEveryShownValue) {
  const char* shared = std::getenv("QUORVANE_SHARED");
  if (!shared || !fs::is_directory(fs::path(shared) / "corpus")) GTEST_SKIP() << "no shared corpus";
  int files = 0;
  for (const char* folder : {"excel", "lo_from_xls", "derived"}) {
    fs::path dir = fs::path(shared) / "corpus" / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::string name = entry.path().filename().string();
      SCOPED_TRACE(std::string(folder) + "/" + name);
      fs::path copy = dir_ / name;
      fs::copy_file(entry.path(), copy, fs::copy_options::overwrite_existing);
      fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
      ++files;
      auto before = ReadPackage(copy);

      std::vector<std::string> sources;
      BreakResult result;
      try {
        auto book = Workbook::Open(copy);
        sources = book.BookSources();
        if (!sources.empty()) result = book.Break(sources);
        book.Save();
      } catch (const PackageError& e) {
        std::cout << "[corpus] " << folder << "/" << name << ": refused: " << e.what() << "\n";
        EXPECT_EQ(quorvane::testing::ReadFileBytes(copy), quorvane::testing::ReadFileBytes(entry.path()))
            << "a refusal must leave the file as it was";
        continue;
      }
      std::cout << "[corpus] " << folder << "/" << name << ": " << sources.size() << " sources, " << result.cells
                << " cells (" << result.uncached << " uncached), " << result.names << " names, "
                << result.namesToRef << " names #REF!, " << result.charts << " chart refs, "
                << result.rulesRemoved << " rules removed\n";

      auto after = ReadPackage(copy);
      auto reopened = Workbook::Open(copy);
      EXPECT_TRUE(reopened.BookSources().empty());
      auto remaining = static_cast<std::uint32_t>(reopened.Links().size());
      if (sources.empty()) {
        EXPECT_EQ(quorvane::testing::ReadFileBytes(copy), quorvane::testing::ReadFileBytes(entry.path()));
        continue;
      }
      for (const auto& [part, text] : after) {
        // Binary parts (VBA projects, printer settings, embeddings) are never edited.
        if (part.size() > 4 && part.substr(part.size() - 4) == ".bin") {
          EXPECT_EQ(text, before.at(part)) << part;
        }
        if (part.size() < 4 || part.substr(part.size() - 4) != ".xml") continue;
        MaxBookRef refs;
        xml::Parse(text, part, refs);
        EXPECT_LE(refs.highest, remaining) << part;
        if (!IsWorksheet(part)) continue;
        CellValues old, now;
        xml::Parse(before.at(part), part, old);
        xml::Parse(text, part, now);
        for (const auto& [cell, value] : old.values) {
          if (!now.formulas.count(cell)) {
            EXPECT_EQ(now.values[cell], value) << part << " " << cell;
          }
        }
      }
    }
  }
  EXPECT_GT(files, 0);
}

TEST_F(EngineTest, CorpusBinaryWorkbooksAreRefusedUntouched) {
  const char* shared = std::getenv("QUORVANE_SHARED");
  fs::path dir = shared ? fs::path(shared) / "corpus" / "needs_excel" : fs::path();
  if (dir.empty() || !fs::is_directory(dir)) GTEST_SKIP() << "no shared corpus";
  for (const auto& entry : fs::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().filename().string());
    fs::path copy = dir_ / entry.path().filename();
    fs::copy_file(entry.path(), copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    try {
      Workbook::Open(copy);
      ADD_FAILURE() << "opened";
    } catch (const PackageError& e) {
      EXPECT_TRUE(Contains(e.what(), "needs Microsoft Excel")) << e.what();
    }
    EXPECT_EQ(quorvane::testing::ReadFileBytes(copy), quorvane::testing::ReadFileBytes(entry.path()));
  }
}

}  // namespace
}  // namespace quorvane::ooxml::test
