// The run, its backups and the per-workbook Excel sequence against recording fakes.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "base/BackupShape.h"
#include "fakes/FakeExcel.h"
#include "fakes/FakeRunServices.h"
#include "links/Backup.h"
#include "links/Links.h"
#include "links/Run.h"

namespace quorvane::links {
namespace {

using Strings = std::vector<std::string>;
using Shown = testing::FakeMessages::Shown;

// The fixture is also the run's list of workbooks and the finder of what
// would stop Excel opening one.
struct RunFixture : ::testing::Test, base::PathList, base::ObstacleFinder {
  testing::FakeExcel excel;
  testing::FakeMessages messages;
  testing::FakeCopier files;
  testing::FakeClock clock;
  testing::FakeInput input;
  std::string guarded;  // the workbook with a password to modify
  base::CheckBox backup;
  Strings paths;
  base::Property<double> progress{0.0};
  base::Property<int> pointer{base::kPointerDefault};

  std::size_t Count() const override { return paths.size(); }
  const std::string& Text(std::size_t index) const override { return paths.at(index - 1); }
  // A workbook is looked at only once its backup, when asked for, is made.
  base::OpeningObstacle Look(const std::string& path) noexcept override {
    const bool backedUp = !files.copies.empty() && files.copies.back().first == path;
    EXPECT_TRUE(backedUp || backup.Value() == 0) << "looked at before its backup";
    return path == guarded ? base::OpeningObstacle::PasswordToModify : base::OpeningObstacle::None;
  }
  // A fresh Excel and no message shown yet, over these workbooks.
  void Start(const Strings& workbooks) {
    excel = {};
    excel.aids.obstacleFinder = this;
    messages.shown.clear();
    messages.pointer = &pointer;
    messages.progress = &progress;
    paths = workbooks;
    files.files.insert(paths.begin(), paths.end());
  }
  void Run() { RemoveLinks({backup, *this, progress, pointer}, {excel, messages, files, clock, input}); }
  // The closing message shows with the bar full, under the hourglass.
  static Shown Closing(std::string text) { return {text, base::MessageButtons::Ok, base::kPointerHourglass, 100}; }
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
  const Strings expected = {
      "GetRunning", "Create#1", "AutomationSecurity=3", "Workbooks", "Open(C:\\a.xlsx)", "DisplayAlerts=False",
      "AskToUpdateLinks=False", "ActiveWorkbook", "LinkSources(Type=1)", "ActiveWorkbook",
      "BreakLink(name=C:\\src\\one.xlsx,Type=1)", "ActiveWorkbook", "BreakLink(name=C:\\src\\two.xlsx,Type=1)",
      "ActiveWorkbook", "LinkSources(Type=1)", "ActiveWorkbook", "Save", "DisplayAlerts=True", "Quit#1",
      "Create#2", "AutomationSecurity=3", "Workbooks", "Open(C:\\b.xlsx)", "Release#1", "DisplayAlerts=False",
      "AskToUpdateLinks=False", "ActiveWorkbook", "LinkSources(Type=1)", "ActiveWorkbook", "Save",
      "DisplayAlerts=True", "Quit#2", "Release#2"};
  EXPECT_EQ(excel.log, expected);
  EXPECT_TRUE(files.copies.empty()) << "a backup without the option";
  EXPECT_EQ(messages.shown, std::vector{Closing(kDone)});
  EXPECT_EQ(shownAtDiscard, 0u) << "queued input must go before the closing message";
}

// A running Excel is asked about first; No ends the run there.
TEST_F(RunFixture, WhatTheUserIsToldBeforeAnyWork) {
  using base::MessageAnswer;
  const Shown ask{kExcelOpenWarning, base::MessageButtons::YesNo, base::kPointerDefault, 0.0};
  const Shown none{kNoFilesAdded, base::MessageButtons::Ok, base::kPointerHourglass, 0.0};
  const struct {
    bool running;
    MessageAnswer answer;
    bool withFiles;
    std::vector<Shown> shown;
  } cases[] = {
      {true, MessageAnswer::No, true, {ask}},
      {true, MessageAnswer::Yes, true, {ask, Closing(kDone)}},
      {false, MessageAnswer::No, false, {none}},
      {true, MessageAnswer::Yes, false, {ask, none}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown.back().text);
    Start(c.withFiles ? Strings{"C:\\a.xlsx"} : Strings{});
    excel.running = c.running;
    messages.answer = c.answer;
    Run();
    EXPECT_EQ(messages.shown, c.shown);
  }
}

// Each way a workbook fails: the closing message names it and why, its Excel
// is ended (closing the workbook unsaved once it is open), nothing is saved
// after the failure, and the next workbook is still processed. A workbook
// whose backup failed, or that Excel would ask about while opening, is never
// handed to Excel. Links BreakLink leaves go to the engine once Excel has
// saved, quit and been ended; without it they fail the workbook. Each run
// backs each workbook up anew, never over an earlier backup.
TEST_F(RunFixture, EachFailureIsToldAndTheRunGoesOn) {
  // Only a dot of the file name itself splits the path for the backup's name.
  const std::string bad = "C:\\Old.Reports\\Book.v2.xlsx", good = "C:\\Old.Reports\\Book";
  const std::string two = "C:\\src\\two.xlsx", left = "Excel left links to: " + two;
  testing::FakeExcel engine;
  const struct {
    std::string fails;  // the Excel step that throws, the backup "copy" or the "look" before opening
    std::string reason;                 // "" when the run is done
    std::array<std::size_t, 4> counts;  // calls in all of Open, Close(False), ForceEnd#1 and Save
    bool kept = false;                  // BreakLink leaves a link
    const char* engineFails = nullptr;  // the engine's failing step; none without an engine
  } cases[] = {
      {"Create", "Create: simulated failure", {0, 0, 0, 0}},  // both workbooks fail
      {"AutomationSecurity", "AutomationSecurity: simulated failure", {0, 0, 1, 0}},
      {"Open", "Open: simulated failure", {2, 0, 1, 1}},
      {"LinkSources", "LinkSources: simulated failure", {2, 1, 1, 1}},
      {"Save", "Save: simulated failure", {2, 1, 1, 2}},
      {"copy", "backup copy failed: access denied", {1, 0, 0, 1}},
      {"look", "has a password to modify: not opened", {1, 0, 0, 1}},
      {"", left, {2, 0, 1, 2}, true},
      {"", "", {2, 0, 1, 2}, true, ""},
      {"", left, {2, 0, 1, 2}, true, "Open"},  // a file the engine cannot take
      {"", left + "; the built-in engine could not break them: Save: simulated failure", {2, 0, 1, 2}, true, "Save"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fails + c.reason);
    Start({bad, good});
    backup.SetValue(1);
    files.failCopyFrom = c.fails == "copy" ? bad : "";
    guarded = c.fails == "look" ? bad : "";
    engine = {};
    engine.sources[bad] = {two};
    engine.failOn = c.engineFails ? c.engineFails : "";
    excel.aids.engine = c.engineFails ? &engine : nullptr;
    excel.sources[bad] = {"C:\\src\\one.xlsx", two};
    if (c.kept) excel.keptByBreakLink = {two};
    excel.failOn = c.fails;
    // Before Open no step knows its workbook: those fail for both.
    const bool beforeOpen = c.fails == "Create" || c.fails == "AutomationSecurity";
    excel.failPath = beforeOpen ? "" : bad;
    Run();
    std::vector<WorkbookFailure> failures;
    if (!c.reason.empty()) failures.push_back({bad, c.reason});
    if (beforeOpen) failures.push_back({good, c.reason});
    EXPECT_EQ(messages.shown, std::vector{Closing(FinalMessage(2, failures))});
    EXPECT_EQ(excel.alive, 0) << "an instance was left running";
    const auto calls = [&](const char* prefix) { return excel.Matching(prefix).size(); };
    EXPECT_EQ((std::array{calls("Open("), calls("Close(False)"), calls("ForceEnd#1"), calls("Save")}), c.counts);
    if (!c.kept) continue;
    const auto at = [&](const char* entry) { return std::ranges::find(excel.log, entry) - excel.log.begin(); };
    EXPECT_TRUE(at("Save") < at("Quit#1") && at("Quit#1") < at("ForceEnd#1") && at("ForceEnd#1") < at("Create#2"))
        << "the engine took the file before Excel had saved, quit and been ended";
    if (!c.engineFails || !c.reason.empty()) continue;
    EXPECT_EQ(engine.Matching("BreakLink"), Strings{"BreakLink(name=" + two + ",Type=1)"});
    EXPECT_EQ(engine.Matching("Save").size(), 1u);
  }
  const std::string stamp = " Backup 7 04 PM Weekday6, Month12 5 2026";
  ASSERT_EQ(files.copies.size(), 2 * std::size(cases) - 1);  // but for the copy that failed
  EXPECT_EQ(files.copies[0].second, "C:\\Old.Reports\\Book.v2" + stamp + ".xlsx");
  EXPECT_EQ(files.copies.back().second, good + stamp + " (11)");
}

TEST(FinalMessage, ListsAtMostTenFailuresAndCutsLongReasons) {
  std::vector<WorkbookFailure> failures;
  for (int i = 0; i < 12; ++i) failures.push_back({"C:\\w" + std::to_string(i) + ".xlsx", std::string(500, 'x')});
  const std::string text = FinalMessage(40, failures);
  EXPECT_EQ(text.rfind("Done.\r\n\r\n12 of 40 workbooks could not be processed:", 0), 0u);
  EXPECT_TRUE(text.ends_with("\r\nC:\\w9.xlsx\r\n    " + std::string(200, 'x') + "...\r\n... and 2 more.")) << text;
  EXPECT_EQ(FinalMessage(1, {{"C:\\a.xlsx", "why"}}),
            "Done.\r\n\r\n1 of 1 workbook could not be processed:\r\nC:\\a.xlsx\r\n    why");
}

// The copy stays beside the workbook; the stamp is on the twelve-hour clock,
// in regional names.
TEST(BackupName, GoesBesideTheWorkbookStampedOnTheTwelveHourClock) {
  EXPECT_EQ(BackupName("/home/u/my.dir/book", "S", 2), "/home/u/my.dir/book Backup S (2)");
  testing::FakeClock clock;
  const std::pair<LocalDateTime, const char*> stamps[] = {
      {{2026, 12, 5, 6, 19, 4}, "7 04 PM Weekday6, Month12 5 2026"},
      {{2027, 1, 31, 0, 0, 9}, "12 09 AM Weekday0, Month1 31 2027"},
      {{2027, 7, 4, 0, 12, 0}, "12 00 PM Weekday0, Month7 4 2027"}};
  for (const auto& [now, expected] : stamps) {
    clock.now = now;
    EXPECT_EQ(BackupTimeStamp(clock), expected);
  }
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
      for (const char* name : {"Q1.xlsx", "Book.v2.xlsm", "plain"})
        for (const int attempt : {1, 2, 1000})
          EXPECT_TRUE(base::IsBackupName(BackupName(name, stamp, attempt))) << stamp << name << attempt;
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
