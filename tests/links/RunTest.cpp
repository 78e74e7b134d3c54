// The run, its backups and the per-workbook Excel sequence against recording fakes.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "base/BackupShape.h"
#include "fakes/FakeExcel.h"
#include "fakes/FakeMessages.h"
#include "fakes/FakeRunServices.h"
#include "links/Backup.h"
#include "links/Links.h"
#include "links/Run.h"

namespace quorvane::links {
namespace {

using testing::FakeClock;
using testing::FakeCopier;
using testing::FakeExcel;
using testing::FakeInput;
using testing::FakeMessages;

// The list a run works on.
struct Paths final : base::PathList {
  std::vector<std::string> items;
  std::size_t Count() const override { return items.size(); }
  const std::string& Text(std::size_t index) const override { return items.at(index - 1); }
};

struct RunFixture : ::testing::Test {
  FakeExcel excel;
  FakeMessages messages;
  FakeCopier files;
  FakeClock clock;
  FakeInput input;
  base::CheckBox backup;
  Paths list;
  base::Property<double> progress{0.0};
  base::Property<int> pointer{base::kPointerDefault};
  std::vector<double> progressSeen;

  void SetUp() override {
    messages.pointer = &pointer;
    messages.progress = &progress;
    progress.Changed = [this](double v) { progressSeen.push_back(v); };
  }
  void AddWorkbook(const std::string& path) {
    list.items.push_back(path);
    files.files.insert(path);
  }
  void Run() { RemoveLinks({backup, list, progress, pointer}, {excel, messages, files, clock, input}); }
  const std::string& LastMessage() const { return messages.shown.back().text; }
};

// The order is a contract: macros off before Open, both settings after it,
// and Quit with the workbook still open.
TEST_F(RunFixture, EachWorkbookFollowsTheExactCallOrder) {
  const std::vector<std::string> open = {"GetRunning",   "Create#1",
                                         "AutomationSecurity=3", "Workbooks",
                                         "Open(C:\\a.xlsx)", "DisplayAlerts=False",
                                         "AskToUpdateLinks=False", "ActiveWorkbook",
                                         "LinkSources(Type=1)"};
  const std::vector<std::string> close = {"ActiveWorkbook", "Save", "DisplayAlerts=True", "Quit#1", "Release#1"};
  // Each source is broken in array order, each on a fresh ActiveWorkbook;
  // then the list is asked for once more.
  const std::vector<std::string> breaks = {"ActiveWorkbook", "BreakLink(name=C:\\src\\one.xlsx,Type=1)",
                                           "ActiveWorkbook", "BreakLink(name=C:\\src\\two.xlsx,Type=1)",
                                           "ActiveWorkbook", "LinkSources(Type=1)"};
  for (bool links : {false, true}) {
    excel = FakeExcel();
    list.items.clear();
    messages.shown.clear();
    AddWorkbook("C:\\a.xlsx");
    if (links) excel.sources["C:\\a.xlsx"] = {"C:\\src\\one.xlsx", "C:\\src\\two.xlsx"};
    Run();
    std::vector<std::string> expected = open;
    if (links) expected.insert(expected.end(), breaks.begin(), breaks.end());
    expected.insert(expected.end(), close.begin(), close.end());
    EXPECT_EQ(excel.log, expected);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(LastMessage(), "Done.");
  }
}

TEST_F(RunFixture, PreviousInstanceIsReleasedOnlyAfterTheNextHasOpenedItsWorkbook) {
  for (const char* p : {"C:\\1.xlsx", "C:\\2.xlsx", "C:\\3.xlsx"}) AddWorkbook(p);
  Run();
  auto at = [&](const std::string& entry) {
    return std::find(excel.log.begin(), excel.log.end(), entry) - excel.log.begin();
  };
  EXPECT_LT(at("Quit#1"), at("Create#2"));
  EXPECT_LT(at("Open(C:\\2.xlsx)"), at("Release#1"));
  EXPECT_EQ(at("Release#1"), at("Open(C:\\2.xlsx)") + 1);
  EXPECT_EQ(at("Release#2"), at("Open(C:\\3.xlsx)") + 1);
  EXPECT_LT(at("Quit#3"), at("Release#3"));
  EXPECT_EQ(excel.created, 3);
  EXPECT_EQ(excel.alive, 0);
}

TEST_F(RunFixture, ExcelWarningPaths) {
  AddWorkbook("C:\\a.xlsx");
  // Running and the user says No: nothing else happens, not even a reset.
  excel.running = true;
  messages.answers = {base::MessageAnswer::No};
  progress.Set(42.0);
  pointer.Set(base::kPointerCustom);
  Run();
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text,
            "Excel may be open. It is recommended that you close Excel first.\r\n\r\n"
            "Would you like to proceed anyway?");
  EXPECT_EQ(messages.shown[0].buttons, base::MessageButtons::YesNo);
  EXPECT_EQ(excel.created, 0);
  EXPECT_EQ(progress.Get(), 42.0);
  EXPECT_EQ(pointer.Get(), base::kPointerCustom);
  EXPECT_EQ(excel.Matching("Release#0").size(), 1u);  // the running instance is only looked at

