#include "win32/Dispatch.h"

#include <vector>

#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

// Members are looked up by Excel's English names, and arguments carry no
// locale-dependent text; asking in English keeps the server from applying
// a localized lookup or conversion.
const LCID kLocale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

BSTR AllocString(std::string_view utf8) {
  const std::wstring wide = Widen(utf8);
  BSTR text = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (!text) throw std::bad_alloc();
  return text;
}

// EXCEPINFO's strings, freed whatever happens.
struct ExcepInfo {
  EXCEPINFO info{};
  ExcepInfo(const ExcepInfo&) = delete;
  ExcepInfo& operator=(const ExcepInfo&) = delete;
  ExcepInfo() = default;
  ~ExcepInfo() { Clear(); }
  void Clear() noexcept {
    ::SysFreeString(info.bstrSource);
    ::SysFreeString(info.bstrDescription);
    ::SysFreeString(info.bstrHelpFile);
    info = EXCEPINFO{};
  }
};

constexpr auto kExcelBusy = static_cast<HRESULT>(0x800AC472);

[[noreturn]] void Fail(std::string_view member, HRESULT hr) {
  throw base::AutomationError(std::string(member), AutomationReason(hr, nullptr));
}

std::vector<LPOLESTR> Pointers(std::vector<std::wstring>& names) {
  std::vector<LPOLESTR> pointers;
  for (auto& name : names) pointers.push_back(name.data());
  return pointers;
}

}  // namespace

// A call as it goes out: rgvarg holds the arguments last-first, and named
// arguments pair with the names at the same index, as Visual Basic sends them.
struct Dispatch::Request {
  Request(std::string_view name, WORD kind) : member(name), flags(kind) {}

  std::string_view member;
  WORD flags;
  std::vector<VARIANT> args;           // rgvarg order
  std::vector<std::string> namedArgs;  // in the order given; empty for positional arguments
  bool defaultMember = false;          // DISPID_VALUE, no lookup

  // puArgErr is an index into rgvarg, which runs from the last argument back.
  std::string ArgumentAt(UINT index) const {
    if (index >= args.size()) return {};
    if (flags & DISPATCH_PROPERTYPUT) return "value";
    if (!namedArgs.empty()) return namedArgs[namedArgs.size() - 1 - index];
    return std::to_string(args.size() - index);
  }
};

UniqueVariant Dispatch::Perform(Request& request) {
  if (!object_) Fail(request.member, E_POINTER);
  std::vector<std::wstring> names{Widen(request.member)};
  for (const auto& name : request.namedArgs) names.push_back(Widen(name));
  UniqueVariant result;
  ExcepInfo exception;
  UINT argError = ~0u;
  HRESULT hr = S_OK;
  const auto attempt = [&]() -> bool {
    exception.Clear();
    argError = ~0u;
    std::vector<DISPID> ids(names.size(), DISPID_VALUE);
    if (!request.defaultMember) {
      auto pointers = Pointers(names);
      hr = object_->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(pointers.size()), kLocale, ids.data());
      if (FAILED(hr)) return IsBusy(hr, nullptr);
    }
    std::vector<DISPID> named;
    if (request.flags & DISPATCH_PROPERTYPUT) named.push_back(DISPID_PROPERTYPUT);
    for (std::size_t i = ids.size(); i-- > 1;) named.push_back(ids[i]);
    DISPPARAMS params{};
    params.rgvarg = request.args.empty() ? nullptr : request.args.data();
    params.cArgs = static_cast<UINT>(request.args.size());
    params.rgdispidNamedArgs = named.empty() ? nullptr : named.data();
    params.cNamedArgs = static_cast<UINT>(named.size());
    // A property put has no result; some servers reject a result pointer there.
    VARIANT* out = (request.flags & DISPATCH_PROPERTYPUT) ? nullptr : result.put();
    hr = object_->Invoke(ids[0], IID_NULL, kLocale, request.flags, &params, out, &exception.info, &argError);
    if (hr == DISP_E_EXCEPTION && exception.info.pfnDeferredFillIn) exception.info.pfnDeferredFillIn(&exception.info);
    return IsBusy(hr, hr == DISP_E_EXCEPTION ? &exception.info : nullptr);
  };
  if (guard_) {
    guard_->Run(request.member, attempt);
  } else {
    attempt();
  }
  if (FAILED(hr)) {
    throw base::AutomationError(std::string(request.member),
                                AutomationReason(hr, hr == DISP_E_EXCEPTION ? &exception.info : nullptr,
                                                 request.ArgumentAt(argError)));
  }
  return result;
}

