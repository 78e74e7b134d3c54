#pragma once
// In-memory stand-ins for the platform services of the window and the run.

#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "app/Form1.h"
#include "base/MessageBoxes.h"
#include "links/Backup.h"

namespace quorvane::testing {

class FakeMessages final : public base::MessageBoxes {
 public:
  struct Shown {
    std::string text;
    base::MessageButtons buttons;
    int pointer;      // the window pointer while the box was up
    double progress;  // the bar while the box was up
  };
  std::vector<Shown> shown;
  std::deque<base::MessageAnswer> answers;  // for Yes/No questions; default Yes
  const base::Property<int>* pointer = nullptr;
  const base::Property<double>* progress = nullptr;

  base::MessageAnswer Show(const std::string& text, base::MessageButtons buttons) override {
    shown.push_back({text, buttons, pointer ? pointer->Get() : -1, progress ? progress->Get() : -1.0});
    if (buttons == base::MessageButtons::Ok) return base::MessageAnswer::Ok;
    if (answers.empty()) return base::MessageAnswer::Yes;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

class FakeSettings final : public app::SettingsStore {
 public:
  std::map<std::string, std::string> values;  // "app/section/key" -> value
  std::vector<std::string> writes;
  bool failRead = false;
  bool failWrite = false;

  static std::string Key(const std::string& a, const std::string& s, const std::string& k) {
    return a + "/" + s + "/" + k;
  }
  std::string GetSetting(const std::string& a, const std::string& s, const std::string& k) override {
    if (failRead) throw std::runtime_error("store unreadable");
    auto it = values.find(Key(a, s, k));
    return it == values.end() ? std::string() : it->second;
  }
  void SaveSetting(const std::string& a, const std::string& s, const std::string& k,
                   const std::string& v) override {
    if (failWrite) throw std::runtime_error("store read-only");
    writes.push_back(v);
    values[Key(a, s, k)] = v;
  }
};

// A file system of names only: enough for existence and copies.
class FakeFiles final : public links::FileCopier, public app::FileDates {
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
  void LastModified(const std::string& path) override {
    if (!files.count(path)) throw std::runtime_error("file not found");
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

class FakeWindow final : public app::WindowHost {
 public:
  std::vector<std::string> calls;
  float screenWidth = 19200, screenHeight = 10800, width = 7590, height = 4800;
  float left = -1, top = -1;
  std::string caption;
  std::string appPath = "C:\\Program Files\\Quorvane";
  bool iconUnreadable = false;
  bool ended = false;

  float ScreenWidth() override { return screenWidth; }
  float ScreenHeight() override { return screenHeight; }
  float Width() override { return width; }
  float Height() override { return height; }
  void SetLeft(float v) override { calls.push_back("SetLeft"); left = v; }
  void SetTop(float v) override { calls.push_back("SetTop"); top = v; }
  void SetCaption(const std::string& c) override { calls.push_back("SetCaption"); caption = c; }
  std::string AppPath() override { return appPath; }
  void LoadMouseIcon(const std::string& file) override {
    calls.push_back("LoadMouseIcon(" + file + ")");
    if (iconUnreadable) throw std::runtime_error("not a cursor");
  }
  void SetupListColumn(const std::string& header, int width_) override {
    calls.push_back("SetupListColumn(" + header + "," + std::to_string(width_) + ")");
  }
  void SetProgressBarBackColor(unsigned colour) override {
    calls.push_back("SetProgressBarBackColor(" + std::to_string(colour) + ")");
  }
  void End() override { ended = true; }
};

class FakeStarter final : public app::ProgramStarter {
 public:
  std::vector<std::pair<std::string, int>> started;
  void Shell(const std::string& commandLine, int style) override { started.emplace_back(commandLine, style); }
};

class FakeRandom final : public app::RandomSource {
 public:
  float next = 0.5f;
  int seeded = 0;
  void Randomize() override { ++seeded; }
  float Rnd() override { return next; }
};

}  // namespace quorvane::testing
