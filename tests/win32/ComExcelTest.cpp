#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "FakeExcelServer.h"
#include "links/Links.h"
#include "win32/ComExcel.h"
#include "win32/Dispatch.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

using testing::FakeExcel;
using Journal = std::vector<std::string>;

ExcelTimes Quick() {
  ExcelTimes times;
  times.quitGrace = std::chrono::milliseconds(100);
  return times;
}

class ComExcelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ProgIdMapsToFake())
      GTEST_SKIP() << "Excel.Application is not mapped to the test class (run through scripts/test-windows)";
    ASSERT_TRUE(SUCCEEDED(registration_.Result()));
    FakeExcel() = testing::FakeExcelState{};
  }
  void TearDown() override { EXPECT_EQ(FakeExcel().liveObjects, 0) << "a COM reference was leaked"; }

  testing::FakeExcelRegistration registration_;
  ComExcel excel_{Quick()};
};

TEST_F(ComExcelTest, OneWorkbookSequenceArrivesInOrderWithExactArgumentNames) {
  FakeExcel().linkSources = {L"C:\\Quellen\\\u00DCbersicht.xlsx", L"\\\\server\\share\\b.xls"};
  std::unique_ptr<base::ExcelApplication> current;
  base::Property<int> pointer;
  links::BreakWorkbookLinks(excel_, "C:\\Mappen\\M\u00e4rz.xlsx", current, pointer);
  current.reset();

  EXPECT_EQ(FakeExcel().created, 1);
  EXPECT_EQ(FakeExcel().journal, (Journal{
      "Application.Hwnd",
      "Application.AutomationSecurity=3",
      "Application.Workbooks",
      "Workbooks.Open(C:\\Mappen\\M\u00e4rz.xlsx&)",
      "Application.DisplayAlerts=False",
      "Application.AskToUpdateLinks=False",
      "Application.ActiveWorkbook",
      "Workbook.LinkSources(Type=1)",
      "Application.ActiveWorkbook",
      "Workbook.BreakLink(name=C:\\Quellen\\\u00DCbersicht.xlsx&, Type=1)",
      "Application.ActiveWorkbook",
      "Workbook.BreakLink(name=\\\\server\\share\\b.xls&, Type=1)",
      "Application.ActiveWorkbook",
      "Workbook.LinkSources(Type=1)",
      "Application.ActiveWorkbook",
      "Workbook.Save()",
      "Application.DisplayAlerts=True",
      "Application.Quit()",
  }));
}

TEST_F(ComExcelTest, FailedBreakClosesWithoutSavingAndQuits) {
  FakeExcel().linkSources = {L"a.xlsx"};
  FakeExcel().faults = {{"BreakLink"}};
  std::unique_ptr<base::ExcelApplication> current;
  base::Property<int> pointer;
  EXPECT_THROW(links::BreakWorkbookLinks(excel_, "C:\\b.xlsx", current, pointer), base::AutomationError);
  current.reset();

  const Journal& journal = FakeExcel().journal;
  ASSERT_GE(journal.size(), 5u);
  EXPECT_EQ(Journal(journal.end() - 5, journal.end()), (Journal{
      "Workbook.BreakLink(name=a.xlsx&, Type=1)",
      "Application.DisplayAlerts=False",
      "Application.ActiveWorkbook",
      "Workbook.Close(SaveChanges=False)",
      "Application.Quit()",
  }));
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "Workbook.Save()"), 0);
}

TEST_F(ComExcelTest, LinkSourcesKeepsTheArrayBoundsAndElementTypes) {
  auto app = excel_.Create();
  auto book = app->ActiveWorkbook();

  FakeExcel().linkSources = {L"a.xlsx", L"b.xlsx", L"c.xlsx"};
  auto sources = book->LinkSources(base::kExcelLinks);
  ASSERT_TRUE(sources);
  EXPECT_EQ(sources->LowerBound(), 1);
  EXPECT_EQ(sources->UpperBound(), 3);
  EXPECT_EQ(sources->At(1), "a.xlsx");
  EXPECT_EQ(sources->At(3), "c.xlsx");

  FakeExcel().sourcesAsVariants = false;  // a plain array of strings
  FakeExcel().lowerBound = 0;
  sources = book->LinkSources(base::kExcelLinks);
  ASSERT_TRUE(sources);
  EXPECT_EQ(sources->LowerBound(), 0);
  EXPECT_EQ(sources->UpperBound(), 2);
  EXPECT_EQ(sources->At(0), "a.xlsx");

  FakeExcel().linkSources.clear();  // Empty, not an array
  EXPECT_FALSE(book->LinkSources(base::kExcelLinks));
}

// "Member: reason" of the AutomationError a call raises, or "no error".
std::string Failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const base::AutomationError& error) {
    return error.Member() + ": " + error.what();
  }
  return "no error";
}

