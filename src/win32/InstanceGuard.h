#pragma once
// One Excel instance this tool created: its process, once known, and every
// call made into it. A call Excel turns away because it is busy is tried
// again for a while; a call that does not come back within the deadline
// ends the instance's process, which makes the call return, and fails.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "win32/MessageFilter.h"
#include "win32/Resource.h"

namespace quorvane::win32 {

struct CallTimes {
  std::chrono::seconds deadline{300};  // one call, before the instance is ended
  RetryTimes busy{};                   // calls Excel turns away while busy
};

class InstanceGuard {
 public:
  explicit InstanceGuard(CallTimes times);
  ~InstanceGuard();
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  // The instance's process, opened for waiting and ending; until there is
  // one, calls have no deadline.
  void Watch(UniqueHandle process);
  bool Watching() const { return static_cast<bool>(process_); }

  // Makes one call: `attempt` tries it and says whether Excel turned it away
  // as busy. Throws base::AutomationError naming `member` once the deadline
  // has ended the instance, also for every later call.
  void Run(std::string_view member, const std::function<bool()>& attempt);

  // Gives the process `grace` to end by itself (windows of this thread keep
  // painting meanwhile), then ends it and waits until it is gone.
  void EndProcess(std::chrono::milliseconds grace) noexcept;

 private:
  static void CALLBACK OnDeadline(PTP_CALLBACK_INSTANCE, PVOID self, PTP_TIMER);
  void Arm();
  void Disarm() noexcept;
  [[noreturn]] void FailPastDeadline(std::string_view member) const;

  CallTimes times_;
  UniqueHandle process_;
  PTP_TIMER timer_ = nullptr;
  std::atomic<bool> expired_{false};
};

}  // namespace quorvane::win32
