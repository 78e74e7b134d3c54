// The COM layer against the stand-in Excel: names and argument types as they
// arrive, failures turned into messages, the running check and ending an
// instance; then the run over two workbooks through the real COM path, with
// the stand-in failing, turning calls away, blocking, leaving links and
// exiting slowly, and over real files that Excel must never be asked to open.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>

#include "FakeExcelServer.h"
#include "base/Controls.h"
#include "base/MessageBoxes.h"
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
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

namespace fs = std::filesystem;
using testing::FakeExcel;
using testing::FakeInstance;
using testing::Fault;
using testing::FaultKind;
using Books = std::array<std::string, 2>;
using Calls = std::vector<std::string>;

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
std::string Reason(const std::function<void()>& call) {
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
    const std::string text = Reason(c.call);
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


class AnswerYes final : public base::MessageBoxes {
 public:
  base::MessageAnswer Show(const std::string& text, base::MessageButtons buttons) override {
    shown.push_back(text);
    return buttons == base::MessageButtons::YesNo ? base::MessageAnswer::Yes : base::MessageAnswer::Ok;
  }
  std::vector<std::string> shown;
};

const wchar_t* const kKept = L"C:\\Sources\\b.xlsx";
constexpr auto kExcelError = static_cast<HRESULT>(0x800A03EC);
constexpr auto kExcelBusy = static_cast<HRESULT>(0x800AC472);
constexpr auto kDisconnected = static_cast<HRESULT>(0x80010108);
constexpr auto kCallRejected = static_cast<HRESULT>(0x80010001);
constexpr auto kServerExecFailure = static_cast<HRESULT>(0x80080005);
constexpr auto kServerFault = static_cast<HRESULT>(0x80010105);
constexpr auto kRetryLater = static_cast<HRESULT>(0x8001010A);

struct Failure {
  int book;            // 1 or 2
  std::string member;  // the step the report names; "": `text` is the whole reason
  HRESULT code;        // the code the reason ends with; 0: none
  std::string text;    // the server's description or our own words
};

struct Case {
  const char* name;
  std::vector<Fault> faults;
  std::vector<Failure> failures;  // what the final message reports
  std::function<void(testing::FakeExcelState&)> teach = {};
  std::function<Books(const fs::path& folder)> files = {};  // else two paths nobody opens
  std::function<void(const Books&)> also = {};  // what else must hold afterwards
};

// The nth arrival of the step, and `times` after it, returns the code or
// raises an exception with the text; Ignored and Blocked hit every arrival.
Fault Error(const char* step, HRESULT code, int nth = 1, int times = 1) {
  return {step, FaultKind::Hresult, code, {}, nth, times};
}
Fault Raised(const char* step, const wchar_t* text, int nth = 1, HRESULT code = kExcelError, int times = 1) {
  return {step, FaultKind::Exception, code, text, nth, times};
}
Fault Ignored(const char* step) { return {step, FaultKind::Ignored, S_OK, {}, 0}; }
Fault Blocked(const char* step) { return {step, FaultKind::Block, S_OK, {}, 1}; }

// A workbook with one linked cell, as the stand-in's sources name it.
std::string LinkedBook(const fs::path& file) {
  testing::WorkbookBuilder book;
  book.AddBookLink(
      {"b.xlsx", {"Sheet1"}, R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>5</v></cell></row></sheetData>)"});
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><f>[1]Sheet1!A1</f><v>5</v></c></row>)");
  book.Write(file);
  return base::ToUtf8(file);
}

bool NoBookLinksLeft(const std::string& path) {
  return ooxml::Workbook::Open(base::FromUtf8(path)).BookSources().empty();
}

// Held open by another program, shared for reading only, as Excel holds a workbook it has open.
UniqueFile held;

// Every workbook has two link sources, so BreakLink's second arrival is the
// later source of the first workbook.
std::vector<Case> Cases() {
  const std::string left = "Excel left links to: " + Narrow(kKept);
  const std::string deadline = "Excel did not answer within 2 s; its instance was ended";
  const auto keepOne = [](testing::FakeExcelState& s) { s.keptByBreakLink = {kKept}; };
  const auto real = [](const fs::path& folder) {
    return Books{LinkedBook(folder / "one.xlsx"), LinkedBook(folder / "two.xlsx")};
  };
  return {
      {"no fault", {}, {}},
      {"creation", {Error("Create", kServerExecFailure)}, {{1, "Excel.Application", kServerExecFailure, ""}}},
      {"macros cannot be turned off", {Raised("AutomationSecurity", L"Not allowed here.")},
       {{1, "AutomationSecurity", kExcelError, "Not allowed here."}}},
      {"Open", {Raised("Open", L"'first.xlsx' could not be found.")},
       {{1, "Open", kExcelError, "'first.xlsx' could not be found."}}},
      {"later BreakLink", {Error("BreakLink", kServerFault, 2)}, {{1, "BreakLink", kServerFault, ""}}},
      {"Close after a failed Save", {Raised("Save", L"Disk full."), Error("Close", kDisconnected)},
       {{1, "Save", kExcelError, "Disk full."}}},
      {"Quit once", {Error("Quit", kDisconnected)}, {{1, "Quit", kDisconnected, ""}}},
      {"Quit every time", {Raised("Quit", L"Busy.", 0)},
       {{1, "Quit", kExcelError, "Busy."}, {2, "Quit", kExcelError, "Busy."}}},
      {"Quit answered but the instance stays", {Ignored("Quit")}, {}},
      {"instance outlives its last Release", {Ignored("Release")}, {}},
      // Excel turning calls away while it starts or works.
      {"Open turned away three times", {Error("Open", kCallRejected, 1, 3)}, {}},
      {"Excel's own busy error at Save", {Raised("Save", L"Excel is busy.", 1, kExcelBusy, 2)}, {}},
      {"busy as a plain code", {Error("BreakLink", kExcelBusy, 1, 2)}, {}},
      {"told to retry later", {Error("LinkSources", kRetryLater, 1, 2)}, {}},
      {"Hwnd turned away at first", {Error("Hwnd", kCallRejected, 1, 2)}, {}},
      {"busy for longer than the retries last", {Error("Open", kCallRejected, 0)},
       {{1, "Open", kCallRejected, ""}, {2, "Open", kCallRejected, ""}}},
      {"Hwnd never read", {Error("Hwnd", E_FAIL, 0)},
       {{1, "Hwnd", E_FAIL, "the instance could not be watched"}, {2, "Hwnd", E_FAIL, "could not be watched"}}},
      {"a call that never comes back", {Blocked("Open")}, {{1, "Open", 0, deadline}}},
      {"a call that never comes back after the breaks", {Blocked("Save")}, {{1, "Save", 0, deadline}}},
      {"slow to exit after Quit", {}, {}, [](testing::FakeExcelState& s) { s.exitDelayMs = 1500; }, {},
       [](const Books&) {
         for (const FakeInstance& instance : FakeExcel().instances)
           EXPECT_TRUE(!instance.created || instance.process->ExitCode() == testing::kChildOwnExitCode)
               << "ended by force";
       }},
      {"a source left where the engine cannot go", {}, {{1, "", 0, left}, {2, "", 0, left}}, keepOne},
      // Real files: one Windows shares for reading only is never handed to Excel.
      {"held open by another program", {}, {{1, "", 0, "in use by another program: not opened"}}, {},
       [](const fs::path& folder) {
         const Books books{LinkedBook(folder / "held.xlsx"), LinkedBook(folder / "second.xlsx")};
         held.reset(::CreateFileW((folder / "held.xlsx").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
         EXPECT_TRUE(held);
         return books;
       },
       [](const Books&) { held.reset(); }},
      {"a source Excel leaves in real workbooks", {}, {}, keepOne, real, [](const Books& books) {
         for (const auto& book : books) EXPECT_TRUE(NoBookLinksLeft(book)) << book;
       }},
  };
}

bool Has(const Calls& calls, const std::string& call) {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

// The instance the run created for a workbook, if it got as far as Open.
const FakeInstance* OpenedFor(const std::string& book) {
  for (const FakeInstance& instance : FakeExcel().instances)
    if (instance.created && Has(instance.calls, "Workbooks.Open(" + book + "&)")) return &instance;
  return nullptr;
}

// Each row: one run over both workbooks as the window starts it, with the
// user's own Excel already running.
TEST_F(ComExcelTest, UnderFaultsEveryRunEndsWithItsMessageAndOnlyTheUsersExcelStillRunning) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    FakeExcel() = testing::FakeExcelState{};
    FakeExcel().separateProcesses = true;
    FakeExcel().linkSources = {L"C:\\Sources\\a.xlsx", kKept};
    FakeExcel().faults = c.faults;
    if (c.teach) c.teach(FakeExcel());
    const tests::ScratchDir folder("faults");
    const Books books = c.files ? c.files(folder.Path()) : Books{"C:\\Sweep\\first.xlsx", "C:\\Sweep\\second.xlsx"};
    auto users = testing::NewFakeApplication();
    DWORD cookie = 0;
    EXPECT_TRUE(SUCCEEDED(::RegisterActiveObject(users.get(), testing::kFakeExcelClass, ACTIVEOBJECT_STRONG, &cookie)));
    base::CheckBox backup;  // no backups: only the Excel path is under test
    filelist::FileList files;
    for (const auto& book : books) files.Add(book);
    base::Property<double> progress;
    base::Property<int> pointer;
    AnswerYes messages;
    const ExcelTimes times{std::chrono::milliseconds(FakeExcel().exitDelayMs ? 10000 : 300),
                           {.deadline = std::chrono::seconds(2),
                            .busy = {std::chrono::milliseconds(1000), std::chrono::milliseconds(20)}}};
    ooxml::EngineObstacleFinder obstacleFinder;
    ooxml::BuiltinAutomation engine;
    ComExcel excel(times, {&obstacleFinder, &engine});
    Win32FileCopier copier;
    Win32RegionalClock clock;
    testing::FakeInput input;
    links::RemoveLinks({backup, files, progress, pointer}, {excel, messages, copier, clock, input});
    ::RevokeActiveObject(cookie, nullptr);
    users.reset();
    if (c.also) c.also(books);
    EXPECT_TRUE(pointer.Get() == base::kPointerDefault && progress.Get() == 0.0) << "the window still shows the run";
    const testing::FakeExcelState& state = FakeExcel();
    EXPECT_EQ(state.faultsFired > 0, !c.faults.empty());

    // The warning about the running Excel, then one final message naming
    // exactly the failed workbooks with the failing step and its reason.
    ASSERT_EQ(messages.shown.size(), 2u);
    const std::string& report = messages.shown[1];
    const std::string summary = std::to_string(c.failures.size()) + " of 2 workbooks could not be processed";
    EXPECT_TRUE(c.failures.empty() ? report == "Done." : report.find(summary) != std::string::npos) << report;
    for (int book = 1; book <= 2; ++book) {
      const auto failure =
          std::find_if(c.failures.begin(), c.failures.end(), [book](const Failure& f) { return f.book == book; });
      const std::string& path = books[static_cast<std::size_t>(book - 1)];
      const FakeInstance* instance = OpenedFor(path);
      if (failure == c.failures.end()) {
        // Worked through to the end in an instance of its own.
        EXPECT_EQ(report.find(path), std::string::npos) << report;
        ASSERT_NE(instance, nullptr) << path << " was not opened";
        EXPECT_TRUE(Has(instance->calls, "Workbook.Save()") && Has(instance->calls, "Application.Quit()")) << path;
        continue;
      }
      const std::string line = path + "\r\n    " + (failure->member.empty() ? "" : failure->member + ": ");
      const std::size_t at = report.find(line);
      ASSERT_NE(at, std::string::npos) << report;
      const std::size_t from = at + line.size();
      const std::string reason = report.substr(from, report.find("\r\n", from) - from);
      if (failure->member.empty()) {
        EXPECT_EQ(reason, failure->text);
        EXPECT_TRUE(!reason.ends_with(": not opened") || !instance) << "handed to Excel";
      } else {
        char code[16];
        std::snprintf(code, sizeof code, "(0x%08lX)", static_cast<unsigned long>(failure->code));
        EXPECT_NE(reason.find(failure->text), std::string::npos) << reason;
        EXPECT_TRUE(!failure->code || reason.find(code) != std::string::npos) << reason;
      }
    }

    // Every instance the run created had its macros off before it opened
    // anything, and is gone; the user's own was only asked its name, and runs.
    for (const FakeInstance& instance : state.instances) {
      if (!instance.created) continue;
      EXPECT_EQ(instance.macrosRun, 0);  // counts the opens while AutomationSecurity was not 3
      EXPECT_TRUE(instance.process->EndsWithin(5000)) << "an instance still runs";  // exits by itself, soon
    }
    const FakeInstance& own = state.instances.front();
    ASSERT_TRUE(!own.created && own.process);
    EXPECT_EQ(own.calls, Calls{"Application.(default)"});
    EXPECT_TRUE(own.process->Alive());
    EXPECT_EQ(state.liveObjects, 0) << "a COM reference was leaked";
  }
}

}  // namespace
}  // namespace quorvane::win32
