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
  ~ExcepInfo() {
    ::SysFreeString(info.bstrSource);
    ::SysFreeString(info.bstrDescription);
    ::SysFreeString(info.bstrHelpFile);
  }
};

[[noreturn]] void Fail(std::string_view member, HRESULT hr, const EXCEPINFO* info = nullptr,
                       UINT argError = ~0u) {
  throw base::AutomationError(std::string(member), AutomationReason(hr, info, argError));
}

// Ids of the member and then of each argument name, in one lookup as servers expect.
std::vector<DISPID> LookUp(IDispatch* object, std::string_view member, std::span<const std::string> argNames) {
  if (!object) Fail(member, E_POINTER);
  std::vector<std::wstring> names;
  names.push_back(Widen(member));
  for (const auto& name : argNames) names.push_back(Widen(name));
  std::vector<LPOLESTR> pointers;
  for (auto& name : names) pointers.push_back(name.data());
  std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
  const HRESULT hr = object->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(pointers.size()),
                                           kLocale, ids.data());
  if (FAILED(hr)) Fail(member, hr);
  return ids;
}

UniqueVariant Invoke(IDispatch* object, std::string_view member, DISPID id, WORD flags,
                     std::vector<VARIANT>& args, std::vector<DISPID>& namedIds) {
  DISPPARAMS params{};
  params.rgvarg = args.empty() ? nullptr : args.data();
  params.cArgs = static_cast<UINT>(args.size());
  params.rgdispidNamedArgs = namedIds.empty() ? nullptr : namedIds.data();
  params.cNamedArgs = static_cast<UINT>(namedIds.size());
  UniqueVariant result;
  ExcepInfo exception;
  UINT argError = ~0u;
  // A property put has no result; some servers reject a result pointer there.
  VARIANT* out = (flags & DISPATCH_PROPERTYPUT) ? nullptr : result.put();
  const HRESULT hr = object->Invoke(id, IID_NULL, kLocale, flags, &params, out, &exception.info, &argError);
  if (FAILED(hr)) {
    if (hr == DISP_E_EXCEPTION && exception.info.pfnDeferredFillIn) exception.info.pfnDeferredFillIn(&exception.info);
    Fail(member, hr, hr == DISP_E_EXCEPTION ? &exception.info : nullptr, argError);
  }
  return result;
}

}  // namespace

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
  const auto ids = LookUp(object_.get(), member, {});
  std::vector<VARIANT> args;
  std::vector<DISPID> named;
  return Invoke(object_.get(), member, ids[0], DISPATCH_PROPERTYGET, args, named);
}

void Dispatch::Put(std::string_view member, Arg value) {
  const auto ids = LookUp(object_.get(), member, {});
  std::vector<VARIANT> args{value.View()};
  std::vector<DISPID> named{DISPID_PROPERTYPUT};
  Invoke(object_.get(), member, ids[0], DISPATCH_PROPERTYPUT, args, named);
}

UniqueVariant Dispatch::Call(std::string_view member, std::span<Arg> positional) {
  const auto ids = LookUp(object_.get(), member, {});
  // Positional arguments travel last-first.
  std::vector<VARIANT> args;
  for (auto it = positional.rbegin(); it != positional.rend(); ++it) args.push_back(it->View());
  std::vector<DISPID> named;
  return Invoke(object_.get(), member, ids[0], DISPATCH_METHOD, args, named);
}

UniqueVariant Dispatch::CallNamed(std::string_view member, std::span<NamedArg> namedArgs) {
  std::vector<std::string> names;
  for (const auto& arg : namedArgs) names.push_back(arg.name);
  const auto ids = LookUp(object_.get(), member, names);
  // Named arguments go in reverse order, each rgvarg entry paired with the
  // rgdispidNamedArgs entry at the same index, as Visual Basic sends them.
  std::vector<VARIANT> args;
  std::vector<DISPID> named;
  for (std::size_t i = namedArgs.size(); i-- > 0;) {
    args.push_back(namedArgs[i].value.View());
    named.push_back(ids[i + 1]);
  }
  return Invoke(object_.get(), member, ids[0], DISPATCH_METHOD, args, named);
}

UniqueVariant Dispatch::GetDefault() {
  if (!object_) Fail("(default member)", E_POINTER);
  std::vector<VARIANT> args;
  std::vector<DISPID> named;
  return Invoke(object_.get(), "(default member)", DISPID_VALUE, DISPATCH_PROPERTYGET, args, named);
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

std::string AutomationReason(HRESULT hr, const EXCEPINFO* info, UINT argError) {
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
  if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && argError != ~0u)
    text += " (argument " + std::to_string(argError) + ")";
  return text + " (" + HresultHex(code) + ")";
}

}  // namespace quorvane::win32
