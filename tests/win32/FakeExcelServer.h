#pragma once
// An in-process stand-in for "Excel.Application" reached through real COM: one generic IDispatch
// that logs each call as it arrives and answers from the state below, with faults injected at any
// step. Like Excel it runs a workbook's open macro unless AutomationSecurity is 3, takes a broken
// source off LinkSources, and may be slow to exit. Included by one file of each test program,
// whose main() is RunTests.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "win32/ComExcel.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::testing {

// scripts/test-windows maps the ProgID "Excel.Application" to this class.
inline constexpr CLSID kFakeExcelClass = {0x6A3C2F1E, 0x8D4B, 0x4C57, {0x9E, 0x2A, 0x51, 0xB7, 0xC0, 0xD9, 0x3F, 0x48}};

// This test program started again as one hidden window, standing in for an Excel process; told
// to close, it exits by itself after its delay with kChildOwnExitCode.
inline constexpr DWORD kChildOwnExitCode = 42;
class ChildWindowProcess {
 public:
  explicit ChildWindowProcess(DWORD exitDelayMs = 0) {
    static int count = 0;
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring title = L"quorvane-child-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++count);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --child-window " + title + L" " + std::to_wstring(exitDelayMs);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return;
    process_.reset(info.hProcess);
    ::CloseHandle(info.hThread);
    for (int i = 0; i < 200 && !(window_ = ::FindWindowW(L"STATIC", title.c_str())); ++i) ::Sleep(50);
  }
  ~ChildWindowProcess() {
    if (EndsWithin(0)) return;
    ::TerminateProcess(process_.get(), 0);
    ::WaitForSingleObject(process_.get(), 10000);
  }
  ChildWindowProcess(const ChildWindowProcess&) = delete;
  ChildWindowProcess& operator=(const ChildWindowProcess&) = delete;

  HWND Window() const { return window_; }
  bool EndsWithin(DWORD ms) const { return ::WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }

 private:
  win32::UniqueHandle process_;
  HWND window_ = nullptr;
};

enum class FaultKind {
  Hresult,      // the call returns the code
  Exception,    // DISP_E_EXCEPTION with the code and the description
  Ignored,      // "Quit" answers S_OK without quitting; "Release": the instance outlives it
  Block,        // no return until the instance's process is ended, then RPC_S_CALL_FAILED
  BadArgument,  // DISP_E_TYPEMISMATCH naming rgvarg[argument]
};

// step: "Create" (the class object), "Release" (an application object's last reference) or a
// member name. The nth arrival fails (0: every one), and so many arrivals from there on.
struct Fault {
  std::string step{};
  FaultKind kind = FaultKind::Exception;
  HRESULT code = static_cast<HRESULT>(0x800A03EC);
  std::wstring description{};
  int nth = 1;
  int times = 1;
  UINT argument = 0;
};

struct FakeInstance {
  bool created = false;  // by the class object, not found running
  bool quitHonoured = false;
  // "Object.Member" gets, "Object.Member=value" puts, "Object.Member(args)"
  // calls, named arguments as "Name=value"; by-reference strings end in "&".
  std::vector<std::string> calls{};
  std::shared_ptr<ChildWindowProcess> process{};
  int automationSecurity = 1;
  int macrosRun = 0;
  std::vector<std::wstring> broken{};
};

struct FakeExcelState {
  std::vector<std::wstring> linkSources{};      // none: LinkSources gives Empty
  DWORD exitDelayMs = 0;
  LONG lowerBound = 1;  // of LinkSources' array: of variants from 1, else of strings
  std::wstring defaultName = L"Microsoft Excel";
  LONG hwnd = 0;  // Hwnd of instances without a process of their own
  bool separateProcesses = false;  // each instance gets a ChildWindowProcess
  std::vector<Fault> faults{};
  std::map<std::string, int> arrivals{};
  std::vector<FakeInstance> instances{};
  int liveObjects = 0;  // fake objects not yet released
};

inline FakeExcelState& FakeExcel() {
  static FakeExcelState state;
  return state;
}

inline std::wstring Text(const VARIANT& v) {
  const BSTR text = v.vt == VT_BSTR ? v.bstrVal : v.vt == (VT_BYREF | VT_BSTR) ? *v.pbstrVal : nullptr;
  return text ? text : L"";
}

// As the call log shows it; any other type shows as its number.
inline std::string Render(const VARIANT& v) {
  if (v.vt == VT_I4) return std::to_string(v.lVal);
  if (v.vt == VT_BOOL) return v.boolVal ? "True" : "False";
  if (v.vt != VT_BSTR && v.vt != (VT_BYREF | VT_BSTR)) return "vt" + std::to_string(v.vt);
  return win32::Narrow(Text(v)) + (v.vt & VT_BYREF ? "&" : "");
}

// Counts the arrival of a step; the fault that hits it, if any.
inline const Fault* Arrive(const std::string& step) {
  const int count = ++FakeExcel().arrivals[step];
  for (const Fault& f : FakeExcel().faults)
    if (f.step == step && (f.nth == 0 || (count >= f.nth && count < f.nth + f.times))) return &f;
  return nullptr;
}

