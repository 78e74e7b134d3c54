#pragma once
// Backup copies written beside a workbook before its links are broken.

#include <string>
#include <string_view>

namespace quorvane::links {

struct LocalDateTime {
  int year = 0;
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int weekday = 0;  // 0 = Sunday
  int hour = 0;     // 0..23
  int minute = 0;
};

// The clock and the user's regional names for the time stamp.
class RegionalClock {
 public:
  virtual ~RegionalClock() = default;
  virtual LocalDateTime Now() = 0;
  virtual std::string WeekdayName(int weekday) = 0;  // full name, 0 = Sunday
  virtual std::string MonthAbbreviation(int month) = 0;
  virtual std::string AmPm(bool pm) = 0;
};

// Clock and names from the C++ runtime's current locale (the user's own when
// the program has set it from the environment).
class LocaleClock final : public RegionalClock {
 public:
  LocalDateTime Now() override;
  std::string WeekdayName(int weekday) override;
  std::string MonthAbbreviation(int month) override;
  std::string AmPm(bool pm) override;
};

enum class CopyResult { Copied, TargetExists };

// Copies whole files. Copy never replaces an existing target: it reports
// TargetExists instead. Any other failure throws std::exception with a reason;
// a failed copy leaves no partial target behind.
class FileCopier {
 public:
  virtual ~FileCopier() = default;
  virtual CopyResult Copy(const std::string& from, const std::string& to) = 0;
};

// "h mm AMPM dddd, mmm d yyyy", e.g. "7 04 PM Saturday, Dec 5 2026".
std::string BackupTimeStamp(RegionalClock& clock);

// The backup name for path: split at its last "." when that dot belongs to the
// file name, otherwise the stamp goes after the whole path so the copy still
// lands beside the workbook. attempt 2, 3, ... adds " (2)", " (3)" before the extension.
std::string BackupName(std::string_view path, std::string_view stamp, int attempt = 1);

// Makes the backup copy under the first free name and returns that name.
// Throws std::exception when no copy could be made.
std::string MakeBackup(FileCopier& copier, RegionalClock& clock, const std::string& path);

}  // namespace quorvane::links
