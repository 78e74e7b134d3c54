#pragma once
// Small procedures shared across the window: placement, the file test used
// at start-up and the occasional visit to the maker's site.

#include <string>

namespace quorvane::app {

// The window's placement, in twips (outer size, frame and title bar included).
class WindowPlacement {
 public:
  virtual ~WindowPlacement() = default;
  virtual float ScreenWidth() = 0;
  virtual float ScreenHeight() = 0;
  virtual float Width() = 0;
  virtual float Height() = 0;
  virtual void SetLeft(float left) = 0;
  virtual void SetTop(float top) = 0;
};

// The file date query; throws std::exception when the path names nothing or
// cannot be reached.
class FileDates {
 public:
  virtual ~FileDates() = default;
  virtual void LastModified(const std::string& path) = 0;
};

// Starts a program without waiting for it.
class ProgramStarter {
 public:
  virtual ~ProgramStarter() = default;
  virtual void Shell(const std::string& commandLine, int windowStyle) = 0;
};

// Random numbers: Randomize seeds from the clock, Rnd gives the next in [0, 1).
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual void Randomize() = 0;
  virtual float Rnd() = 0;
};

// Seeded from the seconds since midnight, as the site visit expects.
class ClockRandom final : public RandomSource {
 public:
  void Randomize() override;
  float Rnd() override;

 private:
  unsigned long long state_ = 0x2545F4914F6CDD1Dull;
};

// Window style for Shell: minimised, with the focus.
inline constexpr int kMinimizedFocus = 2;
// The maker's site; a build setting.
const char* SiteUrl();

void CenterForm(WindowPlacement& window);
bool FileExists(FileDates& dates, const std::string& path);
void OpenSiteAtRandom(RandomSource& random, ProgramStarter& starter);

}  // namespace quorvane::app
