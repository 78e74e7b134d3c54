#pragma once
// A message box stand-in that records what was shown and answers from a queue.

#include <deque>
#include <string>
#include <vector>

#include "base/Controls.h"
#include "base/MessageBoxes.h"

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

}  // namespace quorvane::testing
