#include <gtest/gtest.h>

#include <cstdlib>

#include "Floor.h"
#include "Generator.h"
#include "Package.h"

namespace quorvane::bench {
namespace {

using test::ReadParts;
using test::TempDir;

// The floor's output must be a sound package holding every part but the link
// parts, byte for byte, or its timing would not stand for a real result.
void ExpectSameButLinks(const std::filesystem::path& in, const std::filesystem::path& out) {
  const auto before = ReadParts(in);
  const auto after = ReadParts(out);
  std::size_t kept = 0;
  for (const auto& [name, content] : before) {
    if (name.starts_with("xl/externalLinks/")) {
      EXPECT_FALSE(after.count(name)) << name << " in " << in;
      continue;
    }
    ++kept;
    const auto it = after.find(name);
    ASSERT_NE(it, after.end()) << name << " lost from " << in;
    EXPECT_TRUE(it->second == content) << name << " changed in " << in;
  }
  EXPECT_EQ(after.size(), kept);
}

TEST(Floor, KeepsEveryPartButTheLinksAndRewritesTheLinkedSheets) {
  TempDir dir;
  Shape shape = *Preset("small");
  shape.sheets = 3;
  const auto in = OutputPath(shape, dir.path());
  Generate(shape, 11, dir.path());
  const auto out = dir.path() / "out.xlsx";
  const FloorStats st = RunFloor(in, out);
  ExpectSameButLinks(in, out);
  EXPECT_EQ(st.partsRewritten, 3u + 3u);  // content types, workbook, its rels, three sheets
  EXPECT_EQ(st.partsDropped, 4u);         // two links with their rels
  EXPECT_GT(st.partsCopied, 0u);
  EXPECT_EQ(st.outputBytes, std::filesystem::file_size(out));
}

// Real packages written by other tools: data descriptors, stored entries,
// odd orders.
TEST(Floor, HandlesWorkbooksSavedByOtherTools) {
  const char* shared = std::getenv("QUORVANE_SHARED");
  const std::filesystem::path corpus = shared ? std::filesystem::path(shared) / "corpus" / "excel" : "";
  if (corpus.empty() || !std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no shared sample folder";
  TempDir dir;
  int done = 0;
  for (const auto& e : std::filesystem::directory_iterator(corpus)) {
    if (e.path().extension() != ".xlsx") continue;
    const auto out = dir.path() / e.path().filename();
    ASSERT_NO_THROW(RunFloor(e.path(), out)) << e.path();
    ExpectSameButLinks(e.path(), out);
    ++done;
  }
  EXPECT_GT(done, 0);
}

TEST(Floor, RefusesDamagedInput) {
  TempDir dir;
  Generate(*Preset("small"), 1, dir.path());
  std::string bytes = test::ReadFile(dir.path() / "small.xlsx");
  bytes.resize(bytes.size() / 2);
  const auto cut = dir.path() / "cut.xlsx";
  {
    std::FILE* f = std::fopen(cut.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  EXPECT_THROW(RunFloor(cut, dir.path() / "out.xlsx"), std::runtime_error);
}

TEST(Floor, SpotsWorkbookIndexesOnly) {
  EXPECT_TRUE(MentionsOtherWorkbook("<f>[1]Data!A1</f>"));
  EXPECT_TRUE(MentionsOtherWorkbook("<f>SUM('[12]Q1 Figures'!A1:A3)</f>"));
  EXPECT_FALSE(MentionsOtherWorkbook("<f>Table1[[#This Row],[Col]]</f>"));
  EXPECT_FALSE(MentionsOtherWorkbook("<f>[0]!Local</f>"));  // the workbook itself
  EXPECT_FALSE(MentionsOtherWorkbook("no brackets ["));
}

}  // namespace
}  // namespace quorvane::bench
