#pragma once
// The COM message filter of a thread that calls Excel. An Excel that is
// starting or busy turns calls away (SERVERCALL_RETRYLATER); without a filter
// COM fails such a call at once, with one the call is tried again.

#include <objidl.h>

#include <chrono>

#include "win32/Resource.h"

namespace quorvane::win32 {

struct RetryTimes {
  std::chrono::milliseconds window{60000};  // how long a turned-away call is tried again
  std::chrono::milliseconds delay{200};     // between tries
};

// Registers the filter on the calling thread for the object's lifetime and
// puts back the one that was there before. Works only in a single-threaded
// apartment; elsewhere it registers nothing.
class MessageFilterScope {
 public:
  explicit MessageFilterScope(RetryTimes times);
  ~MessageFilterScope();
  MessageFilterScope(const MessageFilterScope&) = delete;
  MessageFilterScope& operator=(const MessageFilterScope&) = delete;
  bool Registered() const { return registered_; }

 private:
  ComPtr<IMessageFilter> previous_;
  bool registered_ = false;
};

// The filter itself, for tests of its answers.
ComPtr<IMessageFilter> NewRetryingMessageFilter(RetryTimes times);

}  // namespace quorvane::win32
