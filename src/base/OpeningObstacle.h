#pragma once
// A look at a workbook file before Excel is asked to open it. Whatever makes
// Excel ask a question while it opens a workbook (a password, a file another
// program holds) hangs an instance nobody can see, so such a workbook is
// never handed to Excel.

#include <string>

namespace quorvane::base {

enum class OpeningObstacle {
  None,
  PasswordToOpen,    // an encrypted workbook
  PasswordToModify,  // a write-reservation password
  HeldOpen,          // another program has it open and does not share it for writing
};

class ObstacleFinder {
 public:
  virtual ~ObstacleFinder() = default;
  // A file that cannot be read or is of no kind the finder knows has no
  // obstacle: Excel gets to say what is wrong with it.
  virtual OpeningObstacle Look(const std::string& path) noexcept = 0;
};

// The report's reason for a workbook that was not opened; "" for None.
inline std::string NotOpenedReason(OpeningObstacle obstacle) {
  switch (obstacle) {
    case OpeningObstacle::PasswordToOpen: return "password-protected: not opened";
    case OpeningObstacle::PasswordToModify: return "has a password to modify: not opened";
    case OpeningObstacle::HeldOpen: return "in use by another program: not opened";
    case OpeningObstacle::None: break;
  }
  return {};
}

}  // namespace quorvane::base
