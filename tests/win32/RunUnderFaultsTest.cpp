// The run over two workbooks through the real COM path, with the automation
// object failing at one step after another.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "FakeExcelServer.h"
#include "base/Controls.h"
#include "base/MessageBoxes.h"
#include "filelist/FileList.h"
#include "links/Run.h"
#include "win32/ComExcel.h"
#include "win32/FileCopier.h"
#include "win32/RegionalClock.h"

namespace quorvane::win32 {
namespace {

using testing::FakeExcel;
using testing::FakeInstance;
using testing::Fault;

class AnswerYes final : public base::MessageBoxes {
 public:
  base::MessageAnswer Show(const std::string& text, base::MessageButtons buttons) override {
    shown.push_back(text);
    return buttons == base::MessageButtons::YesNo ? base::MessageAnswer::Yes : base::MessageAnswer::Ok;
  }
  std::vector<std::string> shown;
};

const std::string kBooks[] = {"C:\\Sweep\\first.xlsx", "C:\\Sweep\\second.xlsx"};

constexpr auto kExcelError = static_cast<HRESULT>(0x800A03EC);
constexpr auto kServerExecFailure = static_cast<HRESULT>(0x80080005);
constexpr auto kDisconnected = static_cast<HRESULT>(0x80010108);
constexpr auto kCallRejected = static_cast<HRESULT>(0x80010001);

struct Failure {
  int book;            // 1 or 2
  std::string member;  // the step the report names
  HRESULT code;
  std::string text;    // the server's description, when it gave one
};

struct Case {
  const char* name;
  std::vector<Fault> faults;
  std::vector<Failure> failures;  // what the final message reports
  bool reached = true;            // false: the run never takes the step
};

// The nth arrival of the step (0: every one) returns the code, raises an
// exception with the text, or (Quit, Release) is ignored every time.
Fault Error(const char* step, HRESULT code, int nth = 1) { return {step, testing::FaultKind::Hresult, code, {}, nth}; }
Fault Raised(const char* step, const wchar_t* text, int nth = 1) {
  return {step, testing::FaultKind::Exception, kExcelError, text, nth};
}
Fault Ignored(const char* step) { return {step, testing::FaultKind::Ignored, S_OK, {}, 0}; }

// Every workbook has two link sources, so BreakLink's second arrival is the
// later source of the first workbook.
std::vector<Case> Cases() {
  return {
      {"no fault", {}, {}},
      {"creation", {Error("Create", kServerExecFailure)}, {{1, "Excel.Application", kServerExecFailure, ""}}},
      {"Visible is never set", {Raised("Visible", L"no", 0)}, {}, false},
      {"DisplayAlerts off", {Raised("DisplayAlerts", L"Alerts cannot be changed now")},
       {{1, "DisplayAlerts", kExcelError, "Alerts cannot be changed now"}}},
      {"DisplayAlerts back on after the save", {Error("DisplayAlerts", E_FAIL, 2)},
       {{1, "DisplayAlerts", E_FAIL, ""}}},
      {"AskToUpdateLinks", {Error("AskToUpdateLinks", E_ACCESSDENIED)},
       {{1, "AskToUpdateLinks", E_ACCESSDENIED, ""}}},
      {"Workbooks", {Error("Workbooks", kDisconnected)}, {{1, "Workbooks", kDisconnected, ""}}},
      {"Open", {Raised("Open", L"'first.xlsx' could not be found.")},
       {{1, "Open", kExcelError, "'first.xlsx' could not be found."}}},
      {"ActiveWorkbook", {Error("ActiveWorkbook", kDisconnected)}, {{1, "ActiveWorkbook", kDisconnected, ""}}},
      {"LinkSources", {Error("LinkSources", kExcelError)}, {{1, "LinkSources", kExcelError, ""}}},
      {"first BreakLink", {Raised("BreakLink", L"The source is not reachable.")},
       {{1, "BreakLink", kExcelError, "The source is not reachable."}}},
      {"later BreakLink", {Error("BreakLink", kCallRejected, 2)}, {{1, "BreakLink", kCallRejected, ""}}},
      {"Save", {Raised("Save", L"The file is read-only.")}, {{1, "Save", kExcelError, "The file is read-only."}}},
      {"Close after a failed Save", {Raised("Save", L"Disk full."), Error("Close", kDisconnected)},
       {{1, "Save", kExcelError, "Disk full."}}},
      {"Quit once", {Error("Quit", kDisconnected)}, {{1, "Quit", kDisconnected, ""}}},
      {"Quit every time", {Raised("Quit", L"Busy.", 0)},
       {{1, "Quit", kExcelError, "Busy."}, {2, "Quit", kExcelError, "Busy."}}},
      {"Quit answered but the instance stays", {Ignored("Quit")}, {}},
      {"instance outlives its last Release", {Ignored("Release")}, {}},
  };
}

// "(0x800A03EC)", as the reason ends.
std::string CodeSuffix(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "(0x%08lX)", static_cast<unsigned long>(code));
  return text;
}

bool Has(const std::vector<std::string>& calls, const std::string& call) {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

// The instance the run created for a workbook, if it got as far as Open.
const FakeInstance* OpenedFor(const std::string& book) {
  for (const FakeInstance& instance : FakeExcel().instances)
    if (instance.created && Has(instance.calls, "Workbooks.Open(" + book + "&)")) return &instance;
  return nullptr;
}

class RunUnderFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ProgIdMapsToFake())
      GTEST_SKIP() << "Excel.Application is not mapped to the test class (run through scripts/test-windows)";
    ASSERT_TRUE(SUCCEEDED(registration_.Result()));
  }
  void TearDown() override { FakeExcel() = testing::FakeExcelState{}; }

  // One run over both workbooks as the window starts it, with the user's own
  // Excel already running. Gives the messages shown.
  std::vector<std::string> Run(bool& leftIdle) {
    auto users = testing::NewFakeApplication();
    DWORD cookie = 0;
    EXPECT_TRUE(SUCCEEDED(::RegisterActiveObject(users.get(), testing::kFakeExcelClass, ACTIVEOBJECT_STRONG, &cookie)));

    base::CheckBox backup;  // no backups: only the Excel path is under test
    filelist::FileList files;
    for (const auto& book : kBooks) files.Add(book);
    base::Property<double> progress;
    base::Property<int> pointer;
    AnswerYes messages;
    ComExcel excel(std::chrono::milliseconds(100));
    Win32FileCopier copier;
    Win32RegionalClock clock;
    links::RemoveLinks({backup, files, progress, pointer}, {excel, messages, copier, clock});

    ::RevokeActiveObject(cookie, nullptr);
    users.reset();
    leftIdle = pointer.Get() == base::kPointerDefault && progress.Get() == 0.0;
    return messages.shown;
  }

  void Check(const Case& c);

  testing::FakeExcelRegistration registration_;
};

