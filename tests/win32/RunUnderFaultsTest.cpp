// The run over two workbooks through the real COM path, with the stand-in
// Excel failing at one step after another, turning calls away, blocking,
// leaving links, running macros when allowed and exiting slowly; and over
// real files that Excel must never be asked to open.
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
#include "links/Run.h"
#include "ooxml/BuiltinExcel.h"
#include "ooxml/ObstacleFinder.h"
#include "ooxml/Workbook.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/ComExcel.h"
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
TEST(RunUnderFaults, EveryRowEndsWithItsMessageAndOnlyTheUsersExcelStillRunning) {
  if (!testing::ProgIdMapsToFake())
    GTEST_SKIP() << "Excel.Application is not mapped to the test class (run through scripts/test-windows)";
  const testing::FakeExcelRegistration registration;
  ASSERT_TRUE(SUCCEEDED(registration.Result()));
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
  FakeExcel() = testing::FakeExcelState{};
}

}  // namespace
}  // namespace quorvane::win32
