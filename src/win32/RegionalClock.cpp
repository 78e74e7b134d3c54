#include "win32/RegionalClock.h"

#include <windows.h>

#include <stdexcept>

#include "win32/Error.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

// Formats one date or time picture for the user's locale.
template <typename Format>
std::string FormatPicture(Format format, const SYSTEMTIME& time, const wchar_t* picture, const char* what) {
  const int needed = format(LOCALE_NAME_USER_DEFAULT, 0, &time, picture, nullptr, 0);
  if (needed <= 0) ThrowLastError(std::string("Cannot format the ") + what);
  std::wstring text(static_cast<std::size_t>(needed), L'\0');
  const int written = format(LOCALE_NAME_USER_DEFAULT, 0, &time, picture, text.data(), needed);
  if (written <= 0) ThrowLastError(std::string("Cannot format the ") + what);
  text.resize(static_cast<std::size_t>(written - 1));  // the count includes the terminator
  return Narrow(text);
}

int DateFormat(LPCWSTR locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out, int size) {
  return ::GetDateFormatEx(locale, flags, time, picture, out, size, nullptr);
}

int TimeFormat(LPCWSTR locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out, int size) {
  return ::GetTimeFormatEx(locale, flags, time, picture, out, size);
}

// 1 January 2023 was a Sunday, so day 1 + weekday falls on that weekday.
SYSTEMTIME Day(int month, int day, int weekday) {
  SYSTEMTIME time{};
  time.wYear = 2023;
  time.wMonth = static_cast<WORD>(month);
  time.wDay = static_cast<WORD>(day);
  time.wDayOfWeek = static_cast<WORD>(weekday);
  return time;
}

}  // namespace

links::LocalDateTime Win32RegionalClock::Now() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  links::LocalDateTime result;
  result.year = now.wYear;
  result.month = now.wMonth;
  result.day = now.wDay;
  result.weekday = now.wDayOfWeek;
  result.hour = now.wHour;
  result.minute = now.wMinute;
  return result;
}

std::string Win32RegionalClock::WeekdayName(int weekday) {
  if (weekday < 0 || weekday > 6) throw std::out_of_range("weekday " + std::to_string(weekday));
  return FormatPicture(DateFormat, Day(1, 1 + weekday, weekday), L"dddd", "weekday name");
}

std::string Win32RegionalClock::MonthAbbreviation(int month) {
  if (month < 1 || month > 12) throw std::out_of_range("month " + std::to_string(month));
  return FormatPicture(DateFormat, Day(month, 1, 0), L"MMM", "month name");
}

std::string Win32RegionalClock::AmPm(bool pm) {
  SYSTEMTIME time = Day(1, 1, 0);
  time.wHour = pm ? 19 : 7;
  return FormatPicture(TimeFormat, time, L"tt", "AM/PM designator");
}

}  // namespace quorvane::win32
