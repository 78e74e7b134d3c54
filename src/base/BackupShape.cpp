#include "base/BackupShape.h"

#include <iomanip>
#include <sstream>

namespace quorvane::base {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A number of `minDigits` to `maxDigits` digits at the end of text, without
// a leading zero unless `zeroPadded`; its value, or -1. The digits are cut off.
int TakeNumberAtEnd(std::string_view& text, std::size_t minDigits, std::size_t maxDigits, bool zeroPadded) {
  std::size_t n = 0;
  while (n < text.size() && n < maxDigits && IsDigit(text[text.size() - 1 - n])) ++n;
  if (n < minDigits || (n < text.size() && IsDigit(text[text.size() - 1 - n]))) return -1;
  const std::string_view digits = text.substr(text.size() - n);
  if (!zeroPadded && digits.size() > 1 && digits.front() == '0') return -1;
  int value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  text.remove_suffix(n);
  return value;
}

// The same at the start of text.
int TakeNumberAtStart(std::string_view& text, std::size_t minDigits, std::size_t maxDigits, bool zeroPadded) {
  std::size_t n = 0;
  while (n < text.size() && n < maxDigits && IsDigit(text[n])) ++n;
  if (n < minDigits || (n < text.size() && IsDigit(text[n]))) return -1;
  if (!zeroPadded && n > 1 && text.front() == '0') return -1;
  int value = 0;
  for (std::size_t i = 0; i < n; ++i) value = value * 10 + (text[i] - '0');
  text.remove_prefix(n);
  return value;
}

bool TakeAtEnd(std::string_view& text, std::string_view tail) {
  if (!text.ends_with(tail)) return false;
  text.remove_suffix(tail.size());
  return true;
}

bool TakeAtStart(std::string_view& text, std::string_view head) {
  if (!text.starts_with(head)) return false;
  text.remove_prefix(head.size());
  return true;
}

// What follows " Backup ": the stamp and the optional " (n)".
bool IsStampAndSuffix(std::string_view text) {
  if (TakeAtEnd(text, ")")) {
    if (TakeNumberAtEnd(text, 1, 4, false) < 2 || !TakeAtEnd(text, " (")) return false;
  }
  // From the end: " d yyyy".
  if (TakeNumberAtEnd(text, 4, 4, true) < 0 || !TakeAtEnd(text, " ")) return false;
  const int day = TakeNumberAtEnd(text, 1, 2, false);
  if (day < 1 || day > 31 || !TakeAtEnd(text, " ")) return false;
  // From the start: "h mm ".
  const int hour = TakeNumberAtStart(text, 1, 2, false);
  if (hour < 1 || hour > 12 || !TakeAtStart(text, " ")) return false;
  const int minute = TakeNumberAtStart(text, 2, 2, true);
  if (minute < 0 || minute > 59 || !TakeAtStart(text, " ")) return false;
  // Between them "AMPM dddd, mmm": regional words of any script; the
  // designator may be empty, the weekday and the month may not.
  const std::size_t comma = text.rfind(", ");
  if (comma == std::string_view::npos || comma + 2 >= text.size()) return false;
  const std::string_view amPmAndWeekday = text.substr(0, comma);
  const std::size_t blank = amPmAndWeekday.find(' ');
  return blank != std::string_view::npos && blank + 1 < amPmAndWeekday.size();
}

bool HasBackupStem(std::string_view stem) {
  for (std::size_t at = stem.rfind(kBackupInfix); at != std::string_view::npos;
       at = at == 0 ? std::string_view::npos : stem.rfind(kBackupInfix, at - 1)) {
    if (IsStampAndSuffix(stem.substr(at + kBackupInfix.size()))) return true;
  }
  return false;
}

}  // namespace

std::string FormatBackupStamp(int hour, int minute, std::string_view amPm, std::string_view weekday,
                              std::string_view month, int day, int year) {
  const int hour12 = hour % 12 == 0 ? 12 : hour % 12;
  std::ostringstream out;
  out << hour12 << ' ' << std::setw(2) << std::setfill('0') << minute << std::setfill(' ') << ' ' << amPm << ' '
      << weekday << ", " << month << ' ' << day << ' ' << std::setw(4) << std::setfill('0') << year;
  return out.str();
}

std::string BackupAttemptSuffix(int attempt) {
  return attempt > 1 ? " (" + std::to_string(attempt) + ")" : std::string();
}

bool IsBackupName(std::string_view fileName) {
  // The extension is what follows the last dot; a stamp may hold dots of its
  // own ("p.m.", "déc."), so a name without an extension is tried whole too.
  const std::size_t dot = fileName.rfind('.');
  return (dot != std::string_view::npos && HasBackupStem(fileName.substr(0, dot))) || HasBackupStem(fileName);
}

}  // namespace quorvane::base
