#include "app/Main.h"

#include <chrono>
#include <cmath>
#include <exception>

#ifndef QUORVANE_SITE_URL
#define QUORVANE_SITE_URL "https://quorvane.example/"
#endif

namespace quorvane::app {

const char* SiteUrl() { return QUORVANE_SITE_URL; }

void CenterForm(WindowPlacement& window) {
  // Single precision and a true division, fraction kept and no clamping: a
  // screen smaller than the window gives a negative edge on purpose.
  const float left = (window.ScreenWidth() - window.Width()) / 2.0f;
  window.SetLeft(left);
  const float top = (window.ScreenHeight() - window.Height()) / 2.0f;
  window.SetTop(top);
}

bool FileExists(FileDates& dates, const std::string& path) {
  try {
    dates.LastModified(path);
    return true;
  } catch (...) {
    return false;
  }
}

void ClockRandom::Randomize() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto sinceMidnight = now - floor<days>(now);
  const auto ms = static_cast<unsigned long long>(duration_cast<milliseconds>(sinceMidnight).count());
  // splitmix64 spreads neighbouring seeds apart.
  unsigned long long z = ms + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  state_ = (z ^ (z >> 31)) | 1;
}

float ClockRandom::Rnd() {
  // xorshift64*: plenty for a one-in-a-hundred draw.
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  const unsigned long long r = state_ * 0x2545F4914F6CDD1Dull;
  return static_cast<float>(r >> 40) / static_cast<float>(1ull << 24);
}

void OpenSiteAtRandom(RandomSource& random, ProgramStarter& starter) {
  random.Randomize();
  const int n = static_cast<int>(std::floor(random.Rnd() * 100.0f)) + 1;
  if (n == 7) starter.Shell(std::string("explorer \"") + SiteUrl() + "\"", kMinimizedFocus);
}

}  // namespace quorvane::app