Arg Arg::Int32(std::int32_t value) {
  Arg arg;
  arg.value_.get().vt = VT_I4;
  arg.value_.get().lVal = value;
  return arg;
}

Arg Arg::Bool(bool value) {
  Arg arg;
  arg.value_.get().vt = VT_BOOL;
  arg.value_.get().boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return arg;
}

Arg Arg::Text(std::string_view utf8) {
  Arg arg;
  arg.value_.get().bstrVal = AllocString(utf8);
  arg.value_.get().vt = VT_BSTR;
  return arg;
}

Arg Arg::TextByRef(std::string_view utf8) {
  Arg arg;
  arg.referenced_ = std::make_unique<BstrSlot>();
  arg.referenced_->value = AllocString(utf8);
  // The variant only points at the slot; VariantClear leaves by-ref data alone.
  arg.value_.get().vt = VT_BYREF | VT_BSTR;
  arg.value_.get().pbstrVal = &arg.referenced_->value;
  return arg;
}

UniqueVariant Dispatch::Get(std::string_view member) {
  Request request(member, DISPATCH_PROPERTYGET);
  return Perform(request);
}

Dispatch Dispatch::GetObject(std::string_view member) {
  Dispatch object = VariantObject(Get(member), std::string(member));
  object.guard_ = guard_;
  return object;
}

void Dispatch::Put(std::string_view member, Arg value) {
  Request request(member, DISPATCH_PROPERTYPUT);
  request.args.push_back(value.View());
  Perform(request);
}

UniqueVariant Dispatch::Call(std::string_view member, std::span<Arg> positional) {
  Request request(member, DISPATCH_METHOD);
  for (auto it = positional.rbegin(); it != positional.rend(); ++it) request.args.push_back(it->View());
  return Perform(request);
}

UniqueVariant Dispatch::CallNamed(std::string_view member, std::span<NamedArg> namedArgs) {
  Request request(member, DISPATCH_METHOD);
  for (const auto& arg : namedArgs) request.namedArgs.push_back(arg.name);
  for (std::size_t i = namedArgs.size(); i-- > 0;) request.args.push_back(namedArgs[i].value.View());
  return Perform(request);
}

UniqueVariant Dispatch::GetDefault() {
  Request request("(default member)", DISPATCH_PROPERTYGET);
  request.defaultMember = true;
  return Perform(request);
}

std::string VariantText(const VARIANT& value, const std::string& member) {
  UniqueVariant text;
  const HRESULT hr = ::VariantChangeType(text.put(), const_cast<VARIANT*>(&value), 0, VT_BSTR);
  if (FAILED(hr)) Fail(member, hr);
  const BSTR bstr = text.get().bstrVal;
  return Narrow(std::wstring_view(bstr ? bstr : L"", ::SysStringLen(bstr)));
}

Dispatch VariantObject(UniqueVariant value, const std::string& member) {
  const VARIANT& v = value.get();
  IDispatch* object = nullptr;
  if (v.vt == VT_DISPATCH) object = v.pdispVal;
  else if (v.vt == (VT_BYREF | VT_DISPATCH) && v.ppdispVal) object = *v.ppdispVal;
  if (!object) throw base::AutomationError(member, "no object was returned");
  return Dispatch(ComPtr<IDispatch>::AddRefed(object));
}

bool IsBusy(HRESULT hr, const EXCEPINFO* info) {
  if (hr == RPC_E_CALL_REJECTED || hr == RPC_E_SERVERCALL_RETRYLATER || hr == kExcelBusy) return true;
  return info && info->scode == kExcelBusy;
}

std::string AutomationReason(HRESULT hr, const EXCEPINFO* info, const std::string& argument) {
  HRESULT code = hr;
  std::string text;
  if (info) {
    if (info->scode != 0) code = info->scode;
    if (info->bstrDescription && ::SysStringLen(info->bstrDescription) > 0) {
      try {
        text = Narrow(std::wstring_view(info->bstrDescription, ::SysStringLen(info->bstrDescription)));
      } catch (const std::exception&) {
      }
    }
  }
  if (text.empty()) text = SystemText(static_cast<DWORD>(code)).value_or("the call failed");
  if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && !argument.empty())
    text += " (argument " + argument + ")";
  return text + " (" + HresultHex(code) + ")";
}

}  // namespace quorvane::win32
