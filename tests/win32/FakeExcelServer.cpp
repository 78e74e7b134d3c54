#include "FakeExcelServer.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <functional>
#include <map>

#include "win32/Strings.h"

namespace quorvane::testing {
namespace {

using win32::ComPtr;

bool SameName(const std::wstring& a, const wchar_t* b) { return ::_wcsicmp(a.c_str(), b) == 0; }

std::string Render(const VARIANT& v) {
  switch (v.vt) {
    case VT_I4: return std::to_string(v.lVal);
    case VT_BOOL: return v.boolVal ? "True" : "False";
    case VT_BSTR: return win32::Narrow(v.bstrVal ? v.bstrVal : L"");
    case VT_BYREF | VT_BSTR: return win32::Narrow(*v.pbstrVal ? *v.pbstrVal : L"") + "&";
    default: return "vt" + std::to_string(v.vt);
  }
}

// Counts the arrival of a step and gives the fault that hits it, if any.
const Fault* Arrive(const std::string& step) {
  FakeExcelState& state = FakeExcel();
  const int count = ++state.arrivals[step];
  for (const Fault& fault : state.faults) {
    if (fault.step == step && (fault.nth == 0 || (count >= fault.nth && count < fault.nth + fault.times))) {
      ++state.faultsFired;
      return &fault;
    }
  }
  return nullptr;
}

FakeInstance* InstanceAt(int index) {
  auto& instances = FakeExcel().instances;
  if (index < 0 || static_cast<std::size_t>(index) >= instances.size()) return nullptr;
  return &instances[static_cast<std::size_t>(index)];
}

void Record(int instance, std::string entry) {
  if (FakeInstance* owner = InstanceAt(instance)) owner->calls.push_back(entry);
  FakeExcel().journal.push_back(std::move(entry));
}

enum Kind : WORD { kGet = DISPATCH_PROPERTYGET, kPut = DISPATCH_PROPERTYPUT, kCall = DISPATCH_METHOD };

class FakeObject;
using Handler = std::function<void(const DISPPARAMS& params, VARIANT* result)>;

struct Member {
  std::wstring name;
  std::vector<std::wstring> params;
  WORD kinds;  // the Kind bits the member answers
  Handler handler;
};

VARIANT Object(ComPtr<IDispatch> object) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = object.release();
  return v;
}

// COM interfaces have no virtual destructor by design: objects are deleted
// only by their own Release, through their own type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// One IDispatch object with named members. COM objects own themselves: the
// last Release deletes.
class FakeObject final : public IDispatch {
 public:
  // instance: the application object this one belongs to (its index in
  // FakeExcelState::instances); isApplication: this is that object itself.
  FakeObject(std::string name, int instance, bool isApplication = false)
      : name_(std::move(name)), instance_(instance), isApplication_(isApplication) {
    ++FakeExcel().liveObjects;
  }
  ~FakeObject() {
    --FakeExcel().liveObjects;
    if (isApplication_) LastReleaseOfApplication();
  }
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;

