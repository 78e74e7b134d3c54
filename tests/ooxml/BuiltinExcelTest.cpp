// The automation interface over the engine, and how link sources are named.

#include <functional>

#include "EngineFixture.h"
#include "ooxml/BuiltinExcel.h"

namespace quorvane::ooxml::test {
namespace {

using base::AutomationError;

TEST(SourceName, ResolvesRelativeTargetsAndDecodesFileUrls) {
  const fs::path book = fs::path("/data/books") / "main.xlsx";
  const auto near = [](const fs::path& p) { return p.lexically_normal().string(); };
  const std::pair<const char*, std::string> cases[] = {
      {"Other.xlsx", near("/data/books/Other.xlsx")},
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

}  // namespace
}  // namespace quorvane::ooxml::test
