#pragma once
// In-memory stand-ins for the platform services of the window, with those of
// the run.

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/Form1.h"
#include "app/Main.h"
#include "app/Settings.h"
#include "fakes/FakeRunServices.h"

namespace quorvane::testing {

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
    const auto it = values.find(Key(a, s, k));
    return it == values.end() ? std::string() : it->second;
  }
  void SaveSetting(const std::string& a, const std::string& s, const std::string& k, const std::string& v) override {
    if (failWrite) throw std::runtime_error("store read-only");
    writes.push_back(v);
    values[Key(a, s, k)] = v;
  }
};

// The copier's file names also answer the start-up's file test.
class FakeFiles final : public FakeCopier, public app::FileDates {
 public:
  void LastModified(const std::string& path) override {
    if (!files.count(path)) throw std::runtime_error("file not found");
  }
};

class FakeWindow final : public app::WindowHost {
 public:
  float screenWidth = 19200, screenHeight = 10800, width = 7590, height = 4800, left = -1, top = -1;
  std::string icon;  // the cursor file loaded
  bool iconUnreadable = false;

  float ScreenWidth() override { return screenWidth; }
  float ScreenHeight() override { return screenHeight; }
  float Width() override { return width; }
  float Height() override { return height; }
  void SetLeft(float v) override { left = v; }
  void SetTop(float v) override { top = v; }
  void SetCaption(const std::string&) override {}
  std::string AppPath() override { return "C:\\Program Files\\Quorvane"; }
  void LoadMouseIcon(const std::string& file) override {
    if (iconUnreadable) throw std::runtime_error("not a cursor");
    icon = file;
  }
  void SetupListColumn(const std::string&, int) override {}
  void SetProgressBarBackColor(unsigned) override {}
  void End() override {}
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