  void Add(Member member) { members_.push_back(std::move(member)); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
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

  // Members get ids 1.., their parameters 0.. in declaration order, looked up
  // without regard to case as Excel does; the spelling is kept for the journal.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    const std::size_t index = Find(names[0]);
    if (index == members_.size()) return DISP_E_UNKNOWNNAME;
    ids[0] = static_cast<DISPID>(index + 1);
    auto& spelled = spelled_[ids[0]];
    spelled.assign(members_[index].params.size(), L"");
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
      const auto& params = members_[index].params;
      for (std::size_t p = 0; p < params.size(); ++p) {
        if (SameName(params[p], names[i])) {
          ids[i] = static_cast<DISPID>(p);
          spelled[p] = names[i];
        }
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override {
    if (id == DISPID_VALUE && (flags & DISPATCH_PROPERTYGET) && params->cArgs == 0 && defaultValue) {
      Record(instance_, name_ + ".(default)");
      if (result) defaultValue(result);
      return S_OK;
    }
    if (id < 1 || static_cast<std::size_t>(id) > members_.size()) return DISP_E_MEMBERNOTFOUND;
    const Member& member = members_[static_cast<std::size_t>(id - 1)];
    if (!(flags & member.kinds)) return DISP_E_MEMBERNOTFOUND;

    std::string entry = name_ + "." + win32::Narrow(member.name);
    if (flags & DISPATCH_PROPERTYPUT) {
      // A put names its one argument DISPID_PROPERTYPUT, as every server insists.
      if (params->cArgs != 1 || params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
        return DISP_E_PARAMNOTFOUND;
      entry.append("=").append(Render(params->rgvarg[0]));
    } else if (flags & DISPATCH_METHOD) {
      // Positional arguments arrive last-first after the named ones.
      std::map<DISPID, std::string> named;
      for (UINT i = 0; i < params->cNamedArgs; ++i) {
        const DISPID param = params->rgdispidNamedArgs[i];
        if (param < 0 || static_cast<std::size_t>(param) >= member.params.size()) return DISP_E_PARAMNOTFOUND;
        if (named.count(param)) return DISP_E_PARAMNOTFOUND;
        std::string& text = named[param];
        text.append(win32::Narrow(spelled_[id][static_cast<std::size_t>(param)])).append("=");
        text.append(Render(params->rgvarg[i]));
      }
      std::vector<std::string> args;
      for (UINT i = params->cArgs; i-- > params->cNamedArgs;) args.push_back(Render(params->rgvarg[i]));
      for (auto& [param, text] : named) args.push_back(text);
      entry += "(";
      for (std::size_t i = 0; i < args.size(); ++i) entry.append(i ? ", " : "").append(args[i]);
      entry += ")";
    } else if (params->cArgs != 0) {
      return DISP_E_BADPARAMCOUNT;
    }
    Record(instance_, entry);

    if (const Fault* fault = Arrive(win32::Narrow(member.name))) {
      if (FakeInstance* owner = InstanceAt(instance_)) owner->faults.push_back(owner->calls.size() - 1);
      switch (fault->kind) {
        case FaultKind::Hresult: return fault->code;
        case FaultKind::Ignored: return S_OK;  // answered, but nothing happens
        case FaultKind::BadArgument:
          if (argError) *argError = fault->argument;
          return DISP_E_TYPEMISMATCH;
        case FaultKind::Block: {
          // Stuck until the process playing this instance is ended; a test
          // that never ends it gets the call back after a minute.
          const FakeInstance* owner = InstanceAt(instance_);
          if (owner && owner->process) ::WaitForSingleObject(owner->process->Handle(), 60000);
          return HRESULT_FROM_WIN32(RPC_S_CALL_FAILED);
        }
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
    member.handler(*params, result ? result : &ignored);
    ::VariantClear(&ignored);
    return S_OK;
  }

  std::function<void(VARIANT*)> defaultValue;

 private:
  // Like Excel, an instance that was told to quit ends once nobody holds it
  // any more, unless a "Release" fault makes it linger.
  void LastReleaseOfApplication() {
    FakeInstance* self = InstanceAt(instance_);
    if (!self) return;
    self->released = true;
    if (self->created && Arrive("Release")) {
      self->lingers = true;
      self->faults.push_back(self->calls.size());
    }
    if (self->quitHonoured && !self->lingers && self->process) self->process->Close();
  }

  std::size_t Find(const wchar_t* name) const {
    std::size_t i = 0;
    while (i < members_.size() && !SameName(members_[i].name, name)) ++i;
    return i;
  }

  std::string name_;
  int instance_;
  bool isApplication_;
  std::vector<Member> members_;
  std::map<DISPID, std::vector<std::wstring>> spelled_;
  std::atomic<ULONG> refs_{1};
};

void Nothing(const DISPPARAMS&, VARIANT*) {}

// A text argument by its parameter id, named or in its place.
std::wstring TextArgument(const DISPPARAMS& params, DISPID param) {
  const VARIANT* value = nullptr;
  for (UINT i = 0; i < params.cNamedArgs; ++i)
    if (params.rgdispidNamedArgs[i] == param) value = &params.rgvarg[i];
  const UINT positional = params.cArgs - params.cNamedArgs;
  if (!value && static_cast<UINT>(param) < positional) value = &params.rgvarg[params.cArgs - 1 - static_cast<UINT>(param)];
  if (!value) return {};
  if (value->vt == VT_BSTR && value->bstrVal) return value->bstrVal;
  if (value->vt == (VT_BYREF | VT_BSTR) && value->pbstrVal && *value->pbstrVal) return *value->pbstrVal;
  return {};
}

bool Contains(const std::vector<std::wstring>& list, const std::wstring& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// What LinkSources lists in the instance: the workbook's sources less those
// its BreakLink took off.
VARIANT SourceArray(int instance) {
  const FakeExcelState& state = FakeExcel();
  std::vector<std::wstring> listed;
  const FakeInstance* owner = InstanceAt(instance);
  for (const auto& source : state.linkSources)
    if (!owner || !Contains(owner->broken, source)) listed.push_back(source);
  VARIANT v;
  ::VariantInit(&v);
  if (listed.empty()) return v;  // Empty: no links of the type
  const VARTYPE element = state.sourcesAsVariants ? VT_VARIANT : VT_BSTR;
  SAFEARRAY* array = ::SafeArrayCreateVectorEx(element, state.lowerBound, static_cast<ULONG>(listed.size()), nullptr);
  for (LONG i = 0; i < static_cast<LONG>(listed.size()); ++i) {
    LONG index = state.lowerBound + i;
    win32::UniqueBstr text(::SysAllocString(listed[static_cast<std::size_t>(i)].c_str()));
    if (state.sourcesAsVariants) {
      VARIANT item;
      item.vt = VT_BSTR;
      item.bstrVal = text.get();
      ::SafeArrayPutElement(array, &index, &item);  // copies
    } else {
      ::SafeArrayPutElement(array, &index, text.get());
    }
  }
  v.vt = VT_ARRAY | element;
  v.parray = array;
  return v;
}

ComPtr<IDispatch> NewWorkbook(int instance) {
  ComPtr<FakeObject> book(new FakeObject("Workbook", instance));
  book->Add({L"LinkSources", {L"Type"}, kCall | kGet,
             [instance](const DISPPARAMS&, VARIANT* r) { *r = SourceArray(instance); }});
  book->Add({L"BreakLink", {L"Name", L"Type"}, kCall, [instance](const DISPPARAMS& params, VARIANT*) {
               const std::wstring name = TextArgument(params, 0);
               FakeInstance* owner = InstanceAt(instance);
               if (owner && !Contains(FakeExcel().keptByBreakLink, name)) owner->broken.push_back(name);
             }});
  book->Add({L"Save", {}, kCall, Nothing});
  book->Add({L"Close", {L"SaveChanges", L"Filename", L"RouteWorkbook"}, kCall, Nothing});
  return ComPtr<IDispatch>(book.release());
}

ComPtr<IDispatch> NewWorkbooks(int instance) {
  ComPtr<FakeObject> books(new FakeObject("Workbooks", instance));
  books->Add({L"Open", {L"Filename", L"UpdateLinks", L"ReadOnly"}, kCall, [instance](const DISPPARAMS&, VARIANT*) {
                FakeInstance* owner = InstanceAt(instance);
                if (owner && owner->automationSecurity != 3) ++owner->macrosRun;  // Workbook_Open
              }});
  return ComPtr<IDispatch>(books.release());
}

ComPtr<IDispatch> NewApplication(bool created);

class ClassObject final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Lives as long as the test program (a static); counts are irrelevant.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    if (const Fault* fault = Arrive("Create")) {
      *out = nullptr;
      return fault->code;
    }
    ++FakeExcel().created;
    const ComPtr<IDispatch> app = NewApplication(true);
    return app->QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

#pragma GCC diagnostic pop

ClassObject classObject;

ComPtr<IDispatch> NewApplication(bool created) {
  FakeExcelState& state = FakeExcel();
  FakeInstance record;
  record.created = created;
  if (state.separateProcesses) record.process = std::make_shared<ChildWindowProcess>(state.exitDelayMs);
  state.instances.push_back(std::move(record));
  const int self = static_cast<int>(state.instances.size()) - 1;

  ComPtr<FakeObject> app(new FakeObject("Application", self, true));
  app->Add({L"Workbooks", {}, kGet, [self](const DISPPARAMS&, VARIANT* r) { *r = Object(NewWorkbooks(self)); }});
  app->Add({L"AutomationSecurity", {}, kGet | kPut, [self](const DISPPARAMS& params, VARIANT* r) {
              FakeInstance* me = InstanceAt(self);
              if (!me) return;
              if (params.cArgs == 1 && params.rgvarg[0].vt == VT_I4) me->automationSecurity = params.rgvarg[0].lVal;
              r->vt = VT_I4;
              r->lVal = me->automationSecurity;
            }});
  app->Add({L"Visible", {}, kGet | kPut, Nothing});
  app->Add({L"DisplayAlerts", {}, kGet | kPut, Nothing});
  app->Add({L"AskToUpdateLinks", {}, kGet | kPut, Nothing});
  app->Add({L"ActiveWorkbook", {}, kGet, [self](const DISPPARAMS&, VARIANT* r) { *r = Object(NewWorkbook(self)); }});
  app->Add({L"Quit", {}, kCall, [self](const DISPPARAMS&, VARIANT*) {
              if (FakeInstance* me = InstanceAt(self)) me->quitHonoured = true;
            }});
  app->Add({L"Hwnd", {}, kGet, [self](const DISPPARAMS&, VARIANT* r) {
              const FakeInstance* me = InstanceAt(self);
              r->vt = VT_I4;
              r->lVal = me && me->process ? static_cast<LONG>(reinterpret_cast<INT_PTR>(me->process->Window()))
                                          : FakeExcel().hwnd;
            }});
  app->defaultValue = [](VARIANT* r) {
    r->vt = VT_BSTR;
    r->bstrVal = ::SysAllocString(FakeExcel().defaultName.c_str());
  };
  return ComPtr<IDispatch>(app.release());
}

}  // namespace

FakeExcelState& FakeExcel() {
  static FakeExcelState state;
  return state;
}

ComPtr<IDispatch> NewFakeApplication() { return NewApplication(false); }

bool FakeInstance::Ended() const {
  if (process) return !process->Alive();
  return quitHonoured && released && !lingers;
}

int FakeExcelState::LiveInstances() const {
  int live = 0;
  for (const FakeInstance& instance : instances) live += instance.created && !instance.Ended();
  return live;
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
  for (int i = 0; i < 200 && !window_; ++i) {
    window_ = ::FindWindowW(L"STATIC", title.c_str());
    if (!window_) ::Sleep(50);
  }
}

ChildWindowProcess::~ChildWindowProcess() { End(); }

bool ChildWindowProcess::Alive() const {
  return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool ChildWindowProcess::EndsWithin(DWORD ms) const {
  return process_ && ::WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0;
}

void ChildWindowProcess::Close() {
  if (window_) ::PostMessageW(window_, WM_CLOSE, 0, 0);
}

DWORD ChildWindowProcess::ExitCode() const {
  DWORD code = STILL_ACTIVE;
  if (process_) ::GetExitCodeProcess(process_.get(), &code);
  return code;
}

void ChildWindowProcess::End() {
  if (!Alive()) return;
  ::TerminateProcess(process_.get(), 0);
  ::WaitForSingleObject(process_.get(), 10000);
}

std::optional<int> RunIfChildWindow(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "--child-window") return std::nullopt;
  const DWORD exitDelayMs = static_cast<DWORD>(std::stoul(argv[3]));
  const std::wstring title = win32::Widen(argv[2]);
  HWND window = ::CreateWindowExW(0, L"STATIC", title.c_str(), WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  ::GetModuleHandleW(nullptr), nullptr);
  if (!window) return 2;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_CLOSE) {
      ::Sleep(exitDelayMs);
      return static_cast<int>(kChildOwnExitCode);
    }
    ::DispatchMessageW(&message);
  }
  return 0;
}

FakeExcelRegistration::FakeExcelRegistration() {
  result_ = ::CoRegisterClassObject(kFakeExcelClass, &classObject, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie_);
}

FakeExcelRegistration::~FakeExcelRegistration() {
  if (SUCCEEDED(result_)) ::CoRevokeClassObject(cookie_);
}

bool ProgIdMapsToFake() {
  CLSID clsid{};
  return SUCCEEDED(::CLSIDFromProgID(L"Excel.Application", &clsid)) && clsid == kFakeExcelClass;
}

}  // namespace quorvane::testing
