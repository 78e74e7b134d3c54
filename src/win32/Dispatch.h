#pragma once
// Late-bound calls through IDispatch: members and named arguments are looked
// up by name at call time. Every failure throws base::AutomationError with
// the member's name, the HRESULT in hex and the server's description. The
// calls into an instance the tool created go through its InstanceGuard.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/Excel.h"
#include "win32/InstanceGuard.h"
#include "win32/Resource.h"

namespace quorvane::win32 {

// One argument of a call. A by-reference string points into storage owned by
// the Arg (stable across moves), so it lives as long as the call.
class Arg {
 public:
  static Arg Int32(std::int32_t value);
  static Arg Bool(bool value);
  static Arg Text(std::string_view utf8);
  static Arg TextByRef(std::string_view utf8);

  // A shallow view for DISPPARAMS; the Arg keeps ownership.
  VARIANT View() const noexcept { return value_.get(); }

 private:
  struct BstrSlot {
    BSTR value = nullptr;
    ~BstrSlot() { ::SysFreeString(value); }
  };
  UniqueVariant value_;
  std::unique_ptr<BstrSlot> referenced_;
};

struct NamedArg {
  std::string name;
  Arg value;
};

class Dispatch {
 public:
  Dispatch() = default;
  explicit Dispatch(ComPtr<IDispatch> object, std::shared_ptr<InstanceGuard> guard = {})
      : object_(std::move(object)), guard_(std::move(guard)) {}

  UniqueVariant Get(std::string_view member);
  // A property that is an object, called through the same guard.
  Dispatch GetObject(std::string_view member);
  void Put(std::string_view member, Arg value);
  UniqueVariant Call(std::string_view member, std::span<Arg> positional = {});
  UniqueVariant CallNamed(std::string_view member, std::span<NamedArg> named);
  // The default member (dispatch id 0) read as a property.
  UniqueVariant GetDefault();

  IDispatch* get() const noexcept { return object_.get(); }
  explicit operator bool() const noexcept { return static_cast<bool>(object_); }
  void reset() noexcept { object_.reset(); }

 private:
  struct Request;
  UniqueVariant Perform(Request& request);

  ComPtr<IDispatch> object_;
  std::shared_ptr<InstanceGuard> guard_;
};

// Result conversions; both throw AutomationError naming member.
std::string VariantText(const VARIANT& value, const std::string& member);
Dispatch VariantObject(UniqueVariant value, const std::string& member);

// The reason text AutomationError carries for a failed call, e.g.
// "Cannot open the file (0x800A03EC)"; `argument` names the argument a type
// mismatch or a missing parameter is about.
std::string AutomationReason(HRESULT hr, const EXCEPINFO* info, const std::string& argument = {});

// Excel turned the call away because it is busy: it may be made again.
bool IsBusy(HRESULT hr, const EXCEPINFO* info);

}  // namespace quorvane::win32
