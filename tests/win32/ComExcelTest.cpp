// The COM layer against the stand-in Excel: names and argument types as they
// arrive, failures turned into messages, the running check; then runs over
// two workbooks through the real COM path.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

#include "FakeExcelServer.h"
#include "base/Controls.h"
#include "base/Utf8Path.h"
#include "fakes/FakeRunServices.h"
#include "filelist/FileList.h"
#include "links/Links.h"
#include "links/Run.h"
#include "ooxml/BuiltinExcel.h"
#include "ooxml/ObstacleFinder.h"
#include "ooxml/Workbook.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/ComExcel.h"
#include "win32/Dispatch.h"
#include "win32/FileCopier.h"
#include "win32/RegionalClock.h"

namespace quorvane::win32 {
namespace {

namespace fs = std::filesystem;
using testing::FakeExcel;
using testing::FakeInstance;
using testing::Fault;
using testing::FaultKind;
using Books = std::array<std::string, 2>;
using Calls = std::vector<std::string>;

class ComExcelTest : public testing::FakeExcelTest {
 protected:
  ComExcel excel_{ExcelTimes{std::chrono::milliseconds(100), {}}};
};

// Each member is reached by name, with its arguments as the VARIANT types
// Excel takes. An instance whose window is this process's own is never ended
// by force: that would end us.
TEST_F(ComExcelTest, EachCallArrivesByNameWithItsArgumentTypes) {
  const HWND own = ::CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                     ::GetModuleHandleW(nullptr), nullptr);
  FakeExcel().hwnd = static_cast<LONG>(reinterpret_cast<INT_PTR>(own));
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
      {[](auto& a) { a.ActiveWorkbook()->LinkSources(1); }, "ActiveWorkbook.LinkSources(Type=1)"},
      {[](auto& a) { a.ActiveWorkbook()->BreakLink("\\\\s\\\u00DC.xls", 1); },
       "ActiveWorkbook.BreakLink(name=\\\\s\\\u00DC.xls&, Type=1)"},
      {[](auto& a) { a.ActiveWorkbook()->Save(); }, "ActiveWorkbook.Save()"},
      {[](auto& a) { a.ActiveWorkbook()->Close(false); }, "ActiveWorkbook.Close(SaveChanges=False)"},
      {[](auto& a) { a.Quit(); }, "Application.Quit()"},
  };
  for (const auto& c : cases) {
    c.call(*app);
    EXPECT_EQ(FakeExcel().instances.back().calls.back(), c.arrived);
  }
  app->ForceEnd();
  ::DestroyWindow(own);
}

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

