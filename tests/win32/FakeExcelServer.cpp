#include "FakeExcelServer.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

#include "win32/Strings.h"

namespace quorvane::testing {
namespace {

using win32::ComPtr;

std::wstring Text(const VARIANT& v) {
  const BSTR text = v.vt == VT_BSTR ? v.bstrVal : v.vt == (VT_BYREF | VT_BSTR) ? *v.pbstrVal : nullptr;
  return text ? text : L"";
}

// As the call log shows it; any other type shows as its number.
std::string Render(const VARIANT& v) {
  if (v.vt == VT_I4) return std::to_string(v.lVal);
  if (v.vt == VT_BOOL) return v.boolVal ? "True" : "False";
  if (v.vt != VT_BSTR && v.vt != (VT_BYREF | VT_BSTR)) return "vt" + std::to_string(v.vt);
  return win32::Narrow(Text(v)) + (v.vt & VT_BYREF ? "&" : "");
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

// The names Excel's objects know, members and arguments alike; a name's
// DISPID is its place here plus one.
const wchar_t* const kNames[] = {L"Workbooks", L"ActiveWorkbook", L"AutomationSecurity", L"DisplayAlerts",
                                 L"AskToUpdateLinks", L"Quit", L"Hwnd", L"Open", L"LinkSources", L"BreakLink",
                                 L"Save", L"Close", L"Type", L"name", L"SaveChanges"};

// LinkSources: the sources less those this instance's BreakLink took off.
VARIANT SourceArray(const FakeInstance& instance) {
  const FakeExcelState& state = FakeExcel();
  std::vector<std::wstring> listed;
  for (const auto& source : state.linkSources)
    if (std::ranges::find(instance.broken, source) == instance.broken.end()) listed.push_back(source);
  VARIANT v;
  ::VariantInit(&v);
  if (listed.empty()) return v;
  const VARTYPE element = state.sourcesAsVariants ? VT_VARIANT : VT_BSTR;
  v.vt = VT_ARRAY | element;
  v.parray = ::SafeArrayCreateVectorEx(element, state.lowerBound, static_cast<ULONG>(listed.size()), nullptr);
  for (LONG i = 0; i < static_cast<LONG>(listed.size()); ++i) {
    LONG index = state.lowerBound + i;
    win32::UniqueBstr text(::SysAllocString(listed[static_cast<std::size_t>(i)].c_str()));
    VARIANT item{};
    item.vt = VT_BSTR;
    item.bstrVal = text.get();
    ::SafeArrayPutElement(v.parray, &index, state.sourcesAsVariants ? static_cast<void*>(&item) : text.get());
  }
  return v;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"  // COM objects are deleted by their own Release

// One object of an instance, named as the member that gave it; the last Release deletes it.
class FakeObject final : public IDispatch {
 public:
  FakeObject(std::string name, std::size_t instance) : name_(std::move(name)), instance_(instance) {
    ++FakeExcel().liveObjects;
  }
  ~FakeObject() {
    --FakeExcel().liveObjects;
    if (name_ == "Application") LastReleaseOfApplication();
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
  // No type information: the tool binds late, by name.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

  // Names are matched regardless of case, as Excel does.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    HRESULT result = S_OK;
    for (UINT i = 0; i < count; ++i) {
      const auto known = std::find_if(std::begin(kNames), std::end(kNames),
                                      [&](const wchar_t* name) { return ::_wcsicmp(name, names[i]) == 0; });
      ids[i] = known == std::end(kNames) ? DISPID_UNKNOWN : static_cast<DISPID>(known - std::begin(kNames) + 1);
      if (ids[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
    }
    return result;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override {
    FakeInstance& me = FakeExcel().instances[instance_];
    if (id == DISPID_VALUE && (flags & DISPATCH_PROPERTYGET) && params->cArgs == 0) {
      me.calls.push_back(name_ + ".(default)");
      result->vt = VT_BSTR;
      result->bstrVal = ::SysAllocString(FakeExcel().defaultName.c_str());
      return S_OK;
    }
    if (id < 1 || id > static_cast<DISPID>(std::size(kNames))) return DISP_E_MEMBERNOTFOUND;
    const std::wstring member = kNames[id - 1];
    std::string entry = name_ + "." + win32::Narrow(member);
    if (flags & DISPATCH_PROPERTYPUT) {
      if (params->cArgs != 1 || params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
        return DISP_E_PARAMNOTFOUND;
      entry.append("=").append(Render(params->rgvarg[0]));
      if (member == L"AutomationSecurity") me.automationSecurity = params->rgvarg[0].lVal;
    } else if (flags & DISPATCH_METHOD) {
      // rgvarg runs from the last argument back: positional ones first, then the named ones in the caller's order.
      entry += "(";
      for (UINT i = params->cArgs; i-- > 0;) {
        const bool named = i < params->cNamedArgs;
        if (named && params->rgdispidNamedArgs[i] < 1) return DISP_E_PARAMNOTFOUND;
        entry.append(i + 1 == params->cArgs ? "" : ", ")
            .append(named ? win32::Narrow(kNames[params->rgdispidNamedArgs[i] - 1]) + "=" : "")
            .append(Render(params->rgvarg[i]));
      }
      entry += ")";
    } else if (params->cArgs != 0) {
      return DISP_E_BADPARAMCOUNT;
    }
    me.calls.push_back(entry);

    if (const Fault* fault = Arrive(win32::Narrow(member))) {
      switch (fault->kind) {
        case FaultKind::Hresult: return fault->code;
        case FaultKind::Ignored: return S_OK;
        case FaultKind::BadArgument:
          *argError = fault->argument;
          return DISP_E_TYPEMISMATCH;
        case FaultKind::Block:
          // A test that never ends the process gets the call back after a minute.
          if (me.process) me.process->EndsWithin(60000);
          return HRESULT_FROM_WIN32(RPC_S_CALL_FAILED);
        case FaultKind::Exception:
          *exception = EXCEPINFO{};
          exception->scode = fault->code;
          exception->bstrSource = ::SysAllocString(L"Microsoft Excel");
          exception->bstrDescription = ::SysAllocString(fault->description.c_str());
          return DISP_E_EXCEPTION;
      }
    }
    // The script: what the members Excel's run depends on answer or do.
    if (member == L"Workbooks" || member == L"ActiveWorkbook") {
      result->vt = VT_DISPATCH;
      result->pdispVal = new FakeObject(win32::Narrow(member), instance_);
    } else if (member == L"Hwnd") {
      result->vt = VT_I4;
      result->lVal = me.process ? static_cast<LONG>(reinterpret_cast<INT_PTR>(me.process->Window())) : FakeExcel().hwnd;
    } else if (member == L"Open") {
      me.macrosRun += me.automationSecurity != 3;
    } else if (member == L"LinkSources") {
      *result = SourceArray(me);
    } else if (member == L"BreakLink") {
      const std::wstring source = Text(params->rgvarg[params->cArgs - 1]);
      if (std::ranges::find(FakeExcel().keptByBreakLink, source) == FakeExcel().keptByBreakLink.end())
        me.broken.push_back(source);
    } else if (member == L"Quit") {
      me.quitHonoured = true;
    }
    return S_OK;
  }

 private:
  // Like Excel, an instance told to quit ends once nobody holds it, unless a
  // "Release" fault makes it linger.
  void LastReleaseOfApplication() const {
    const FakeInstance& self = FakeExcel().instances[instance_];
    const bool lingers = self.created && Arrive("Release");
    if (self.quitHonoured && !lingers && self.process) ::PostMessageW(self.process->Window(), WM_CLOSE, 0, 0);
  }

  std::string name_;
  std::size_t instance_;
  std::atomic<ULONG> refs_{1};
};

ComPtr<IDispatch> NewApplication(bool created) {
  FakeExcelState& state = FakeExcel();
  state.instances.push_back({.created = created});
  if (state.separateProcesses) state.instances.back().process = std::make_shared<ChildWindowProcess>(state.exitDelayMs);
  return ComPtr<IDispatch>(new FakeObject("Application", state.instances.size() - 1));
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

ChildWindowProcess::~ChildWindowProcess() {
  if (!process_ || EndsWithin(0)) return;
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

RunningRegistration::RunningRegistration(IUnknown* instance) {
  EXPECT_TRUE(SUCCEEDED(::RegisterActiveObject(instance, kFakeExcelClass, ACTIVEOBJECT_STRONG, &cookie_)));
}

RunningRegistration::~RunningRegistration() { ::RevokeActiveObject(cookie_, nullptr); }

void FakeExcelTest::SetUp() {
  CLSID clsid{};
  if (FAILED(::CLSIDFromProgID(L"Excel.Application", &clsid)) || clsid != kFakeExcelClass)
    GTEST_SKIP() << "Excel.Application is not mapped to the test class (run through scripts/test-windows)";
  ASSERT_TRUE(SUCCEEDED(
      ::CoRegisterClassObject(kFakeExcelClass, &classObject, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_)));
  FakeExcel() = FakeExcelState{};
}

void FakeExcelTest::TearDown() {
  if (cookie_) ::CoRevokeClassObject(cookie_);
  EXPECT_EQ(FakeExcel().liveObjects, 0) << "a COM reference was leaked";
}

}  // namespace quorvane::testing
