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
  ComExcel excel_{ExcelTimes{std::chrono::milliseconds(100), {}}};
};

// Each member is reached by name, with its arguments as the VARIANT types Excel takes.
TEST_F(ComExcelTest, EachCallArrivesByNameWithItsArgumentTypes) {
  FakeExcel().linkSources = {L"a.xlsx"};
  const auto app = excel_.Create();
  const struct {
    std::function<void(base::ExcelApplication&)> call;
    std::string arrived;
  } cases[] = {
      {[](auto& a) { a.SetAutomationSecurity(3); }, "Application.AutomationSecurity=3"},
      {[](auto& a) { a.SetDisplayAlerts(false); }, "Application.DisplayAlerts=False"},
      {[](auto& a) { a.SetAskToUpdateLinks(true); }, "Application.AskToUpdateLinks=True"},
      {[](auto& a) { a.Workbooks()->Open("C:\\M\u00e4rz.xlsx"); }, "Workbooks.Open(C:\\M\u00e4rz.xlsx&)"},
      {[](auto& a) { a.ActiveWorkbook()->LinkSources(1); }, "Workbook.LinkSources(Type=1)"},
      {[](auto& a) { a.ActiveWorkbook()->BreakLink("\\\\s\\\u00DC.xls", 1); },
       "Workbook.BreakLink(name=\\\\s\\\u00DC.xls&, Type=1)"},
      {[](auto& a) { a.ActiveWorkbook()->Save(); }, "Workbook.Save()"},
      {[](auto& a) { a.ActiveWorkbook()->Close(false); }, "Workbook.Close(SaveChanges=False)"},
      {[](auto& a) { a.Quit(); }, "Application.Quit()"},
  };
  for (const auto& c : cases) {
    c.call(*app);
    EXPECT_EQ(FakeExcel().instances.back().calls.back(), c.arrived);
  }
}

TEST_F(ComExcelTest, LinkSourcesKeepsTheArrayBoundsAndElementTypes) {
  const auto app = excel_.Create();
  const auto book = app->ActiveWorkbook();
  FakeExcel().linkSources = {L"a.xlsx", L"b.xlsx", L"c.xlsx"};
  for (const auto& [variants, lower] : {std::pair{true, 1L}, {false, 0L}}) {  // else a plain array of strings
    FakeExcel().sourcesAsVariants = variants;
    FakeExcel().lowerBound = lower;
    const auto sources = book->LinkSources(base::kExcelLinks);
    ASSERT_TRUE(sources);
    EXPECT_TRUE(sources->LowerBound() == lower && sources->UpperBound() == lower + 2) << lower;
    EXPECT_EQ(sources->At(lower) + sources->At(lower + 2), "a.xlsxc.xlsx");
  }
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

// The reason names the member, the server's description and the code; a bad
// argument is named as the caller knows it, though the server counts from the end.
TEST_F(ComExcelTest, FailingCallBecomesAutomationErrorWithMemberCodeAndDescription) {
  auto app = excel_.Create();
  Dispatch raw(testing::NewFakeApplication());
  const auto bad = [](const char* step, UINT index) {
    return testing::Fault{.step = step, .kind = testing::FaultKind::BadArgument, .argument = index};
  };
  const struct {
    testing::Fault fault;
    std::function<void()> call;
    std::string head, tail;
  } cases[] = {
      {{"Open", testing::FaultKind::Exception, static_cast<HRESULT>(0x800A03EC), L"Die Datei \u00ABx\u00BB fehlt."},
       [&] { app->Workbooks()->Open("x.xlsx"); }, "Open: Die Datei \u00ABx\u00BB fehlt. (0x800A03EC)", ""},
      {{"Save"}, [&] { app->ActiveWorkbook()->Save(); }, "Save: the call failed (0x800A03EC)", ""},
      {{}, [&] { raw.Call("Calculate"); }, "Calculate: ", "(0x80020006)"},
      {bad("BreakLink", 0), [&] { app->ActiveWorkbook()->BreakLink("a.xlsx", 1); },
       "BreakLink: ", " (argument Type) (0x80020005)"},
      {bad("BreakLink", 1), [&] { app->ActiveWorkbook()->BreakLink("a.xlsx", 1); },
       "BreakLink: ", " (argument name) (0x80020005)"},
      {bad("Open", 0), [&] { app->Workbooks()->Open("x.xlsx"); }, "Open: ", " (argument 1) (0x80020005)"},
  };
  for (const auto& c : cases) {
    FakeExcel().faults = {c.fault};
    FakeExcel().arrivals.clear();
    const std::string text = Failure(c.call);
    EXPECT_TRUE(text.starts_with(c.head) && text.ends_with(c.tail)) << text;
  }
}

// Only a machine without Excel sends the window to the built-in engine; an
// Excel that fails to start fails the workbook with its reason.
TEST_F(ComExcelTest, OnlyAMissingExcelCountsAsNotInstalled) {
  for (const auto& [code, notInstalled] : {std::pair{REGDB_E_CLASSNOTREG, true}, {CO_E_CLASSSTRING, true},
                                           {CO_E_SERVER_EXEC_FAILURE, false}, {E_OUTOFMEMORY, false},
                                           {HRESULT_FROM_WIN32(ERROR_TIMEOUT), false}}) {
    FakeExcel().faults = {{.step = "Create", .kind = testing::FaultKind::Hresult, .code = code}};
    FakeExcel().arrivals.clear();
    try {
      excel_.Create();
      ADD_FAILURE() << "created";
    } catch (const base::NotInstalled&) {
      EXPECT_TRUE(notInstalled) << code;
    } catch (const base::AutomationError& error) {
      EXPECT_FALSE(notInstalled) << error.what();
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
