// The automation interface over the engine, and how link sources are named.

#include "EngineFixture.h"
#include "ooxml/BuiltinExcel.h"

namespace quorvane::ooxml::test {
namespace {

using base::AutomationError;

TEST(SourceName, ResolvesRelativeTargetsAndDecodesFileUrls) {
  const fs::path book = fs::path("/data/books") / "main.xlsx";
  const std::string folder = fs::path("/data/books").lexically_normal().string();
#ifdef _WIN32
  const std::string fromUrl = "C:\\x\\B c.xlsx";  // Windows' own separators
#else
  const std::string fromUrl = "C:/x/B c.xlsx";
#endif
  struct Case {
    const char* target;
    std::string expected;
  } cases[] = {
      {"Other.xlsx", (fs::path(folder) / "Other.xlsx").lexically_normal().string()},
      {"../up/B.xlsx", (fs::path("/data") / "up" / "B.xlsx").lexically_normal().string()},
      {"My%20Book.xlsx", (fs::path(folder) / "My Book.xlsx").lexically_normal().string()},
      {"file:///C:/x/B%20c.xlsx", fromUrl},
      {"file:///C:\\x\\B.xlsx", "C:\\x\\B.xlsx"},
      {"file:///\\\\server\\share\\B.xlsx", "\\\\server\\share\\B.xlsx"},
      {"file:///Users/me/B.xlsx", "/Users/me/B.xlsx"},
      {"C:\\abs\\B.xlsx", "C:\\abs\\B.xlsx"},
      {"https://host/a%20b.xlsx", "https://host/a%20b.xlsx"},
  };
  for (const auto& c : cases) EXPECT_EQ(SourceName(c.target, book), c.expected) << c.target;
}

TEST_F(EngineTest, TheRunSequenceBreaksEverySourceIncludingOneListedTwice) {
  WorkbookBuilder b;
  b.AddBookLink(Book("Same.xlsx")).AddBookLink(Book("Other.xlsx")).AddBookLink(Book("Same.xlsx"));
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1+[3]S!A1</f><v>1</v></c><c r="B1"><f>[2]S!A1</f><v>2</v></c></row>)");
  auto p = Write(b);

  BuiltinAutomation automation;
  EXPECT_THROW(automation.GetRunning(), AutomationError) << "it never runs on its own";
  auto app = automation.Create();
  EXPECT_THROW(app->ActiveWorkbook(), AutomationError);
  try {
    app->Workbooks()->Open((dir_ / "missing.xlsx").string());
    ADD_FAILURE() << "opened a missing file";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Member(), "Open");
  }
  app->Workbooks()->Open(p.string());
  app->SetDisplayAlerts(false);
  app->SetAskToUpdateLinks(false);
  auto list = app->ActiveWorkbook()->LinkSources(base::kExcelLinks);
  ASSERT_TRUE(list.has_value());
  ASSERT_EQ(list->UpperBound(), 3);
  EXPECT_EQ(list->At(1), list->At(3));
  EXPECT_EQ(list->At(2), (p.parent_path() / "Other.xlsx").lexically_normal().string());
  app->ActiveWorkbook()->BreakLink(list->At(2), 1);
  // As in Excel, a source broken is no longer listed, before the save too.
  const auto left = app->ActiveWorkbook()->LinkSources(base::kExcelLinks);
  ASSERT_TRUE(left.has_value());
  EXPECT_EQ(left->UpperBound(), 2);
  EXPECT_EQ(left->At(1), list->At(1));
  for (std::int32_t k : {1, 3}) app->ActiveWorkbook()->BreakLink(list->At(k), 1);
  EXPECT_FALSE(app->ActiveWorkbook()->LinkSources(base::kExcelLinks).has_value());
  app->ActiveWorkbook()->Save();
  app->Quit();

  auto parts = ReadPackage(p);
  EXPECT_FALSE(Contains(parts.at("xl/workbook.xml"), "externalReference"));
  EXPECT_TRUE(Contains(parts.at(kSheet1), R"(<c r="A1"><v>1</v></c><c r="B1"><v>2</v></c>)"));
}

// Nothing reaches a file but a successful save of a changed workbook.
TEST_F(EngineTest, RejectsWrongArgumentsAndLeavesTheFileUnlessSaved) {
  WorkbookBuilder broken = OneLinkBook();
  broken.AddPart("xl/worksheets/sheet1.xml", "<worksheet><sheetData><c><f>[1]S!A1</f></c>");
  const fs::path files[] = {Write(OneLinkBook()), Write(broken, "broken.xlsx")};
  std::vector<std::string> bytes;
  for (const auto& f : files) bytes.push_back(ReadBytes(f));

  BuiltinAutomation automation;
  auto app = automation.Create();
  app->Workbooks()->Open(files[0].string());
  auto wb = app->ActiveWorkbook();
  EXPECT_THROW(wb->LinkSources(2), AutomationError);
  EXPECT_THROW(wb->BreakLink("Nowhere.xlsx", 1), AutomationError);
  auto list = wb->LinkSources(1);
  ASSERT_TRUE(list);
  EXPECT_THROW(wb->BreakLink(list->At(1), 2), AutomationError);
  wb->BreakLink(list->At(1), 1);
  wb->Close(false);
  EXPECT_THROW(app->ActiveWorkbook(), AutomationError);

  app->Workbooks()->Open(files[1].string());
  wb = app->ActiveWorkbook();
  wb->BreakLink(wb->LinkSources(1)->At(1), 1);
  try {
    wb->Save();
    ADD_FAILURE() << "saved";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Member(), "Save");
    EXPECT_TRUE(Contains(e.what(), "malformed XML in xl/worksheets/sheet1.xml")) << e.what();
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(ReadBytes(files[i]), bytes[i]) << files[i];
}

}  // namespace
}  // namespace quorvane::ooxml::test
