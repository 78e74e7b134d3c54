// The run, its backups and the per-workbook Excel sequence against recording fakes.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "base/BackupShape.h"
#include "fakes/FakeExcel.h"
#include "fakes/FakeRunServices.h"
#include "links/Backup.h"
#include "links/Links.h"
#include "links/Run.h"

namespace quorvane::links {
namespace {

using testing::FakeExcel;

struct Paths final : base::PathList {
  std::vector<std::string> items;
  std::size_t Count() const override { return items.size(); }
  const std::string& Text(std::size_t index) const override { return items.at(index - 1); }
};

struct FakeObstacles final : base::ObstacleFinder {
  std::map<std::string, base::OpeningObstacle> obstacles;
  std::function<void(const std::string&)> onLook;
  base::OpeningObstacle Look(const std::string& path) noexcept override {
    onLook(path);
    const auto it = obstacles.find(path);
    return it == obstacles.end() ? base::OpeningObstacle::None : it->second;
  }
};

struct RunFixture : ::testing::Test {
  FakeExcel excel;
  testing::FakeMessages messages;
  testing::FakeCopier files;
  testing::FakeClock clock;
  testing::FakeInput input;
  FakeObstacles finder;
  base::CheckBox backup;
  Paths list;
  base::Property<double> progress{0.0};
  base::Property<int> pointer{base::kPointerDefault};

