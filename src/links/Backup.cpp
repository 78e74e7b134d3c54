#include "links/Backup.h"

#include <ctime>
#include <exception>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "base/BackupShape.h"
#include "base/Path.h"

namespace quorvane::links {

std::string BackupTimeStamp(RegionalClock& clock) {
  const LocalDateTime now = clock.Now();
  return base::FormatBackupStamp(now.hour, now.minute, clock.AmPm(now.hour >= 12), clock.WeekdayName(now.weekday),
                                 clock.MonthAbbreviation(now.month), now.day, now.year);
}

std::string BackupName(std::string_view path, std::string_view stamp, int attempt) {
  const std::string suffix = base::BackupAttemptSuffix(attempt);
  const auto d = static_cast<std::size_t>(base::LastDotPosition(path));
  // Only a dot in the file name itself may split the path; otherwise the
  // copy would land in a folder that does not exist.
  const bool dotInFileName = d > 0 && path.find_first_of("\\/", d) == std::string_view::npos;
  std::string name;
  if (dotInFileName) {
    name.append(path.substr(0, d - 1));
    name.append(base::kBackupInfix).append(stamp).append(suffix);
    name.append(path.substr(d - 1));
  } else {
    name.append(path).append(base::kBackupInfix).append(stamp).append(suffix);
  }
  return name;
}

std::string MakeBackup(FileCopier& copier, RegionalClock& clock, const std::string& path) {
  const std::string stamp = BackupTimeStamp(clock);
  constexpr int kMaxAttempts = 1000;
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    std::string name = BackupName(path, stamp, attempt);
    if (copier.Copy(path, name) == CopyResult::Copied) return name;
  }
  throw std::runtime_error("no free name for the backup copy");
}

namespace {

std::tm LocalNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
#if defined(_WIN32)
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return tm;
}

// Formats one field of a date in the user's locale, falling back to the
// classic names when the environment names no usable locale.
std::string FormatField(const std::tm& tm, const char* pattern) {
  std::ostringstream out;
  try {
    out.imbue(std::locale(""));
  } catch (const std::exception&) {
    out.imbue(std::locale::classic());
  }
  out << std::put_time(&tm, pattern);
  return out.str();
}

}  // namespace

LocalDateTime LocaleClock::Now() {
  const std::tm tm = LocalNow();
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday, tm.tm_hour, tm.tm_min};
}

std::string LocaleClock::WeekdayName(int weekday) {
  std::tm tm{};
  tm.tm_wday = weekday;
  return FormatField(tm, "%A");
}

std::string LocaleClock::MonthAbbreviation(int month) {
  std::tm tm{};
  tm.tm_mon = month - 1;
  return FormatField(tm, "%b");
}

std::string LocaleClock::AmPm(bool pm) {
  std::tm tm{};
  tm.tm_hour = pm ? 13 : 1;
  std::string text = FormatField(tm, "%p");
  // Locales without designators (24-hour clocks) give nothing; the stamp
  // still needs to say which half of the day it is.
  if (text.empty()) text = pm ? "PM" : "AM";
  return text;
}

}  // namespace quorvane::links