  // Yes goes on.
  messages.shown.clear();
  messages.answers = {base::MessageAnswer::Yes};
  Run();
  ASSERT_EQ(messages.shown.size(), 2u);
  EXPECT_EQ(messages.shown[1].text, "Done.");

  // An instance whose default member is not exactly "Microsoft Excel" does not count.
  messages.shown.clear();
  excel.runningName = "microsoft excel";
  Run();
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "Done.");
}

TEST_F(RunFixture, EmptyListSaysNoFilesAddedAndResets) {
  Run();
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "No files added.");
  EXPECT_EQ(messages.shown[0].buttons, base::MessageButtons::Ok);
  EXPECT_EQ(messages.shown[0].pointer, base::kPointerHourglass);
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
  EXPECT_EQ(progress.Get(), 0.0);
  EXPECT_EQ(excel.created, 0);

  // The question about a running Excel comes first.
  excel.running = true;
  messages.shown.clear();
  Run();
  ASSERT_EQ(messages.shown.size(), 2u);
  EXPECT_EQ(messages.shown[0].buttons, base::MessageButtons::YesNo);
  EXPECT_EQ(messages.shown[1].text, "No files added.");
}

TEST_F(RunFixture, BarShowsTheShareOfEntriesBegun) {
  auto run = [&](int n) {
    list.items.clear();
    progressSeen.clear();
    for (int i = 0; i < n; ++i) AddWorkbook("C:\\w" + std::to_string(i) + ".xlsx");
    messages.shown.clear();
    Run();
    return progressSeen;
  };
  EXPECT_EQ(run(1), (std::vector<double>{100.0, 0.0}));
  EXPECT_EQ(messages.shown.back().progress, 100.0);  // still up while "Done." shows
  EXPECT_EQ(messages.shown.back().pointer, base::kPointerHourglass);
  const auto three = run(3);
  ASSERT_EQ(three.size(), 4u);
  EXPECT_DOUBLE_EQ(three[0], 100.0 / 3.0);
  EXPECT_DOUBLE_EQ(three[1], 200.0 / 3.0);
  EXPECT_DOUBLE_EQ(three[2], 100.0);
  EXPECT_EQ(run(4), (std::vector<double>{25.0, 50.0, 75.0, 100.0, 0.0}));
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
}

TEST_F(RunFixture, BackupIsMadeOnlyWhileTheOptionIsTicked) {
  AddWorkbook("C:\\Reports\\Q1.xls");
  Run();
  EXPECT_TRUE(files.copies.empty());

  backup.SetValue(1);
  Run();
  ASSERT_EQ(files.copies.size(), 1u);
  EXPECT_EQ(files.copies[0].second, "C:\\Reports\\Q1 Backup 7 04 PM Saturday, Dec 5 2026.xls");

  // A second run in the same minute never overwrites the first backup.
  Run();
  ASSERT_EQ(files.copies.size(), 2u);
  EXPECT_EQ(files.copies[1].second, "C:\\Reports\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (2).xls");
}

