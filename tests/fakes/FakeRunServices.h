#pragma once
// In-memory stand-ins for the services of the run: message boxes, whole-file
// copies, the regional clock and the queued input.

#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/Controls.h"
#include "base/MessageBoxes.h"
#include "base/PendingInput.h"
#include "links/Backup.h"

namespace quorvane::testing {

// Records what was shown, with the window's pointer and bar at that moment,
// and answers Yes/No questions with `answer`.
class FakeMessages final : public base::MessageBoxes {
 public:
  struct Shown {
    std::string text;
    base::MessageButtons buttons;
    int pointer;
    double progress;
    bool operator==(const Shown&) const = default;
  };
  std::vector<Shown> shown;
  base::MessageAnswer answer = base::MessageAnswer::Yes;
  const base::Property<int>* pointer = nullptr;
  const base::Property<double>* progress = nullptr;

  base::MessageAnswer Show(const std::string& text, base::MessageButtons buttons) override {
    shown.push_back({text, buttons, pointer ? pointer->Get() : -1, progress ? progress->Get() : -1.0});
    return buttons == base::MessageButtons::Ok ? base::MessageAnswer::Ok : answer;
  }
};

// A file system of names only: enough for existence and copies.
class FakeCopier : public links::FileCopier {
 public:
  std::set<std::string> files;
  std::vector<std::pair<std::string, std::string>> copies;
  std::string failCopyFrom;  // copies from this path throw

  links::CopyResult Copy(const std::string& from, const std::string& to) override {
    if (from == failCopyFrom) throw std::runtime_error("access denied");
    if (!files.count(from)) throw std::runtime_error("source missing");
    if (!files.insert(to).second) return links::CopyResult::TargetExists;
    copies.emplace_back(from, to);
    return links::CopyResult::Copied;
  }
};

// Numbered regional names: a wrong weekday or month shows in the stamp.
class FakeClock final : public links::RegionalClock {
 public:
  links::LocalDateTime now{2026, 12, 5, 6, 19, 4};  // Saturday, 7:04 PM
  links::LocalDateTime Now() override { return now; }
  std::string WeekdayName(int weekday) override { return "Weekday" + std::to_string(weekday); }
  std::string MonthAbbreviation(int month) override { return "Month" + std::to_string(month); }
  std::string AmPm(bool pm) override { return pm ? "PM" : "AM"; }
};

class FakeInput final : public base::PendingInput {
 public:
  std::function<void()> onDiscard;
  void Discard() override {
    if (onDiscard) onDiscard();
  }
};

}  // namespace quorvane::testing