TEST_F(ComExcelTest, FailingCallBecomesAutomationErrorWithMemberCodeAndDescription) {
  auto app = excel_.Create();
  FakeExcel().faults = {{"Open", testing::FaultKind::Exception, static_cast<HRESULT>(0x800A03EC),
                         L"Die Datei \u00ABx.xlsx\u00BB wurde nicht gefunden."}};
  EXPECT_EQ(Failure([&] { app->Workbooks()->Open("x.xlsx"); }),
            "Open: Die Datei \u00ABx.xlsx\u00BB wurde nicht gefunden. (0x800A03EC)");
  // A member the object does not have fails at the name lookup.
  Dispatch raw(testing::NewFakeApplication());
  const std::string unknown = Failure([&] { raw.Call("Calculate"); });
  EXPECT_TRUE(unknown.starts_with("Calculate: ") && unknown.ends_with("(0x80020006)")) << unknown;
  // Without a description the reason still names the code, once.
  FakeExcel().faults = {{"Save"}};
  EXPECT_EQ(Failure([&] { app->ActiveWorkbook()->Save(); }), "Save: the call failed (0x800A03EC)");

  // A bad argument is named as the caller knows it, though the server counts
  // from the end of the arguments it was sent.
  const auto badArgument = [](const char* step, UINT index) {
    return testing::Fault{.step = step, .kind = testing::FaultKind::BadArgument, .argument = index};
  };
  const auto names = [](const std::string& text, const std::string& member, const std::string& argument) {
    return text.starts_with(member + ": ") && text.ends_with(" (argument " + argument + ") (0x80020005)");
  };
  FakeExcel().faults = {badArgument("BreakLink", 0), badArgument("Open", 0)};
  FakeExcel().arrivals.clear();
  std::string text = Failure([&] { app->ActiveWorkbook()->BreakLink("a.xlsx", 1); });
  EXPECT_TRUE(names(text, "BreakLink", "Type")) << text;
  text = Failure([&] { app->Workbooks()->Open("x.xlsx"); });
  EXPECT_TRUE(names(text, "Open", "1")) << text;
  FakeExcel().faults = {badArgument("BreakLink", 1)};
  FakeExcel().arrivals.clear();
  text = Failure([&] { app->ActiveWorkbook()->BreakLink("a.xlsx", 1); });
  EXPECT_TRUE(names(text, "BreakLink", "name")) << text;
}

// Only a machine without Excel sends the window to the built-in engine; an
// Excel that fails to start fails the workbook with its reason.
TEST_F(ComExcelTest, OnlyAMissingExcelCountsAsNotInstalled) {
  struct Case {
    HRESULT code;
    bool notInstalled;
  };
  for (const Case c : {Case{REGDB_E_CLASSNOTREG, true}, Case{CO_E_CLASSSTRING, true},
                       Case{CO_E_SERVER_EXEC_FAILURE, false}, Case{E_OUTOFMEMORY, false},
                       Case{HRESULT_FROM_WIN32(ERROR_TIMEOUT), false}}) {
    SCOPED_TRACE(c.code);
    FakeExcel().faults = {{.step = "Create", .kind = testing::FaultKind::Hresult, .code = c.code}};
    FakeExcel().arrivals.clear();
    try {
      excel_.Create();
      ADD_FAILURE() << "created";
    } catch (const base::NotInstalled&) {
      EXPECT_TRUE(c.notInstalled);
    } catch (const base::AutomationError& error) {
      EXPECT_FALSE(c.notInstalled) << error.what();
    }
  }
}

TEST_F(ComExcelTest, RunningCheckReadsTheDefaultMemberOfTheRegisteredInstance) {
  EXPECT_THROW(excel_.GetRunning(), base::AutomationError);
  EXPECT_FALSE(links::IsExcelRunning(excel_));

  auto running = testing::NewFakeApplication();
  DWORD cookie = 0;
  ASSERT_TRUE(SUCCEEDED(::RegisterActiveObject(running.get(), testing::kFakeExcelClass, ACTIVEOBJECT_STRONG, &cookie)));
  EXPECT_TRUE(links::IsExcelRunning(excel_));
  FakeExcel().defaultName = L"Microsoft Excel ";
  EXPECT_FALSE(links::IsExcelRunning(excel_));
  ::RevokeActiveObject(cookie, nullptr);
  running.reset();

  // Only looked at: no instance was created and nothing but the default member was read.
  EXPECT_EQ(FakeExcel().created, 0);
  EXPECT_EQ(FakeExcel().journal, (Journal{"Application.(default)", "Application.(default)"}));
}

// Ending an instance by force ends only one the tool created in another
// process: not one it attached to, nor one whose window is this process's own.
TEST_F(ComExcelTest, ForceEndEndsOnlyACreatedInstanceOfAnotherProcess) {
  testing::ChildWindowProcess child;
  ASSERT_TRUE(child.Window()) << "the helper process did not show its window";
  FakeExcel().hwnd = static_cast<LONG>(reinterpret_cast<INT_PTR>(child.Window()));

  auto running = testing::NewFakeApplication();
  DWORD cookie = 0;
  ASSERT_TRUE(SUCCEEDED(::RegisterActiveObject(running.get(), testing::kFakeExcelClass, ACTIVEOBJECT_STRONG, &cookie)));
  auto attached = excel_.GetRunning();
  attached->ForceEnd();
  attached.reset();
  ::RevokeActiveObject(cookie, nullptr);
  running.reset();
  EXPECT_FALSE(child.EndsWithin(500));

  HWND own = ::CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                               ::GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(own);
  FakeExcel().hwnd = static_cast<LONG>(reinterpret_cast<INT_PTR>(own));
  excel_.Create()->ForceEnd();  // ending it would end us
  ::DestroyWindow(own);
  EXPECT_TRUE(child.Alive());

  // A created instance that ignored Quit.
  FakeExcel().hwnd = static_cast<LONG>(reinterpret_cast<INT_PTR>(child.Window()));
  auto app = excel_.Create();
  app->Quit();
  app->ForceEnd();
  EXPECT_TRUE(child.EndsWithin(10000));
  // The reference is gone with it; later calls fail instead of reaching a dead instance.
  EXPECT_THROW(app->Quit(), base::AutomationError);
}

}  // namespace
}  // namespace quorvane::win32