TEST_F(RunFixture, FailedBackupLeavesTheWorkbookUntouchedAndTheRunGoesOn) {
  AddWorkbook("C:\\a.xlsx");
  AddWorkbook("C:\\b.xlsx");
  backup.SetValue(1);
  files.failCopyFrom = "C:\\a.xlsx";
  Run();
  EXPECT_EQ(excel.Matching("Open(").size(), 1u);
  EXPECT_EQ(excel.Matching("Open(C:\\b.xlsx)").size(), 1u);
  const std::string& text = LastMessage();
  EXPECT_EQ(text.rfind("Done.\r\n\r\n1 of 2 workbooks", 0), 0u) << text;
  EXPECT_NE(text.find("C:\\a.xlsx\r\n    backup copy failed: access denied"), std::string::npos) << text;
  EXPECT_EQ(pointer.Get(), base::kPointerDefault);
  EXPECT_EQ(progress.Get(), 0.0);
}

// Each failing step: the new instance is ended, nothing is saved after the
// failure, the next workbook is still processed, and the message names it.
TEST_F(RunFixture, AFailingExcelStepEndsItsInstanceAndTheRunContinues) {
  struct Case {
    std::string op;
    bool workbookOpen;
  };
  for (const Case& c : std::vector<Case>{{"Create", false},
                                         {"AutomationSecurity", false},
                                         {"Open", false},
                                         {"LinkSources", true},
                                         {"BreakLink", true},
                                         {"Save", true},
                                         {"Quit", true}}) {
    SCOPED_TRACE(c.op);
    excel = FakeExcel();
    messages.shown.clear();
    list.items.clear();
    AddWorkbook("C:\\bad.xlsx");
    AddWorkbook("C:\\good.xlsx");
    excel.sources["C:\\bad.xlsx"] = {"C:\\src.xlsx"};
    excel.failOn = c.op;
    // Before Open no step knows its workbook: both fail there.
    const bool beforeOpen = c.op == "Create" || c.op == "AutomationSecurity";
    excel.failPath = beforeOpen ? "" : "C:\\bad.xlsx";
    Run();

    EXPECT_EQ(excel.alive, 0) << "an instance was left running";
    const std::string& text = LastMessage();
    if (beforeOpen) {
      EXPECT_EQ(text.rfind("Done.\r\n\r\n2 of 2 workbooks", 0), 0u) << text;
      // Macros must be off before anything is opened.
      EXPECT_TRUE(excel.Matching("Open(").empty());
      continue;
    }
    EXPECT_EQ(text.rfind("Done.\r\n\r\n1 of 2 workbooks", 0), 0u) << text;
    EXPECT_NE(text.find("C:\\bad.xlsx\r\n    " + c.op + ": simulated failure"), std::string::npos) << text;
    EXPECT_EQ(text.find("good"), std::string::npos);
    EXPECT_EQ(excel.Matching("Open(C:\\good.xlsx)").size(), 1u);
    EXPECT_EQ(excel.Matching("ForceEnd#1").size(), 1u);
    EXPECT_EQ(excel.Matching("Close(False)").size(), c.workbookOpen ? 1u : 0u);
    const auto saves = excel.Matching("Save");
    EXPECT_EQ(saves.size(), (c.op == "Save" || c.op == "Quit") ? 2u : 1u);
  }
}

struct FakeObstacles final : base::ObstacleFinder {
  std::map<std::string, base::OpeningObstacle> obstacles;
  std::function<void(const std::string&)> onLook;
  base::OpeningObstacle Look(const std::string& path) noexcept override {
    onLook(path);
    const auto it = obstacles.find(path);
    return it == obstacles.end() ? base::OpeningObstacle::None : it->second;
  }
};