// The reason names the member, the server's description and the code; a bad
// argument is named as the caller knows it, though the server counts from the
// end. Only a machine without Excel sends the window to the built-in engine.
TEST_F(ComExcelTest, FailingCallBecomesAutomationErrorWithMemberCodeAndDescription) {
  auto app = excel_.Create();
  Dispatch raw(testing::NewFakeApplication());
  const auto bad = [](const char* step, UINT index) {
    return Fault{.step = step, .kind = FaultKind::BadArgument, .argument = index};
  };
  const auto create = [](HRESULT code) { return Fault{.step = "Create", .kind = FaultKind::Hresult, .code = code}; };
  const struct {
    Fault fault;
    std::function<void()> call;
    std::string head, tail;
  } cases[] = {
      {{"Open", FaultKind::Exception, static_cast<HRESULT>(0x800A03EC), L"Die Datei \u00ABx\u00BB fehlt."},
       [&] { app->Workbooks()->Open("x.xlsx"); }, "Open: Die Datei \u00ABx\u00BB fehlt. (0x800A03EC)", ""},
      {{"Save"}, [&] { app->ActiveWorkbook()->Save(); }, "Save: the call failed (0x800A03EC)", ""},
      {{}, [&] { raw.Call("Calculate"); }, "Calculate: ", "(0x80020006)"},
      {bad("BreakLink", 0), [&] { app->ActiveWorkbook()->BreakLink("a.xlsx", 1); },
       "BreakLink: ", " (argument Type) (0x80020005)"},
      {bad("BreakLink", 1), [&] { app->ActiveWorkbook()->BreakLink("a.xlsx", 1); },
       "BreakLink: ", " (argument name) (0x80020005)"},
      {bad("Open", 0), [&] { app->Workbooks()->Open("x.xlsx"); }, "Open: ", " (argument 1) (0x80020005)"},
      {create(REGDB_E_CLASSNOTREG), [&] { excel_.Create(); }, "not installed: Excel.Application", ""},
      {create(CO_E_CLASSSTRING), [&] { excel_.Create(); }, "not installed: Excel.Application", ""},
      {create(CO_E_SERVER_EXEC_FAILURE), [&] { excel_.Create(); }, "Excel.Application: ", "(0x80080005)"},
      {create(HRESULT_FROM_WIN32(ERROR_TIMEOUT)), [&] { excel_.Create(); }, "Excel.Application: ", "(0x800705B4)"},
  };
  for (const auto& c : cases) {
    FakeExcel().faults = {c.fault};
    FakeExcel().arrivals.clear();
    const std::string text = Reason(c.call);
    EXPECT_TRUE(text.starts_with(c.head) && text.ends_with(c.tail)) << text;
  }
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

// A workbook with one linked cell, as the stand-in's sources name it.
std::string LinkedBook(const fs::path& file) {
  testing::WorkbookBuilder book;
  book.AddBookLink(
      {"b.xlsx", {"Sheet1"}, R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>5</v></cell></row></sheetData>)"});
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><f>[1]Sheet1!A1</f><v>5</v></c></row>)");
  book.Write(file);
  return base::ToUtf8(file);
}

// How each workbook's line of the final message reads after its path:
// "" when it went through, "head*tail" or the whole reason.
bool Reads(const std::string& reason, const std::string& pattern) {
  const std::size_t star = pattern.find('*');
  if (star == std::string::npos) return reason == pattern;
  return reason.starts_with(pattern.substr(0, star)) && reason.ends_with(pattern.substr(star + 1));
}

// Each row: one run over both workbooks as the window starts it, with the
// user's own Excel already running. What the run does with a failing step is
// tests/links/RunTest's; here what COM adds: codes and Excel's words in the
// message, calls Excel turns away while busy, calls that never come back,
// instances that stay after Quit or exit slowly, and real files.
TEST_F(ComExcelTest, UnderFaultsEveryRunEndsWithItsMessageAndOnlyTheUsersExcelStillRunning) {
  const Fault rejectedOpen{"Open", FaultKind::Hresult, RPC_E_CALL_REJECTED, {}, 1, 3};
  const std::string deadline = "Save: Excel did not answer within 2 s; its instance was ended";
  const std::string left = "Excel left links to: C:\\Sources\\a.xlsx";
  const struct {
    const char* name;
    std::vector<Fault> faults;
    std::array<std::string, 2> reasons;
    bool realFiles = false;  // the first one held open by another program, the second's source left by Excel
    DWORD exitDelayMs = 0;
    LONG lowerBound = 1;  // of LinkSources' array, then one of strings instead of variants
  } cases[] = {
      {"no fault", {}, {"", ""}},
      {"Quit fails", {{"Quit", FaultKind::Hresult, RPC_E_DISCONNECTED}}, {"Quit: *(0x80010108)", ""}},
      {"Quit answered but the instance stays", {{"Quit", FaultKind::Ignored, S_OK, {}, 0}}, {"", ""}},
      {"instance outlives its last Release", {{"Release", FaultKind::Ignored, S_OK, {}, 0}}, {"", ""}},
      {"Open turned away three times", {rejectedOpen}, {"", ""}},
      {"Excel's own busy error", {{"Save", FaultKind::Exception, kExcelBusy, L"Excel is busy.", 1, 2}}, {"", ""}},
      {"busy as a plain code", {{"BreakLink", FaultKind::Hresult, kExcelBusy, {}, 1, 2}}, {"", ""}},
      {"told to retry later", {{"LinkSources", FaultKind::Hresult, RPC_E_SERVERCALL_RETRYLATER, {}, 1, 2}}, {"", ""}},
      {"busy for longer than the retries last", {{"Open", FaultKind::Hresult, RPC_E_CALL_REJECTED, {}, 0}},
       {"Open: *(0x80010001)", "Open: *(0x80010001)"}},
      {"Hwnd never read", {{"Hwnd", FaultKind::Hresult, E_FAIL, {}, 0}},
       {"Hwnd: *the instance could not be watched", "Hwnd: *the instance could not be watched"}},
      {"a call that never comes back", {{"Save", FaultKind::Block}}, {deadline, ""}},
      {"slow to exit after Quit", {}, {"", ""}, false, 1500},
      {"real files", {}, {"in use by another program: not opened", ""}, true},
      // The run takes Excel's arrays to start at 1, and says what it left.
      {"sources as strings counted from 0", {}, {left, left}, false, 0, 0},
  };
  std::map<std::string, int> clean;  // the arrivals of a run without faults
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeExcel() = {.linkSources = {L"C:\\Sources\\a.xlsx", L"C:\\Sources\\b.xlsx"},
                   .exitDelayMs = c.exitDelayMs,
                   .lowerBound = c.lowerBound,
                   .sourcesAsVariants = c.lowerBound == 1,
                   .separateProcesses = true,
                   .faults = c.faults};
    const tests::ScratchDir folder("faults");
    Books books{"C:\\Sweep\\first.xlsx", "C:\\Sweep\\second.xlsx"};
    UniqueFile held;
    if (c.realFiles) {
      books = {LinkedBook(folder / "held.xlsx"), LinkedBook(folder / "second.xlsx")};
      // Shared for reading only, as Excel holds a workbook it has open: never handed to Excel.
      held.reset(::CreateFileW((folder / "held.xlsx").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(held);
      FakeExcel().keptByBreakLink = {L"C:\\Sources\\b.xlsx"};  // for the built-in engine to break
    }
    auto users = testing::NewFakeApplication();
    std::optional<testing::RunningRegistration> running(std::in_place, users.get());
    base::CheckBox backup;  // no backups: only the Excel path is under test
    filelist::FileList files;
    for (const auto& book : books) files.Add(book);
    base::Property<double> progress;
    base::Property<int> pointer;
    testing::FakeMessages messages;
    const ExcelTimes times{std::chrono::milliseconds(c.exitDelayMs ? 10000 : 300),
                           {.deadline = std::chrono::seconds(2),
                            .busy = {std::chrono::milliseconds(1000), std::chrono::milliseconds(20)}}};
    ooxml::EngineObstacleFinder obstacleFinder;
    ooxml::BuiltinAutomation engine;
    ComExcel excel(times, {&obstacleFinder, &engine});
    Win32FileCopier copier;
    Win32RegionalClock clock;
    testing::FakeInput input;
    links::RemoveLinks({backup, files, progress, pointer}, {excel, messages, copier, clock, input});
    running.reset();
    users.reset();
    held.reset();
    const testing::FakeExcelState& state = FakeExcel();
    EXPECT_EQ(state.faultsFired > 0, !c.faults.empty());
    // A call turned away is made again until it goes through.
    if (clean.empty()) clean = state.arrivals;  // the first row's
    for (const Fault& f : c.faults)
      EXPECT_TRUE(!c.reasons[0].empty() || !f.nth || state.arrivals.at(f.step) == clean[f.step] + f.times) << f.step;
    if (c.realFiles) {
      EXPECT_EQ(state.arrivals.at("Open"), 1) << "the held workbook was handed to Excel";
      EXPECT_TRUE(ooxml::Workbook::Open(base::FromUtf8(books[1])).BookSources().empty());
    }

    // The warning about the running Excel, then one final message naming
    // exactly the failed workbooks with the failing step and its reason.
    ASSERT_EQ(messages.shown.size(), 2u);
    const std::string& report = messages.shown[1].text;
    for (std::size_t book = 0; book < 2; ++book) {
      const std::size_t at = report.find(books[book] + "\r\n    ");
      const std::size_t from = at == std::string::npos ? at : at + books[book].size() + 6;
      const std::string reason = from == at ? "" : report.substr(from, report.find("\r\n", from) - from);
      EXPECT_PRED2(Reads, reason, c.reasons[book]) << report;
    }
    EXPECT_TRUE(c.reasons != Books() || report == "Done.") << report;

    // Every instance the run created had its macros off before it opened
    // anything, and is gone, by itself where it took its Quit in time; the
    // user's own was only asked its name, and runs.
    for (const FakeInstance& instance : state.instances) {
      if (!instance.created) continue;
      EXPECT_EQ(instance.macrosRun, 0);  // counts the opens while AutomationSecurity was not 3
      EXPECT_TRUE(instance.process->EndsWithin(5000)) << "an instance still runs";
      EXPECT_TRUE(!c.exitDelayMs || instance.process->ExitCode() == testing::kChildOwnExitCode) << "ended by force";
    }
    const FakeInstance& own = state.instances.front();
    ASSERT_TRUE(!own.created && own.process);
    EXPECT_EQ(own.calls, Calls{"Application.(default)"});
    EXPECT_FALSE(own.process->EndsWithin(0)) << "the user's Excel was ended";
    EXPECT_EQ(state.liveObjects, 0) << "a COM reference was leaked";
  }
}

}  // namespace
}  // namespace quorvane::win32