// The names Excel's objects know, members and arguments alike; a DISPID is the place plus one.
inline const wchar_t* const kNames[] = {L"Workbooks", L"ActiveWorkbook", L"AutomationSecurity",
                                        L"DisplayAlerts", L"AskToUpdateLinks", L"Quit", L"Hwnd", L"Open",
                                        L"LinkSources", L"BreakLink", L"Save", L"Close", L"Type", L"name",
                                        L"SaveChanges"};

// LinkSources: the sources less those this instance's BreakLink took off.
inline VARIANT SourceArray(const FakeInstance& instance) {
  const FakeExcelState& state = FakeExcel();
  std::vector<std::wstring> listed;
  for (const auto& source : state.linkSources)
    if (std::ranges::find(instance.broken, source) == instance.broken.end()) listed.push_back(source);
  VARIANT v{};  // Empty
  if (listed.empty()) return v;
  const bool variants = state.lowerBound == 1;
  const VARTYPE element = variants ? VT_VARIANT : VT_BSTR;
  v.vt = VT_ARRAY | element;
  v.parray = ::SafeArrayCreateVectorEx(element, state.lowerBound, static_cast<ULONG>(listed.size()), nullptr);
  for (LONG i = 0; i < static_cast<LONG>(listed.size()); ++i) {
    LONG index = state.lowerBound + i;
    win32::UniqueBstr text(::SysAllocString(listed[static_cast<std::size_t>(i)].c_str()));
    VARIANT item{};
    item.vt = VT_BSTR;
    item.bstrVal = text.get();
    ::SafeArrayPutElement(v.parray, &index, variants ? static_cast<void*>(&item) : text.get());
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
    if (*out) AddRef();
    return *out ? S_OK : E_NOINTERFACE;
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
      me.broken.push_back(Text(params->rgvarg[params->cArgs - 1]));
    } else if (member == L"Quit") {
      me.quitHonoured = true;
    }
    return S_OK;
  }

 private:
  // Like Excel, an instance told to quit ends once nobody holds it, unless "Release" fails.
  void LastReleaseOfApplication() const {
    const FakeInstance& self = FakeExcel().instances[instance_];
    const bool lingers = self.created && Arrive("Release");
    if (self.quitHonoured && !lingers && self.process) ::PostMessageW(self.process->Window(), WM_CLOSE, 0, 0);
  }

  std::string name_;
  std::size_t instance_;
  std::atomic<ULONG> refs_{1};
};

inline win32::ComPtr<IDispatch> NewApplication(bool created) {
  FakeExcelState& state = FakeExcel();
  state.instances.push_back({.created = created});
  if (state.separateProcesses) state.instances.back().process = std::make_shared<ChildWindowProcess>(state.exitDelayMs);
  return win32::ComPtr<IDispatch>(new FakeObject("Application", state.instances.size() - 1));
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
};

#pragma GCC diagnostic pop

// An instance that runs without the tool having created it.
inline win32::ComPtr<IDispatch> NewFakeApplication() { return NewApplication(false); }

// Registered in the running object table while alive, as the user's own Excel.
class RunningRegistration {
 public:
  explicit RunningRegistration(IUnknown* instance) {
    EXPECT_TRUE(SUCCEEDED(::RegisterActiveObject(instance, kFakeExcelClass, ACTIVEOBJECT_STRONG, &cookie_)));
  }
  ~RunningRegistration() { ::RevokeActiveObject(cookie_, nullptr); }
  RunningRegistration(const RunningRegistration&) = delete;
  RunningRegistration& operator=(const RunningRegistration&) = delete;

 private:
  DWORD cookie_ = 0;
};

// The class object registered for each test, a fresh state, and no COM reference left at the end;
// skipped unless the ProgID leads here.
class FakeExcelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CLSID clsid{};
    if (FAILED(::CLSIDFromProgID(L"Excel.Application", &clsid)) || clsid != kFakeExcelClass)
      GTEST_SKIP() << "Excel.Application is not mapped to the test class (run through scripts/test-windows)";
    ASSERT_TRUE(SUCCEEDED(
        ::CoRegisterClassObject(kFakeExcelClass, &classObject_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_)));
    FakeExcel() = FakeExcelState{};
  }

  void TearDown() override {
    if (cookie_) ::CoRevokeClassObject(cookie_);
    EXPECT_EQ(FakeExcel().liveObjects, 0) << "a COM reference was leaked";
  }

 private:
  inline static ClassObject classObject_;
  DWORD cookie_ = 0;
};

// The tests run in a COM apartment, unless the program was started as the
// window of a ChildWindowProcess: titled argv[2], closing argv[3] ms after it is told to.
inline int RunTests(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child-window") {
    if (!::CreateWindowExW(0, L"STATIC", win32::Widen(argv[2]).c_str(), WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, ::GetModuleHandleW(nullptr), nullptr))
      return 2;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_CLOSE) ::DispatchMessageW(&message);
    ::Sleep(static_cast<DWORD>(std::stoul(argv[3])));
    return static_cast<int>(kChildOwnExitCode);
  }
  ::testing::InitGoogleTest(&argc, argv);
  const win32::ComInit com;
  return RUN_ALL_TESTS();
}

}  // namespace quorvane::testing
