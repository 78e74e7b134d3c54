#pragma once
// The user's clicks and keys that queued up while the program was busy and
// could not take them.

namespace quorvane::base {

class PendingInput {
 public:
  virtual ~PendingInput() = default;
  // Drops them: what was pressed during a long run must not act after it.
  virtual void Discard() = 0;
};

}  // namespace quorvane::base
