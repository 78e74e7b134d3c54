#pragma once
// links::RegionalClock from the local time and the user's locale.

#include "links/Backup.h"

namespace quorvane::win32 {

class Win32RegionalClock final : public links::RegionalClock {
 public:
  links::LocalDateTime Now() override;
  // Out-of-range arguments throw std::out_of_range.
  std::string WeekdayName(int weekday) override;
  std::string MonthAbbreviation(int month) override;
  std::string AmPm(bool pm) override;
};

}  // namespace quorvane::win32
