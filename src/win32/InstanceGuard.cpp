#include "win32/InstanceGuard.h"

#include "base/Excel.h"
#include "win32/Wait.h"

namespace quorvane::win32 {
namespace {

constexpr UINT kEndedExitCode = 1;
constexpr std::chrono::milliseconds kEndWait{10000};

}  // namespace

InstanceGuard::InstanceGuard(CallTimes times)
    : times_(times), timer_(::CreateThreadpoolTimer(&InstanceGuard::OnDeadline, this, nullptr)) {}

InstanceGuard::~InstanceGuard() {
  if (!timer_) return;
  Disarm();
  ::CloseThreadpoolTimer(timer_);
}

void InstanceGuard::Watch(UniqueHandle process) { process_ = std::move(process); }

// On a pool thread: the call is still out. Ending the process is what makes
// a call blocked in Excel return (disconnected) on the calling thread.
void CALLBACK InstanceGuard::OnDeadline(PTP_CALLBACK_INSTANCE, PVOID self, PTP_TIMER) {
  auto* guard = static_cast<InstanceGuard*>(self);
  guard->expired_ = true;
  ::TerminateProcess(guard->process_.get(), kEndedExitCode);
}

void InstanceGuard::Arm() {
  if (!timer_ || !process_) return;
  // Relative due times are negative, in units of 100 ns.
  const long long due = -static_cast<long long>(times_.deadline.count()) * 10'000'000LL;
  FILETIME when{static_cast<DWORD>(due & 0xFFFFFFFF), static_cast<DWORD>(static_cast<unsigned long long>(due) >> 32)};
  ::SetThreadpoolTimer(timer_, &when, 0, 0);
}

void InstanceGuard::Disarm() noexcept {
  if (!timer_) return;
  ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
  ::WaitForThreadpoolTimerCallbacks(timer_, TRUE);
}

void InstanceGuard::FailPastDeadline(std::string_view member) const {
  throw base::AutomationError(std::string(member), "Excel did not answer within " +
                                                       std::to_string(times_.deadline.count()) +
                                                       " s; its instance was ended");
}

void InstanceGuard::Run(std::string_view member, const std::function<bool()>& attempt) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (;;) {
    if (expired_) FailPastDeadline(member);
    Arm();
    bool busy = false;
    try {
      busy = attempt();
    } catch (...) {
      Disarm();
      throw;
    }
    Disarm();
    if (expired_) FailPastDeadline(member);
    if (!busy || Clock::now() - start + times_.busy.delay > times_.busy.window) return;
    WaitPainting(nullptr, times_.busy.delay);
  }
}

void InstanceGuard::EndProcess(std::chrono::milliseconds grace) noexcept {
  if (!process_) return;
  if (!WaitPainting(process_.get(), grace)) {
    ::TerminateProcess(process_.get(), kEndedExitCode);
    // Ending is asynchronous; the workbook file is free only once it is done.
    WaitPainting(process_.get(), kEndWait);
  }
  process_.reset();
}

}  // namespace quorvane::win32