// A workbook Excel would ask about while opening is never handed to it; it is
// looked at after its backup copy, and the run goes on.
TEST_F(RunFixture, WorkbooksExcelWouldAskAboutAreNotOpened) {
  using base::OpeningObstacle;
  FakeObstacles obstacleFinder;
  obstacleFinder.obstacles = {{"C:\\enc.xlsx", OpeningObstacle::PasswordToOpen},
                         {"C:\\res.xls", OpeningObstacle::PasswordToModify},
                         {"C:\\held.xlsx", OpeningObstacle::HeldOpen}};
  std::vector<std::string> looked;
  obstacleFinder.onLook = [&](const std::string& path) {
    ASSERT_FALSE(files.copies.empty());
    EXPECT_EQ(files.copies.back().first, path) << "looked at before its backup";
    looked.push_back(path);
  };
  excel.aids.obstacleFinder = &obstacleFinder;
  for (const char* path : {"C:\\enc.xlsx", "C:\\res.xls", "C:\\held.xlsx", "C:\\ok.xlsx"}) AddWorkbook(path);
  backup.SetValue(1);
  Run();
  EXPECT_EQ(looked, list.items);
  EXPECT_EQ(excel.created, 1);
  EXPECT_EQ(excel.Matching("Open("), (std::vector<std::string>{"Open(C:\\ok.xlsx)"}));
  const std::string& text = LastMessage();
  EXPECT_EQ(text.rfind("Done.\r\n\r\n3 of 4 workbooks", 0), 0u) << text;
  for (const char* line : {"C:\\enc.xlsx\r\n    password-protected: not opened",
                           "C:\\res.xls\r\n    has a password to modify: not opened",
                           "C:\\held.xlsx\r\n    in use by another program: not opened"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
}

// Links BreakLink leaves behind fail the workbook unless the engine, once
// Excel has let go, breaks them; the one message then is "Done.".
TEST_F(RunFixture, LinksExcelLeavesGoToTheEngineOrFailTheWorkbook) {
  struct Case {
    const char* name;
    bool engine;
    std::string engineFails;
    std::string reason;  // "" for done
  };
  const std::string left = "Excel left links to: C:\\src\\two.xlsx";
  const Case cases[] = {
      {"no engine", false, "", left},
      {"the engine breaks the rest", true, "", ""},
      {"the engine cannot take the file", true, "Open", left},
      {"the engine fails on the way", true, "Save",
       left + "; the built-in engine could not break them: Save: simulated failure"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    excel = FakeExcel();
    FakeExcel engine;
    messages.shown.clear();
    list.items.clear();
    AddWorkbook("C:\\a.xlsx");
    AddWorkbook("C:\\b.xlsx");
    excel.sources["C:\\a.xlsx"] = {"C:\\src\\one.xlsx", "C:\\src\\two.xlsx"};
    excel.keptByBreakLink = {"C:\\src\\two.xlsx"};
    engine.sources["C:\\a.xlsx"] = {"C:\\src\\two.xlsx"};
    engine.failOn = c.engineFails;
    if (c.engine) excel.aids.engine = &engine;
    Run();

    // Excel's work is saved and its instance quit and waited for as usual.
    auto at = [&](const std::string& entry) {
      return std::find(excel.log.begin(), excel.log.end(), entry) - excel.log.begin();
    };
    EXPECT_LT(at("Save"), at("Quit#1"));
    EXPECT_LT(at("Quit#1"), at("ForceEnd#1"));
    EXPECT_LT(at("ForceEnd#1"), at("Create#2"));
    EXPECT_EQ(excel.alive, 0);
    const std::string& text = LastMessage();
    if (c.reason.empty()) {
      EXPECT_EQ(text, "Done.");
      EXPECT_EQ(engine.Matching("BreakLink"), (std::vector<std::string>{"BreakLink(name=C:\\src\\two.xlsx,Type=1)"}));
      EXPECT_EQ(engine.Matching("Save").size(), 1u);
    } else {
      EXPECT_EQ(text, "Done.\r\n\r\n1 of 2 workbooks could not be processed:\r\nC:\\a.xlsx\r\n    " + c.reason);
    }
  }
}

TEST_F(RunFixture, InputQueuedDuringTheRunIsDroppedBeforeTheClosingMessage) {
  AddWorkbook("C:\\a.xlsx");
  std::size_t shownAtDiscard = 99;
  input.onDiscard = [&] { shownAtDiscard = messages.shown.size(); };
  Run();
  EXPECT_EQ(input.discarded, 1);
  EXPECT_EQ(shownAtDiscard, 0u);
  EXPECT_EQ(messages.shown.size(), 1u);
}

TEST(BackupName, SplitsAtTheLastDotOfTheFileName) {
  const std::string stamp = "7 04 PM Saturday, Dec 5 2026";
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:\\Reports\\Q1.xls", "C:\\Reports\\Q1 Backup 7 04 PM Saturday, Dec 5 2026.xls"},
      {"C:\\Old.Reports\\Book.xls", "C:\\Old.Reports\\Book Backup 7 04 PM Saturday, Dec 5 2026.xls"},
      {"C:\\R\\Book.v2.xlsx", "C:\\R\\Book.v2 Backup 7 04 PM Saturday, Dec 5 2026.xlsx"},
      // No dot in the file name: the copy still lands beside the workbook.
      {"C:\\Old.Reports\\Book", "C:\\Old.Reports\\Book Backup 7 04 PM Saturday, Dec 5 2026"},
      {"C:\\Reports\\Book", "C:\\Reports\\Book Backup 7 04 PM Saturday, Dec 5 2026"},
      {"/home/u/my.dir/book", "/home/u/my.dir/book Backup 7 04 PM Saturday, Dec 5 2026"},
      {"/home/u/book.xlsx", "/home/u/book Backup 7 04 PM Saturday, Dec 5 2026.xlsx"},
  };
  for (const auto& c : cases) EXPECT_EQ(BackupName(c.path, stamp), c.expected) << c.path;
  EXPECT_EQ(BackupName("C:\\R\\Q1.xls", stamp, 3), "C:\\R\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (3).xls");
  EXPECT_EQ(BackupName("C:\\R.d\\Q1", stamp, 2), "C:\\R.d\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (2)");
}

TEST(BackupTimeStamp, UsesTwelveHourClockAndRegionalNames) {
  FakeClock clock;
  EXPECT_EQ(BackupTimeStamp(clock), "7 04 PM Saturday, Dec 5 2026");
  clock.now = {2027, 1, 31, 0, 0, 9};
  EXPECT_EQ(BackupTimeStamp(clock), "12 09 AM Sunday, Jan 31 2027");
  clock.now = {2027, 7, 4, 0, 12, 0};
  EXPECT_EQ(BackupTimeStamp(clock), "12 00 PM Sunday, Jul 4 2027");
}

TEST(MakeBackup, TakesTheFirstFreeNameAndNeverOverwrites) {
  FakeCopier files;
  FakeClock clock;
  files.files = {"C:\\R\\Q1.xls", "C:\\R\\Q1 Backup 7 04 PM Saturday, Dec 5 2026.xls",
                 "C:\\R\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (2).xls"};
  EXPECT_EQ(MakeBackup(files, clock, "C:\\R\\Q1.xls"), "C:\\R\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (3).xls");
  EXPECT_EQ(files.copies.size(), 1u);
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

TEST(LocaleClock, GivesPlausibleNames) {
  LocaleClock clock;
  const LocalDateTime now = clock.Now();
  EXPECT_GE(now.year, 2020);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_FALSE(clock.WeekdayName(6).empty());
  EXPECT_FALSE(clock.MonthAbbreviation(12).empty());
  EXPECT_NE(clock.AmPm(false), clock.AmPm(true));
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
  EXPECT_EQ(FinalMessage(3, {}), "Done.");
}

}  // namespace
}  // namespace quorvane::links
