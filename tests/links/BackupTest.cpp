// Backup names and copies.

#include <gtest/gtest.h>

#include "app/Main.h"
#include "fakes/FakeServices.h"
#include "links/Backup.h"

namespace quorvane::links {
namespace {

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

TEST(LastDotPosition, CountsFromOneAndGivesZeroWithoutADot) {
  EXPECT_EQ(app::LastDotPosition(""), 0);
  EXPECT_EQ(app::LastDotPosition("abc"), 0);
  EXPECT_EQ(app::LastDotPosition("."), 1);
  EXPECT_EQ(app::LastDotPosition("a.b.c"), 4);
  EXPECT_EQ(app::LastDotPosition("C:\\Old.Reports\\Book"), 7);
}

TEST(BackupTimeStamp, UsesTwelveHourClockAndRegionalNames) {
  testing::FakeClock clock;
  EXPECT_EQ(BackupTimeStamp(clock), "7 04 PM Saturday, Dec 5 2026");
  clock.now = {2027, 1, 31, 0, 0, 9};
  EXPECT_EQ(BackupTimeStamp(clock), "12 09 AM Sunday, Jan 31 2027");
  clock.now = {2027, 7, 4, 0, 12, 0};
  EXPECT_EQ(BackupTimeStamp(clock), "12 00 PM Sunday, Jul 4 2027");
}

TEST(MakeBackup, TakesTheFirstFreeNameAndNeverOverwrites) {
  testing::FakeFiles files;
  testing::FakeClock clock;
  files.files = {"C:\\R\\Q1.xls", "C:\\R\\Q1 Backup 7 04 PM Saturday, Dec 5 2026.xls",
                 "C:\\R\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (2).xls"};
  EXPECT_EQ(MakeBackup(files, clock, "C:\\R\\Q1.xls"), "C:\\R\\Q1 Backup 7 04 PM Saturday, Dec 5 2026 (3).xls");
  ASSERT_EQ(files.copies.size(), 1u);
  files.failCopyFrom = "C:\\R\\Q1.xls";
  EXPECT_THROW(MakeBackup(files, clock, "C:\\R\\Q1.xls"), std::exception);
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

}  // namespace
}  // namespace quorvane::links