// One case; a fatal failure ends only this case.
void RunUnderFaultsTest::Check(const Case& c) {
  FakeExcel() = testing::FakeExcelState{};
  FakeExcel().separateProcesses = true;
  FakeExcel().linkSources = {L"C:\\Sources\\a.xlsx", L"C:\\Sources\\b.xlsx"};
  FakeExcel().faults = c.faults;

  bool leftIdle = false;
  const std::vector<std::string> shown = Run(leftIdle);
  EXPECT_TRUE(leftIdle) << "the window still shows the run";
  const testing::FakeExcelState& state = FakeExcel();
  EXPECT_EQ(state.faultsFired > 0, !c.faults.empty() && c.reached);

  // The report: the warning about the running Excel, then one final message
  // naming exactly the failed workbooks with the failing step and its reason.
  ASSERT_EQ(shown.size(), 2u);
  const std::string& report = shown[1];
  if (c.failures.empty()) {
    EXPECT_EQ(report, "Done.");
  } else {
    EXPECT_NE(report.find(std::to_string(c.failures.size()) + " of 2 workbooks could not be processed"),
              std::string::npos)
        << report;
  }
  for (int book = 1; book <= 2; ++book) {
    const auto failure = std::find_if(c.failures.begin(), c.failures.end(),
                                      [book](const Failure& f) { return f.book == book; });
    const std::string& path = kBooks[book - 1];
    if (failure == c.failures.end()) {
      EXPECT_EQ(report.find(path), std::string::npos) << report;
      // Worked through to the end in an instance of its own.
      const FakeInstance* instance = OpenedFor(path);
      ASSERT_NE(instance, nullptr) << path << " was not opened";
      EXPECT_TRUE(Has(instance->calls, "Workbook.Save()")) << path;
      EXPECT_TRUE(Has(instance->calls, "Application.Quit()")) << path;
      continue;
    }
    const std::string line = path + "\r\n    " + failure->member + ": ";
    const std::size_t at = report.find(line);
    ASSERT_NE(at, std::string::npos) << report;
    const std::size_t from = at + line.size();
    const std::string reason = report.substr(from, report.find("\r\n", from) - from);
    EXPECT_NE(reason.find(failure->text), std::string::npos) << reason;
    EXPECT_NE(reason.find(CodeSuffix(failure->code)), std::string::npos) << reason;
  }

  // Nothing is saved after a failure in the same instance.
  for (const FakeInstance& instance : state.instances) {
    if (instance.faults.empty()) continue;
    const auto after = instance.calls.begin() + static_cast<std::ptrdiff_t>(
                                                    std::min(instance.faults.front() + 1, instance.calls.size()));
    EXPECT_EQ(std::count(after, instance.calls.end(), "Workbook.Save()"), 0);
  }

  // Every instance the run created is gone; the user's own was only asked
  // its name, and still runs.
  EXPECT_EQ(state.LiveInstances(), 0);
  ASSERT_FALSE(state.instances.empty());
  const FakeInstance& users = state.instances.front();
  ASSERT_FALSE(users.created);
  EXPECT_EQ(users.calls, std::vector<std::string>{"Application.(default)"});
  ASSERT_TRUE(users.process);
  EXPECT_TRUE(users.process->Alive());
  EXPECT_EQ(state.liveObjects, 0) << "a COM reference was leaked";
}

TEST_F(RunUnderFaultsTest, EveryFailingStepIsReportedAndEndsOnlyTheInstancesTheRunCreated) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    Check(c);
  }
}

}  // namespace
}  // namespace quorvane::win32