  RunFixture() {
    messages.pointer = &pointer;
    messages.progress = &progress;
    // A workbook is looked at only once its backup, when asked for, is made.
    finder.onLook = [this](const std::string& path) {
      if (backup.Value() == 0) return;
      ASSERT_FALSE(files.copies.empty());
      EXPECT_EQ(files.copies.back().first, path) << "looked at before its backup";
    };
  }
  // A fresh Excel and no message shown yet, over these workbooks.
  void Start(const std::vector<std::string>& paths) {
    excel = FakeExcel();
    excel.aids.obstacleFinder = &finder;
    messages.shown.clear();
    list.items = paths;
    files.files.insert(paths.begin(), paths.end());
  }
  void Run() { RemoveLinks({backup, list, progress, pointer}, {excel, messages, files, clock, input}); }
  std::vector<std::string> Told() const {
    std::vector<std::string> texts;
    for (const auto& shown : messages.shown) texts.push_back(shown.text);
    return texts;
  }
};

// The order is a contract: macros off before Open, both settings after it,
// each source broken on a fresh ActiveWorkbook, Quit with the workbook still
// open, and an instance released only once the next has opened its workbook.
TEST_F(RunFixture, EachWorkbookFollowsTheExactCallOrder) {
  Start({"C:\\a.xlsx", "C:\\b.xlsx"});
  excel.sources["C:\\a.xlsx"] = {"C:\\src\\one.xlsx", "C:\\src\\two.xlsx"};
  std::size_t shownAtDiscard = 99;
  input.onDiscard = [&] { shownAtDiscard = messages.shown.size(); };
  Run();
  const std::vector<std::string> expected = {
      "GetRunning", "Create#1", "AutomationSecurity=3", "Workbooks", "Open(C:\\a.xlsx)", "DisplayAlerts=False",
      "AskToUpdateLinks=False", "ActiveWorkbook", "LinkSources(Type=1)", "ActiveWorkbook",
      "BreakLink(name=C:\\src\\one.xlsx,Type=1)", "ActiveWorkbook", "BreakLink(name=C:\\src\\two.xlsx,Type=1)",
      "ActiveWorkbook", "LinkSources(Type=1)", "ActiveWorkbook", "Save", "DisplayAlerts=True", "Quit#1",
      "Create#2", "AutomationSecurity=3", "Workbooks", "Open(C:\\b.xlsx)", "Release#1", "DisplayAlerts=False",
      "AskToUpdateLinks=False", "ActiveWorkbook", "LinkSources(Type=1)", "ActiveWorkbook", "Save",
      "DisplayAlerts=True", "Quit#2", "Release#2"};
  EXPECT_EQ(excel.log, expected);
  EXPECT_EQ(excel.alive, 0);
  EXPECT_EQ(Told(), std::vector<std::string>{kDone});
  EXPECT_EQ(shownAtDiscard, 0u) << "queued input must go before the closing message";
}

// A running Excel is asked about first; No ends the run there, leaving even
// the bar and the pointer as they were.
TEST_F(RunFixture, WhatTheUserIsToldBeforeAnyWork) {
  using base::MessageAnswer;
  const struct {
    std::string running;  // "" for none
    MessageAnswer answer;
    bool withFiles;
    std::vector<std::string> told;
  } cases[] = {
      {"", MessageAnswer::Yes, true, {kDone}},
      {"Microsoft Excel", MessageAnswer::No, true, {kExcelOpenWarning}},
      {"Microsoft Excel", MessageAnswer::Yes, true, {kExcelOpenWarning, kDone}},
      {"microsoft excel", MessageAnswer::No, true, {kDone}},  // only that exact name counts
      {"", MessageAnswer::Yes, false, {kNoFilesAdded}},
      {"Microsoft Excel", MessageAnswer::Yes, false, {kExcelOpenWarning, kNoFilesAdded}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.running + " " + c.told.back());
    Start(c.withFiles ? std::vector<std::string>{"C:\\a.xlsx"} : std::vector<std::string>{});
    excel.running = !c.running.empty();
    excel.runningName = c.running;
    messages.answers = {c.answer};
    progress.Set(42.0);
    pointer.Set(base::kPointerCustom);
    Run();
    const bool stopped = c.told.back() == kExcelOpenWarning;
    EXPECT_EQ(Told(), c.told);
    const bool asked = c.told[0] == kExcelOpenWarning;
    EXPECT_EQ(messages.shown[0].buttons, asked ? base::MessageButtons::YesNo : base::MessageButtons::Ok);
    EXPECT_EQ(messages.shown.back().pointer, stopped ? base::kPointerCustom : base::kPointerHourglass);
    EXPECT_EQ(progress.Get(), stopped ? 42.0 : 0.0);
    EXPECT_EQ(pointer.Get(), stopped ? base::kPointerCustom : base::kPointerDefault);
  }
}

TEST_F(RunFixture, BarShowsTheShareOfEntriesBegunUntilTheClosingMessageIsRead) {
  std::vector<double> seen;
  progress.Changed = [&](double v) { seen.push_back(v); };
  Start({"C:\\a.xlsx", "C:\\b.xlsx", "C:\\c.xlsx"});
  Run();
  const std::vector<double> expected = {100.0 / 3.0, 200.0 / 3.0, 100.0, 0.0};
  ASSERT_EQ(seen.size(), expected.size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_DOUBLE_EQ(seen[i], expected[i]);
  EXPECT_EQ(messages.shown.back().progress, 100.0);
  EXPECT_EQ(messages.shown.back().pointer, base::kPointerHourglass);
}

// A backup is made only while the option is ticked, and never over an
// earlier one.
TEST_F(RunFixture, BackupsAreMadeWhileTickedAndNeverOverwritten) {
  Start({"C:\\Reports\\Q1.xls"});
  Run();
  EXPECT_TRUE(files.copies.empty());
  backup.SetValue(1);
  Run();
  Run();  // the same minute
  ASSERT_EQ(files.copies.size(), 2u);
  EXPECT_EQ(files.copies[0].second, "C:\\Reports\\Q1 Backup 7 04 PM Saturday, Dec 5 2026.xls");
  EXPECT_EQ(files.copies[1].second, "C:\\Reports\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (2).xls");
}

// Each way a workbook fails: the closing message names it and why, its Excel
// is ended (closing the workbook unsaved once it is open), nothing is saved
// after the failure, and the next workbook is still processed. A workbook
// whose backup failed, or that Excel would ask about while opening, is never
// handed to Excel. Links BreakLink leaves go to the engine once Excel has
// saved, quit and been ended; without it they fail the workbook.
TEST_F(RunFixture, EachFailureIsToldAndTheRunGoesOn) {
  using base::OpeningObstacle;
  const std::string bad = "C:\\bad.xlsx", two = "C:\\src\\two.xlsx";
  const std::string left = "Excel left links to: " + two;
  FakeExcel engine;
  const auto keep = [&] { excel.keptByBreakLink = {two}; };
  const auto withEngine = [&](const char* fails) {
    return [&, fails] {
      keep();
      excel.aids.engine = &engine;
      engine.failOn = fails;
    };
  };
  const auto obstacle = [&](OpeningObstacle o) { return [&, o] { finder.obstacles[bad] = o; }; };
  const struct {
    std::string excelFails;  // the Excel step that throws
    std::function<void()> setup;
    std::string reason;  // "" when the run is done
    std::size_t opens;   // Open calls in all: fewer if the run stopped
    bool closed, ended;  // bad.xlsx closed unsaved; its instance ended
    std::size_t saves;   // Save calls in all: none after a failure
  } cases[] = {
      {"Create", {}, "Create: simulated failure", 0, false, false, 0},  // both workbooks fail
      {"AutomationSecurity", {}, "AutomationSecurity: simulated failure", 0, false, true, 0},
      {"Open", {}, "Open: simulated failure", 2, false, true, 1},
      {"LinkSources", {}, "LinkSources: simulated failure", 2, true, true, 1},
      {"BreakLink", {}, "BreakLink: simulated failure", 2, true, true, 1},
      {"Save", {}, "Save: simulated failure", 2, true, true, 2},
      {"Quit", {}, "Quit: simulated failure", 2, true, true, 2},
      {"", [&] { files.failCopyFrom = bad; }, "backup copy failed: access denied", 1, false, false, 1},
      {"", obstacle(OpeningObstacle::PasswordToOpen), "password-protected: not opened", 1, false, false, 1},
      {"", obstacle(OpeningObstacle::PasswordToModify), "has a password to modify: not opened", 1, false, false,
       1},
      {"", obstacle(OpeningObstacle::HeldOpen), "in use by another program: not opened", 1, false, false, 1},
      {"", keep, left, 2, false, true, 2},
      {"", withEngine(""), "", 2, false, true, 2},
      {"", withEngine("Open"), left, 2, false, true, 2},  // a file the engine cannot take
      {"", withEngine("Save"), left + "; the built-in engine could not break them: Save: simulated failure", 2,
       false, true, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.excelFails + c.reason);
    Start({bad, "C:\\good.xlsx"});
    backup.SetValue(1);
    finder.obstacles.clear();
    files.failCopyFrom.clear();
    engine = FakeExcel();
    engine.sources[bad] = {two};
    excel.sources[bad] = {"C:\\src\\one.xlsx", two};
    excel.failOn = c.excelFails;
    // Before Open no step knows its workbook: those fail for both.
    const bool beforeOpen = c.excelFails == "Create" || c.excelFails == "AutomationSecurity";
    excel.failPath = beforeOpen ? "" : bad;
    if (c.setup) c.setup();
    Run();
    std::vector<WorkbookFailure> failures;
    if (!c.reason.empty()) failures.push_back({bad, c.reason});
    if (beforeOpen) failures.push_back({"C:\\good.xlsx", c.reason});
    EXPECT_EQ(Told(), std::vector<std::string>{FinalMessage(2, failures)});
    EXPECT_EQ(excel.alive, 0) << "an instance was left running";
    EXPECT_EQ(excel.Matching("Open(").size(), c.opens);
    EXPECT_EQ(excel.Matching("Close(False)").size(), c.closed ? 1u : 0u);
    EXPECT_EQ(excel.Matching("ForceEnd#1").size(), c.ended ? 1u : 0u);
    EXPECT_EQ(excel.Matching("Save").size(), c.saves);
    if (excel.keptByBreakLink.empty()) continue;
    const auto& log = excel.log;
    const auto at = [&](const char* entry) { return std::find(log.begin(), log.end(), entry) - log.begin(); };
    EXPECT_LT(at("Save"), at("Quit#1"));
    EXPECT_LT(at("Quit#1"), at("ForceEnd#1"));
    EXPECT_LT(at("ForceEnd#1"), at("Create#2"));
    if (!excel.aids.engine || !c.reason.empty()) continue;
    EXPECT_EQ(engine.Matching("BreakLink"), std::vector<std::string>{"BreakLink(name=" + two + ",Type=1)"});
    EXPECT_EQ(engine.Matching("Save").size(), 1u);
  }
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
  EXPECT_EQ(progress.Get(), 0.0);
}

TEST(FinalMessage, ListsAtMostTenFailuresAndCutsLongReasons) {
  std::vector<WorkbookFailure> failures;
  for (int i = 0; i < 12; ++i) failures.push_back({"C:\\w" + std::to_string(i) + ".xlsx", std::string(500, 'x')});
  const std::string text = FinalMessage(40, failures);
  EXPECT_EQ(text.rfind("Done.\r\n\r\n12 of 40 workbooks could not be processed:", 0), 0u);
  EXPECT_NE(text.find("C:\\w9.xlsx"), std::string::npos);
  EXPECT_EQ(text.find("C:\\w10.xlsx"), std::string::npos);
  EXPECT_NE(text.find("... and 2 more."), std::string::npos);
  EXPECT_EQ(text.find(std::string(201, 'x')), std::string::npos);
  EXPECT_EQ(FinalMessage(3, {}), kDone);
  EXPECT_EQ(FinalMessage(1, {{"C:\\a.xlsx", "why"}}),
            "Done.\r\n\r\n1 of 1 workbook could not be processed:\r\nC:\\a.xlsx\r\n    why");
}

TEST(BackupName, GoesBesideTheWorkbookSplitAtTheLastDotOfTheFileName) {
  const std::string stamp = "7 04 PM Saturday, Dec 5 2026";
  const std::tuple<const char*, int, const char*> cases[] = {
      {"C:\\Reports\\Q1.xls", 1, "C:\\Reports\\Q1 Backup 7 04 PM Saturday, Dec 5 2026.xls"},
      {"C:\\Old.Reports\\Book.xls", 1, "C:\\Old.Reports\\Book Backup 7 04 PM Saturday, Dec 5 2026.xls"},
      {"C:\\R\\Book.v2.xlsx", 1, "C:\\R\\Book.v2 Backup 7 04 PM Saturday, Dec 5 2026.xlsx"},
      {"C:\\Old.Reports\\Book", 1, "C:\\Old.Reports\\Book Backup 7 04 PM Saturday, Dec 5 2026"},
      {"/home/u/my.dir/book", 1, "/home/u/my.dir/book Backup 7 04 PM Saturday, Dec 5 2026"},
      {"C:\\R\\Q1.xls", 3, "C:\\R\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (3).xls"},
      {"C:\\R.d\\Q1", 2, "C:\\R.d\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (2)"},
  };
  for (const auto& [path, attempt, expected] : cases) EXPECT_EQ(BackupName(path, stamp, attempt), expected);
}

TEST(BackupTimeStamp, UsesTheTwelveHourClockAndRegionalNames) {
  testing::FakeClock clock;
  const std::pair<LocalDateTime, const char*> cases[] = {{{2026, 12, 5, 6, 19, 4}, "7 04 PM Saturday, Dec 5 2026"},
                                                         {{2027, 1, 31, 0, 0, 9}, "12 09 AM Sunday, Jan 31 2027"},
                                                         {{2027, 7, 4, 0, 12, 0}, "12 00 PM Sunday, Jul 4 2027"}};
  for (const auto& [now, expected] : cases) {
    clock.now = now;
    EXPECT_EQ(BackupTimeStamp(clock), expected);
  }
  LocaleClock locale;  // real backups with it are a command-line case
  EXPECT_NE(locale.AmPm(false), locale.AmPm(true));
}

// Regional names as several languages give them: designators empty (24-hour
// locales on Windows), dotted, spaced or in other scripts; month names with
// digits in them.
TEST(BackupName, OurBackupsAreRecognisedInAnyLanguageAndNothingElseIs) {
  const char* names[][3] = {
      {"PM", "Saturday", "Dec"}, {"", "Samstag", "Dez"}, {"p.\xC2\xA0m.", "s\xC3\xA1" "bado", "dic."},
      {"\xE5\x8D\x88\xE5\xBE\x8C", "\xE5\x9C\x9F\xE6\x9B\x9C\xE6\x97\xA5", " 12\xE6\x9C\x88"},
      {"CH", "Th\xE1\xBB\xA9 B\xE1\xBA\xA3y", "thg 12"}};
  for (const LocalDateTime at : {LocalDateTime{2026, 12, 5, 6, 19, 4}, LocalDateTime{999, 1, 31, 0, 0, 9},
                                 LocalDateTime{2026, 12, 5, 6, 23, 59}}) {
    for (const auto& [amPm, weekday, month] : names) {
      const std::string stamp = base::FormatBackupStamp(at.hour, at.minute, amPm, weekday, month, at.day, at.year);
      for (const char* path : {"C:\\R\\Q1.xlsx", "/home/u/Book.v2.xlsm", "/home/u/my.dir/plain"}) {
        for (const int attempt : {1, 2, 1000}) {
          const std::string name = BackupName(path, stamp, attempt);
          EXPECT_TRUE(base::IsBackupName(name.substr(name.find_last_of("\\/") + 1))) << name;
        }
      }
    }
  }
  for (const char* other : {
           "Q1.xlsx", "Q1 Backup.xlsx", "Q1 Backup plan 2026.xlsx", "Q1 backup 7 04 PM Saturday, Dec 5 2026.xlsx",
           "Q1 Backup 13 04 PM Saturday, Dec 5 2026.xlsx", "Q1 Backup 07 04 PM Saturday, Dec 5 2026.xlsx",
           "Q1 Backup 7 4 PM Saturday, Dec 5 2026.xlsx", "Q1 Backup 7 04 PM Saturday, Dec 32 2026.xlsx",
           "Q1 Backup 7 04 PM Saturday, Dec 05 2026.xlsx", "Q1 Backup 7 04 PM Saturday Dec 5 2026.xlsx",
           "Q1 Backup 7 04 Saturday, Dec 5 2026.xlsx", "Q1 Backup 7 04 PM Saturday, Dec 5 2026 (1).xlsx",
           "Q1 Backup 7 04 PM Saturday, Dec 5 2026 copy.xlsx", "Q1 Backup 7 04 PM Saturday, Dec 5 20261.xlsx"})
    EXPECT_FALSE(base::IsBackupName(other)) << other;
}

}  // namespace
}  // namespace quorvane::links
