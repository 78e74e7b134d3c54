#include "FakeExcelServer.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

#include "win32/Strings.h"

namespace quorvane::testing {
namespace {

using win32::ComPtr;

std::string Render(const VARIANT& v) {
  switch (v.vt) {
    case VT_I4: return std::to_string(v.lVal);
    case VT_BOOL: return v.boolVal ? "True" : "False";
    case VT_BSTR: return win32::Narrow(v.bstrVal ? v.bstrVal : L"");
    case VT_BYREF | VT_BSTR: return win32::Narrow(*v.pbstrVal ? *v.pbstrVal : L"") + "&";
    default: return "vt" + std::to_string(v.vt);
  }
}

// Counts the arrival of a step; the fault that hits it, if any.
const Fault* Arrive(const std::string& step) {
  FakeExcelState& state = FakeExcel();
  const int count = ++state.arrivals[step];
  for (const Fault& f : state.faults)
    if (f.step == step && (f.nth == 0 || (count >= f.nth && count < f.nth + f.times))) {
      ++state.faultsFired;
      return &f;
    }
  return nullptr;
}

FakeInstance* InstanceAt(int index) {
  auto& all = FakeExcel().instances;
  return index >= 0 && static_cast<std::size_t>(index) < all.size() ? &all[static_cast<std::size_t>(index)] : nullptr;
}

bool Listed(const std::vector<std::wstring>& list, const std::wstring& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

constexpr WORD kGet = DISPATCH_PROPERTYGET, kPut = DISPATCH_PROPERTYPUT, kCall = DISPATCH_METHOD;
enum Kind { kApplication, kWorkbooks, kWorkbook };
const char* const kKindNames[] = {"Application", "Workbooks", "Workbook"};

// Every member of every object: its DISPID is its place here plus one, its
// parameters' DISPIDs their places in `params`.
const struct Member {
  Kind on;
  std::wstring name;
  std::vector<std::wstring> params;
  WORD kinds;
} kMembers[] = {
    {kApplication, L"Workbooks", {}, kGet},
    {kApplication, L"ActiveWorkbook", {}, kGet},
    {kApplication, L"AutomationSecurity", {}, kGet | kPut},
    {kApplication, L"Visible", {}, kGet | kPut},
    {kApplication, L"DisplayAlerts", {}, kGet | kPut},
    {kApplication, L"AskToUpdateLinks", {}, kGet | kPut},
    {kApplication, L"Quit", {}, kCall},
    {kApplication, L"Hwnd", {}, kGet},
    {kWorkbooks, L"Open", {L"Filename", L"UpdateLinks", L"ReadOnly"}, kCall},
    {kWorkbook, L"LinkSources", {L"Type"}, kCall | kGet},
    {kWorkbook, L"BreakLink", {L"name", L"Type"}, kCall},
    {kWorkbook, L"Save", {}, kCall},
    {kWorkbook, L"Close", {L"SaveChanges", L"Filename", L"RouteWorkbook"}, kCall},
};

// A text argument by its parameter id, named or in its place.
std::wstring TextArgument(const DISPPARAMS& params, DISPID param) {
  const VARIANT* value = nullptr;
  for (UINT i = 0; i < params.cNamedArgs; ++i)
    if (params.rgdispidNamedArgs[i] == param) value = &params.rgvarg[i];
  if (!value && static_cast<UINT>(param) < params.cArgs - params.cNamedArgs)
    value = &params.rgvarg[params.cArgs - 1 - static_cast<UINT>(param)];
  if (value && value->vt == VT_BSTR && value->bstrVal) return value->bstrVal;
  if (value && value->vt == (VT_BYREF | VT_BSTR) && *value->pbstrVal) return *value->pbstrVal;
  return {};
}

// LinkSources: the sources less those this instance's BreakLink took off.
VARIANT SourceArray(const FakeInstance& instance) {
  const FakeExcelState& state = FakeExcel();
  std::vector<std::wstring> listed;
  for (const auto& source : state.linkSources)
    if (!Listed(instance.broken, source)) listed.push_back(source);
  VARIANT v;
  ::VariantInit(&v);
  if (listed.empty()) return v;
  const VARTYPE element = state.sourcesAsVariants ? VT_VARIANT : VT_BSTR;
  SAFEARRAY* array = ::SafeArrayCreateVectorEx(element, state.lowerBound, static_cast<ULONG>(listed.size()), nullptr);
  for (LONG i = 0; i < static_cast<LONG>(listed.size()); ++i) {
    LONG index = state.lowerBound + i;
    win32::UniqueBstr text(::SysAllocString(listed[static_cast<std::size_t>(i)].c_str()));
    VARIANT item;
    item.vt = VT_BSTR;
    item.bstrVal = text.get();
    ::SafeArrayPutElement(array, &index, state.sourcesAsVariants ? static_cast<void*>(&item) : text.get());  // copies
  }
  v.vt = VT_ARRAY | element;
  v.parray = array;
  return v;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"  // COM objects are deleted by their own Release

// One object of an instance; the last Release deletes it.
class FakeObject final : public IDispatch {
 public:
  FakeObject(Kind kind, int instance) : kind_(kind), instance_(instance) { ++FakeExcel().liveObjects; }
  ~FakeObject() {
    --FakeExcel().liveObjects;
    if (kind_ == kApplication) LastReleaseOfApplication();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_IDispatch ? static_cast<IDispatch*>(this) : nullptr;
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

  // Names are matched regardless of case, as Excel does.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    std::fill(ids, ids + count, DISPID_UNKNOWN);
    const auto member = std::find_if(std::begin(kMembers), std::end(kMembers), [&](const Member& m) {
      return m.on == kind_ && ::_wcsicmp(m.name.c_str(), names[0]) == 0;
    });
    if (member == std::end(kMembers)) return DISP_E_UNKNOWNNAME;
    ids[0] = static_cast<DISPID>(member - std::begin(kMembers) + 1);
    for (UINT i = 1; i < count; ++i)
      for (std::size_t p = 0; p < member->params.size(); ++p)
        if (::_wcsicmp(member->params[p].c_str(), names[i]) == 0) ids[i] = static_cast<DISPID>(p);
    return std::find(ids, ids + count, DISPID_UNKNOWN) == ids + count ? S_OK : DISP_E_UNKNOWNNAME;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override {
    const std::string name = kKindNames[kind_];
    if (id == DISPID_VALUE && kind_ == kApplication && (flags & kGet) && params->cArgs == 0) {
      Record(name + ".(default)");
      if (!result) return S_OK;
      result->vt = VT_BSTR;
      result->bstrVal = ::SysAllocString(FakeExcel().defaultName.c_str());
      return S_OK;
    }
    if (id < 1 || id > static_cast<DISPID>(std::size(kMembers))) return DISP_E_MEMBERNOTFOUND;
    const Member& member = kMembers[id - 1];
    if (member.on != kind_ || !(flags & member.kinds)) return DISP_E_MEMBERNOTFOUND;
    std::string entry = name + "." + win32::Narrow(member.name);
    if (flags & kPut) {
      if (params->cArgs != 1 || params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
        return DISP_E_PARAMNOTFOUND;
      entry.append("=").append(Render(params->rgvarg[0]));
    } else if (flags & kCall) {
      // Positional arguments arrive last-first after the named ones; named ones are listed in parameter order.
      std::vector<std::string> args(member.params.size());
      std::vector<std::string> positional;
      for (UINT i = 0; i < params->cNamedArgs; ++i) {
        const DISPID p = params->rgdispidNamedArgs[i];
        if (p < 0 || static_cast<std::size_t>(p) >= args.size() || !args[static_cast<std::size_t>(p)].empty())
          return DISP_E_PARAMNOTFOUND;
        args[static_cast<std::size_t>(p)] = win32::Narrow(member.params[static_cast<std::size_t>(p)]) + "=" +
                                            Render(params->rgvarg[i]);
      }
      for (UINT i = params->cArgs; i-- > params->cNamedArgs;) positional.push_back(Render(params->rgvarg[i]));
      for (auto& a : args)
        if (!a.empty()) positional.push_back(a);
      entry += "(";
      for (std::size_t i = 0; i < positional.size(); ++i) entry.append(i ? ", " : "").append(positional[i]);
      entry += ")";
    } else if (params->cArgs != 0) {
      return DISP_E_BADPARAMCOUNT;
    }
    Record(entry);

    if (const Fault* fault = Arrive(win32::Narrow(member.name))) {
      FakeInstance* owner = InstanceAt(instance_);
      if (owner) owner->faults.push_back(owner->calls.size() - 1);
      switch (fault->kind) {
        case FaultKind::Hresult: return fault->code;
        case FaultKind::Ignored: return S_OK;
        case FaultKind::BadArgument:
          if (argError) *argError = fault->argument;
          return DISP_E_TYPEMISMATCH;
        case FaultKind::Block:
          // A test that never ends the process gets the call back after a minute.
          if (owner && owner->process) ::WaitForSingleObject(owner->process->Handle(), 60000);
          return HRESULT_FROM_WIN32(RPC_S_CALL_FAILED);
        case FaultKind::Exception:
          if (exception) {
            *exception = EXCEPINFO{};
            exception->scode = fault->code;
            exception->bstrSource = ::SysAllocString(L"Microsoft Excel");
            exception->bstrDescription = ::SysAllocString(fault->description.c_str());
          }
          return DISP_E_EXCEPTION;
      }
    }
    VARIANT ignored;
    ::VariantInit(&ignored);
    Answer(member.name, *params, result ? *result : ignored);
    ::VariantClear(&ignored);
    return S_OK;
  }

 private:
  void Answer(const std::wstring& member, const DISPPARAMS& params, VARIANT& result) const {
    FakeInstance& me = *InstanceAt(instance_);
    if (member == L"Workbooks" || member == L"ActiveWorkbook") {
      result.vt = VT_DISPATCH;
      result.pdispVal = new FakeObject(member == L"Workbooks" ? kWorkbooks : kWorkbook, instance_);
    } else if (member == L"AutomationSecurity" || member == L"Hwnd") {
      if (params.cArgs == 1 && params.rgvarg[0].vt == VT_I4) me.automationSecurity = params.rgvarg[0].lVal;
      result.vt = VT_I4;
      result.lVal = member == L"AutomationSecurity" ? me.automationSecurity
                    : me.process ? static_cast<LONG>(reinterpret_cast<INT_PTR>(me.process->Window()))
                                 : FakeExcel().hwnd;
    } else if (member == L"Open") {
      me.macrosRun += me.automationSecurity != 3;
    } else if (member == L"LinkSources") {
      result = SourceArray(me);
    } else if (member == L"BreakLink") {
      const std::wstring source = TextArgument(params, 0);
      if (!Listed(FakeExcel().keptByBreakLink, source)) me.broken.push_back(source);
    } else if (member == L"Quit") {
      me.quitHonoured = true;
    }
  }

  void Record(const std::string& entry) const {
    if (FakeInstance* owner = InstanceAt(instance_)) owner->calls.push_back(entry);
  }

  // Like Excel, an instance told to quit ends once nobody holds it, unless a
  // "Release" fault makes it linger.
  void LastReleaseOfApplication() const {
    FakeInstance* self = InstanceAt(instance_);
    if (!self) return;
    self->released = true;
    if (self->created && Arrive("Release")) {
      self->lingers = true;
      self->faults.push_back(self->calls.size());
    }
    if (self->quitHonoured && !self->lingers && self->process) self->process->Close();
  }

  Kind kind_;
  int instance_;
  std::atomic<ULONG> refs_{1};
};

ComPtr<IDispatch> NewApplication(bool created) {
  FakeExcelState& state = FakeExcel();
  state.instances.push_back({.created = created});
  if (state.separateProcesses) state.instances.back().process = std::make_shared<ChildWindowProcess>(state.exitDelayMs);
  return ComPtr<IDispatch>(new FakeObject(kApplication, static_cast<int>(state.instances.size()) - 1));
}

class ClassObject final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_IClassFactory ? static_cast<IClassFactory*>(this) : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  // A static: lives as long as the program.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (const Fault* fault = Arrive("Create")) return fault->code;
    ++FakeExcel().created;
    return NewApplication(true)->QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
} classObject;

#pragma GCC diagnostic pop

}  // namespace

FakeExcelState& FakeExcel() {
  static FakeExcelState state;
  return state;
}

ComPtr<IDispatch> NewFakeApplication() { return NewApplication(false); }

int FakeExcelState::LiveInstances() const {
  return static_cast<int>(
      std::count_if(instances.begin(), instances.end(), [](const auto& i) { return i.created && !i.Ended(); }));
}

ChildWindowProcess::ChildWindowProcess(DWORD exitDelayMs) {
  static int count = 0;
  wchar_t exe[MAX_PATH];
  ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  const std::wstring title =
      L"quorvane-child-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++count);
  std::wstring command =
      L"\"" + std::wstring(exe) + L"\" --child-window " + title + L" " + std::to_wstring(exitDelayMs);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return;
  process_.reset(info.hProcess);
  ::CloseHandle(info.hThread);
  for (int i = 0; i < 200 && !(window_ = ::FindWindowW(L"STATIC", title.c_str())); ++i) ::Sleep(50);
}

void ChildWindowProcess::End() {
  if (!Alive()) return;
  ::TerminateProcess(process_.get(), 0);
  ::WaitForSingleObject(process_.get(), 10000);
}

DWORD ChildWindowProcess::ExitCode() const {
  DWORD code = STILL_ACTIVE;
  if (process_) ::GetExitCodeProcess(process_.get(), &code);
  return code;
}

std::optional<int> RunIfChildWindow(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "--child-window") return std::nullopt;
  if (!::CreateWindowExW(0, L"STATIC", win32::Widen(argv[2]).c_str(), WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                         ::GetModuleHandleW(nullptr), nullptr))
    return 2;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_CLOSE) {
      ::Sleep(static_cast<DWORD>(std::stoul(argv[3])));
      return static_cast<int>(kChildOwnExitCode);
    }
    ::DispatchMessageW(&message);
  }
  return 0;
}

FakeExcelRegistration::FakeExcelRegistration()
    : result_(::CoRegisterClassObject(kFakeExcelClass, &classObject, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                      &cookie_)) {}

FakeExcelRegistration::~FakeExcelRegistration() {
  if (SUCCEEDED(result_)) ::CoRevokeClassObject(cookie_);
}

bool ProgIdMapsToFake() {
  CLSID clsid{};
  return SUCCEEDED(::CLSIDFromProgID(L"Excel.Application", &clsid)) && clsid == kFakeExcelClass;
}

}  // namespace quorvane::testing
