#include "win32/MessageFilter.h"

#include <atomic>

namespace quorvane::win32 {
namespace {

// COM interfaces have no virtual destructor by design: the object is deleted
// only by its own Release, through its own type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

class RetryingFilter final : public IMessageFilter {
 public:
  explicit RetryingFilter(RetryTimes times) : times_(times) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMessageFilter) {
      *out = static_cast<IMessageFilter*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // Calls into this thread (drag and drop, say) are taken as they come.
  DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
    return SERVERCALL_ISHANDLED;
  }
  // A call turned away because the server is busy is tried again after the
  // delay until the window has passed; one it rejects outright is given up.
  DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD elapsedMs, DWORD rejectType) override {
    if (rejectType != SERVERCALL_RETRYLATER) return static_cast<DWORD>(-1);
    if (elapsedMs >= static_cast<DWORD>(times_.window.count())) return static_cast<DWORD>(-1);
    return static_cast<DWORD>(times_.delay.count());
  }
  // While a call is out, paint messages are dispatched and input waits: the
  // window stays drawn and no click starts anything in the middle of a call.
  DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }

 private:
  RetryTimes times_;
  std::atomic<ULONG> references_{1};
};

#pragma GCC diagnostic pop

}  // namespace

ComPtr<IMessageFilter> NewRetryingMessageFilter(RetryTimes times) {
  return ComPtr<IMessageFilter>(new RetryingFilter(times));
}

MessageFilterScope::MessageFilterScope(RetryTimes times) {
  const ComPtr<IMessageFilter> filter = NewRetryingMessageFilter(times);
  // COM keeps its own reference to the filter and hands us one to the previous.
  registered_ = SUCCEEDED(::CoRegisterMessageFilter(filter.get(), previous_.put()));
}

MessageFilterScope::~MessageFilterScope() {
  if (!registered_) return;
  ComPtr<IMessageFilter> ours;
  ::CoRegisterMessageFilter(previous_.get(), ours.put());
}

}  // namespace quorvane::win32
