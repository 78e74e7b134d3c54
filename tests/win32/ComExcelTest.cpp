// The COM layer against the stand-in Excel: names and argument types as they arrive, failures
// turned into messages, the running check; then runs over two workbooks through real COM.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

#include "FakeExcelServer.h"
#include "base/Controls.h"
#include "fakes/FakeRunServices.h"
#include "filelist/FileList.h"
#include "links/Links.h"
#include "links/Run.h"
#include "win32/ComExcel.h"
#include "win32/Dispatch.h"

namespace quorvane::win32 {
namespace {

using testing::FakeExcel;
using testing::FakeInstance;
using testing::Fault;
using testing::FaultKind;
using Books = std::array<std::string, 2>;

class ComExcelTest : public testing::FakeExcelTest {
 protected:
  ComExcel excel_{ExcelTimes{std::chrono::milliseconds(100), {}}};
};

// "Member: reason" of the AutomationError a call raises, or "no error".
std::string Reason(const std::function<void()>& call) {
  try {
    call();
  } catch (const base::NotInstalled& error) {
    return "not installed: " + error.Member();
  } catch (const base::AutomationError& error) {
    return error.Member() + ": " + error.what();
  }
  return "no error";
}

// The whole text, or "head*tail".
bool Matches(const std::string& text, const std::string& pattern) {
  const std::size_t star = pattern.find('*');
  if (star == std::string::npos) return text == pattern;
  return text.starts_with(pattern.substr(0, star)) && text.ends_with(pattern.substr(star + 1));
}

// Each member is reached by name, with its arguments as the VARIANT types Excel takes. A failing
// call's reason names the member, the server's description and the code; a bad argument is named
// as the caller knows it, though the server counts from the end. Only a machine without Excel
// sends the window to the built-in engine. An instance whose window is this process's own is
// never ended by force: that would end us.
TEST_F(ComExcelTest, EachCallArrivesByNameWithItsArgumentTypesOrFailsWithMemberCodeAndDescription) {
  const HWND own = ::CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                     ::GetModuleHandleW(nullptr), nullptr);
  FakeExcel().hwnd = static_cast<LONG>(reinterpret_cast<INT_PTR>(own));
  FakeExcel().linkSources = {L"a.xlsx"};
  const auto app = excel_.Create();
  Dispatch raw(testing::NewFakeApplication());
  const auto bad = [](const char* step, UINT index) {
    return Fault{.step = step, .kind = FaultKind::BadArgument, .argument = index};
  };
  const auto create = [](HRESULT code) { return Fault{.step = "Create", .kind = FaultKind::Hresult, .code = code}; };
  const struct {
    Fault fault;
    std::function<void()> call;
    std::string arrived;  // as the server logged it, or the reason of the failure
  } cases[] = {
      {{}, [&] { app->SetAutomationSecurity(3); }, "Application.AutomationSecurity=3"},
      {{}, [&] { app->SetDisplayAlerts(false); }, "Application.DisplayAlerts=False"},
      {{}, [&] { app->Workbooks()->Open("C:\\M\u00e4rz.xlsx"); }, "Workbooks.Open(C:\\M\u00e4rz.xlsx&)"},
      {{}, [&] { app->ActiveWorkbook()->LinkSources(1); }, "ActiveWorkbook.LinkSources(Type=1)"},
      {{}, [&] { app->ActiveWorkbook()->BreakLink("\\\\s\\\u00DC.xls", 1); },
       "ActiveWorkbook.BreakLink(name=\\\\s\\\u00DC.xls&, Type=1)"},
      {{}, [&] { app->ActiveWorkbook()->Save(); }, "ActiveWorkbook.Save()"},
      {{}, [&] { app->ActiveWorkbook()->Close(false); }, "ActiveWorkbook.Close(SaveChanges=False)"},
      {{"Open", FaultKind::Exception, static_cast<HRESULT>(0x800A03EC), L"Die Datei \u00ABx\u00BB fehlt."},
       [&] { app->Workbooks()->Open("x.xlsx"); }, "Open: Die Datei \u00ABx\u00BB fehlt. (0x800A03EC)"},
      {{"Save"}, [&] { app->ActiveWorkbook()->Save(); }, "Save: the call failed (0x800A03EC)"},
      {{}, [&] { raw.Call("Calculate"); }, "Calculate: *(0x80020006)"},
      {bad("BreakLink", 0), [&] { app->ActiveWorkbook()->BreakLink("a.xlsx", 1); },
       "BreakLink: * (argument Type) (0x80020005)"},
      {bad("BreakLink", 1), [&] { app->ActiveWorkbook()->BreakLink("a.xlsx", 1); },
       "BreakLink: * (argument name) (0x80020005)"},
      {bad("Open", 0), [&] { app->Workbooks()->Open("x.xlsx"); }, "Open: * (argument 1) (0x80020005)"},
      {create(REGDB_E_CLASSNOTREG), [&] { excel_.Create(); }, "not installed: Excel.Application"},
      {create(CO_E_CLASSSTRING), [&] { excel_.Create(); }, "not installed: Excel.Application"},
      {create(CO_E_SERVER_EXEC_FAILURE), [&] { excel_.Create(); }, "Excel.Application: *(0x80080005)"},
  };
  for (const auto& c : cases) {
    FakeExcel().faults = {c.fault};
    FakeExcel().arrivals.clear();
    const std::string reason = Reason(c.call);
    EXPECT_PRED2(Matches, reason == "no error" ? FakeExcel().instances.front().calls.back() : reason, c.arrived);
  }
  app->ForceEnd();
  ::DestroyWindow(own);
}

TEST_F(ComExcelTest, RunningCheckReadsTheDefaultMemberOfTheRegisteredInstance) {
  EXPECT_THROW(excel_.GetRunning(), base::AutomationError);
  EXPECT_FALSE(links::IsExcelRunning(excel_));

  const auto instance = testing::NewFakeApplication();
  const testing::RunningRegistration running(instance.get());
  EXPECT_TRUE(links::IsExcelRunning(excel_));
  FakeExcel().defaultName = L"Microsoft Excel ";
  EXPECT_FALSE(links::IsExcelRunning(excel_));

  // An instance we only attached to is the user's: ending by force never reaches it.
  testing::ChildWindowProcess child;
  FakeExcel().hwnd = static_cast<LONG>(reinterpret_cast<INT_PTR>(child.Window()));
  excel_.GetRunning()->ForceEnd();
  EXPECT_FALSE(child.EndsWithin(500));
}

constexpr auto kExcelBusy = static_cast<HRESULT>(0x800AC472);

// Each row: one run over both workbooks as the window starts it, with the user's own Excel
// already running. What the run does with a failing step is tests/links/RunTest's; here what COM
// adds: codes and Excel's words in the message, calls Excel turns away while busy, calls that
// never come back, instances that stay after Quit or exit slowly.
TEST_F(ComExcelTest, UnderFaultsEveryRunEndsWithItsMessageAndOnlyTheUsersExcelStillRunning) {
  const std::string deadline = "Save: Excel did not answer within 2 s; its instance was ended";
  const std::string left = "Excel left links to: C:\\Sources\\a.xlsx";
  const struct {
    const char* name;
    std::vector<Fault> faults;
    Books reasons;  // each workbook's line of the final message after its path: "head*tail" or whole
    DWORD exitDelayMs = 0;
    LONG lowerBound = 1;
  } cases[] = {
      {"no fault", {}, {"", ""}},
      {"Quit fails", {{"Quit", FaultKind::Hresult, RPC_E_DISCONNECTED}}, {"Quit: *(0x80010108)", ""}},
      {"Quit answered but the instance stays", {{"Quit", FaultKind::Ignored, S_OK, {}, 0}}, {"", ""}},
      {"instance outlives its last Release", {{"Release", FaultKind::Ignored, S_OK, {}, 0}}, {"", ""}},
      {"Open turned away three times", {{"Open", FaultKind::Hresult, RPC_E_CALL_REJECTED, {}, 1, 3}}, {"", ""}},
      {"Excel's own busy error", {{"Save", FaultKind::Exception, kExcelBusy, L"Excel is busy.", 1, 2}}, {"", ""}},
      {"busy as a plain code", {{"BreakLink", FaultKind::Hresult, kExcelBusy, {}, 1, 2}}, {"", ""}},
      {"told to retry later", {{"LinkSources", FaultKind::Hresult, RPC_E_SERVERCALL_RETRYLATER, {}, 1, 2}}, {"", ""}},
      {"busy for longer than the retries last", {{"Open", FaultKind::Hresult, RPC_E_CALL_REJECTED, {}, 0}},
       {"Open: *(0x80010001)", "Open: *(0x80010001)"}},
      {"Hwnd never read", {{"Hwnd", FaultKind::Hresult, E_FAIL, {}, 0}},
       {"Hwnd: *the instance could not be watched", "Hwnd: *the instance could not be watched"}},
      {"a call that never comes back", {{"Save", FaultKind::Block}}, {deadline, ""}},
      {"slow to exit after Quit", {}, {"", ""}, 1500},
      // The run takes Excel's arrays to start at 1, and says what it left.
      {"sources as strings counted from 0", {}, {left, left}, 0, 0},
  };
  std::map<std::string, int> clean;  // the arrivals of a run without faults
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeExcel() = {.linkSources = {L"C:\\Sources\\a.xlsx", L"C:\\Sources\\b.xlsx"},
                   .exitDelayMs = c.exitDelayMs,
                   .lowerBound = c.lowerBound,
                   .separateProcesses = true,
                   .faults = c.faults};
    const Books books{"C:\\Sweep\\first.xlsx", "C:\\Sweep\\second.xlsx"};
    auto users = testing::NewFakeApplication();
    std::optional<testing::RunningRegistration> running(std::in_place, users.get());
    base::CheckBox backup;  // no backups: only the Excel path is under test
    filelist::FileList files;
    for (const auto& book : books) files.Add(book);
    base::Property<double> progress;
    base::Property<int> pointer;
    testing::FakeMessages messages;
    ComExcel excel({std::chrono::milliseconds(c.exitDelayMs ? 10000 : 300),
                    {.deadline = std::chrono::seconds(2),
                     .busy = {std::chrono::milliseconds(1000), std::chrono::milliseconds(20)}}});
    testing::FakeCopier copier;
    testing::FakeClock clock;
    testing::FakeInput input;
    links::RemoveLinks({backup, files, progress, pointer}, {excel, messages, copier, clock, input});
    running.reset();
    users.reset();
    const testing::FakeExcelState& state = FakeExcel();
    // Each fault was met; a call turned away is made again until it goes through.
    if (clean.empty()) clean = state.arrivals;  // the first row's
    for (const Fault& f : c.faults) {
      EXPECT_GE(state.arrivals.at(f.step), f.nth) << f.step;
      EXPECT_TRUE(!c.reasons[0].empty() || !f.nth || state.arrivals.at(f.step) == clean[f.step] + f.times) << f.step;
    }

    // The warning about the running Excel, then one final message naming exactly the failed
    // workbooks with the failing step and its reason.
    ASSERT_EQ(messages.shown.size(), 2u);
    const std::string& report = messages.shown[1].text;
    for (std::size_t book = 0; book < 2; ++book) {
      const std::size_t at = report.find(books[book] + "\r\n    ");
      const std::size_t from = at == std::string::npos ? at : at + books[book].size() + 6;
      const std::string reason = from == at ? "" : report.substr(from, report.find("\r\n", from) - from);
      EXPECT_PRED2(Matches, reason, c.reasons[book]) << report;
    }
    EXPECT_TRUE(c.reasons != Books() || report == "Done.") << report;

    // Every instance the run created had its macros off before it opened anything, and is gone,
    // by itself where it took its Quit in time; the user's own was only asked its name, and runs.
    for (const FakeInstance& instance : state.instances) {
      if (!instance.created) continue;
      EXPECT_EQ(instance.macrosRun, 0);  // counts the opens while AutomationSecurity was not 3
      EXPECT_TRUE(instance.process->EndsWithin(5000)) << "an instance still runs";
      EXPECT_TRUE(!c.exitDelayMs || instance.process->ExitCode() == testing::kChildOwnExitCode) << "ended by force";
    }
    const FakeInstance& own = state.instances.front();
    ASSERT_TRUE(!own.created && own.process);
    EXPECT_EQ(own.calls, std::vector<std::string>{"Application.(default)"});
    EXPECT_FALSE(own.process->EndsWithin(0)) << "the user's Excel was ended";
    EXPECT_EQ(state.liveObjects, 0) << "a COM reference was leaked";
  }
}

}  // namespace
}  // namespace quorvane::win32

int main(int argc, char** argv) { return quorvane::testing::RunTests(argc, argv); }
