#pragma once
// In-memory stand-ins for the services of the run: whole-file copies and the
// regional clock.

#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/PendingInput.h"
#include "links/Backup.h"

namespace quorvane::testing {

// A file system of names only: enough for existence and copies.
class FakeCopier : public links::FileCopier {
 public:
  std::set<std::string> files;
  std::vector<std::pair<std::string, std::string>> copies;
  std::string failCopyFrom;  // copies from this path throw

  links::CopyResult Copy(const std::string& from, const std::string& to) override {
    if (from == failCopyFrom) throw std::runtime_error("access denied");
    if (!files.count(from)) throw std::runtime_error("source missing");
    if (files.count(to)) return links::CopyResult::TargetExists;
    files.insert(to);
    copies.emplace_back(from, to);
    return links::CopyResult::Copied;
  }
};

class FakeClock final : public links::RegionalClock {
 public:
  links::LocalDateTime now{2026, 12, 5, 6, 19, 4};  // Saturday, 7:04 PM
  links::LocalDateTime Now() override { return now; }
  std::string WeekdayName(int weekday) override {
    static const char* names[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    return names[weekday];
  }
  std::string MonthAbbreviation(int month) override {
    static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return names[month - 1];
  }
  std::string AmPm(bool pm) override { return pm ? "PM" : "AM"; }
};

// Counts how often the queued input was dropped.
class FakeInput final : public base::PendingInput {
 public:
  int discarded = 0;
  std::function<void()> onDiscard;
  void Discard() override {
    ++discarded;
    if (onDiscard) onDiscard();
  }
};

}  // namespace quorvane::testing
