// The message filter of a thread that calls Excel. Wine does not pass a
// server's "retry later" to the caller's filter, so its answers are asked
// directly here; the retries the caller sees are in RunUnderFaultsTest.
#include <gtest/gtest.h>

#include "win32/MessageFilter.h"

namespace quorvane::win32 {
namespace {

TEST(MessageFilter, RetriesABusyServerUntilTheWindowHasPassedAndNothingElse) {
  const RetryTimes times{std::chrono::milliseconds(60000), std::chrono::milliseconds(150)};
  const auto filter = NewRetryingMessageFilter(times);
  struct Case {
    DWORD elapsedMs;
    DWORD rejectType;
    DWORD answer;
  };
  const DWORD giveUp = static_cast<DWORD>(-1);
  for (const Case c : {Case{0, SERVERCALL_RETRYLATER, 150}, Case{59999, SERVERCALL_RETRYLATER, 150},
                       Case{60000, SERVERCALL_RETRYLATER, giveUp}, Case{0, SERVERCALL_REJECTED, giveUp}}) {
    EXPECT_EQ(filter->RetryRejectedCall(nullptr, c.elapsedMs, c.rejectType), c.answer) << c.elapsedMs;
  }
  // Calls into this thread are taken; while a call is out, paint goes on and input waits.
  EXPECT_EQ(filter->HandleInComingCall(CALLTYPE_TOPLEVEL, nullptr, 0, nullptr), static_cast<DWORD>(SERVERCALL_ISHANDLED));
  EXPECT_EQ(filter->MessagePending(nullptr, 0, PENDINGTYPE_TOPLEVEL), static_cast<DWORD>(PENDINGMSG_WAITDEFPROCESS));
}

// Registering one filter in place of another: each returns the one that was there.
ComPtr<IMessageFilter> Swap(IMessageFilter* filter) {
  ComPtr<IMessageFilter> previous;
  EXPECT_TRUE(SUCCEEDED(::CoRegisterMessageFilter(filter, previous.put())));
  return previous;
}

TEST(MessageFilter, TheScopePutsBackTheFilterThatWasThere) {
  const auto someoneElses = NewRetryingMessageFilter({});
  const auto before = Swap(someoneElses.get());
  {
    const MessageFilterScope scope({});
    ASSERT_TRUE(scope.Registered());
    const auto during = Swap(nullptr);
    EXPECT_TRUE(during);
    EXPECT_NE(during.get(), someoneElses.get());
    Swap(during.get());
  }
  EXPECT_EQ(Swap(before.get()).get(), someoneElses.get());
}

}  // namespace
}  // namespace quorvane::win32
