#pragma once
// What the logic tells the user, and the answer to its one question.

#include <string>

namespace quorvane::base {

inline constexpr const char* kAppTitle = "Quorvane";

enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// Application-modal message boxes without icon, captioned with kAppTitle.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual MessageAnswer Show(const std::string& text, MessageButtons buttons) = 0;
};

}  // namespace quorvane::base
