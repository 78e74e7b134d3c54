#include "win32/ComExcel.h"

#include <vector>

#include "win32/Dispatch.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

constexpr const char* kProgId = "Excel.Application";

[[noreturn]] void Fail(const char* member, HRESULT hr) {
  throw base::AutomationError(member, AutomationReason(hr, nullptr));
}

CLSID ExcelClass() {
  CLSID clsid{};
  const HRESULT hr = ::CLSIDFromProgID(L"Excel.Application", &clsid);
  if (FAILED(hr)) throw base::NotInstalled(kProgId, AutomationReason(hr, nullptr));
  return clsid;
}

// LinkSources gives a one-dimensional array of names, or anything else when
// there is no link of the type.
base::LinkSourceList ToSourceList(const VARIANT& result) {
  const VARIANT* value = &result;
  if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal) value = value->pvarVal;
  if (!(value->vt & VT_ARRAY)) return std::nullopt;
  SAFEARRAY* array = (value->vt & VT_BYREF) ? (value->pparray ? *value->pparray : nullptr) : value->parray;
  if (!array) return std::nullopt;
  const UINT dimensions = ::SafeArrayGetDim(array);
  if (dimensions != 1)
    throw base::AutomationError("LinkSources", "array of " + std::to_string(dimensions) + " dimensions, expected 1");
  LONG lower = 0;
  LONG upper = -1;
  HRESULT hr = ::SafeArrayGetLBound(array, 1, &lower);
  if (SUCCEEDED(hr)) hr = ::SafeArrayGetUBound(array, 1, &upper);
  if (FAILED(hr)) Fail("LinkSources", hr);

  const VARTYPE element = value->vt & VT_TYPEMASK;
  if (element != VT_VARIANT && element != VT_BSTR)
    throw base::AutomationError("LinkSources", "array of unexpected element type " + std::to_string(element));
  std::vector<std::string> names;
  for (LONG i = lower; i <= upper; ++i) {
    if (element == VT_VARIANT) {
      UniqueVariant item;
      hr = ::SafeArrayGetElement(array, &i, item.put());
      if (FAILED(hr)) Fail("LinkSources", hr);
      names.push_back(VariantText(item.get(), "LinkSources"));
    } else {
      UniqueBstr item;
      hr = ::SafeArrayGetElement(array, &i, item.put());
      if (FAILED(hr)) Fail("LinkSources", hr);
      names.push_back(Narrow(std::wstring_view(item.get() ? item.get() : L"", ::SysStringLen(item.get()))));
    }
  }
  return base::SourceArray(std::move(names), static_cast<std::int32_t>(lower));
}

class ComWorkbook final : public base::ExcelWorkbook {
 public:
  explicit ComWorkbook(Dispatch book) : book_(std::move(book)) {}

  base::LinkSourceList LinkSources(std::int32_t type) override {
    NamedArg args[] = {{"Type", Arg::Int32(type)}};
    const UniqueVariant result = book_.CallNamed("LinkSources", args);
    return ToSourceList(result.get());
  }
  void BreakLink(const std::string& name, std::int32_t type) override {
    NamedArg args[] = {{"name", Arg::TextByRef(name)}, {"Type", Arg::Int32(type)}};
    book_.CallNamed("BreakLink", args);
  }
  void Save() override { book_.Call("Save"); }
  void Close(bool saveChanges) override {
    NamedArg args[] = {{"SaveChanges", Arg::Bool(saveChanges)}};
    book_.CallNamed("Close", args);
  }

 private:
  Dispatch book_;
};

class ComWorkbooks final : public base::ExcelWorkbooks {
 public:
  explicit ComWorkbooks(Dispatch books) : books_(std::move(books)) {}
  void Open(const std::string& path) override {
    Arg args[] = {Arg::TextByRef(path)};
    books_.Call("Open", args);
  }

 private:
  Dispatch books_;
};

class ComApplication final : public base::ExcelApplication {
 public:
  // guard: watches an instance this tool created; null for one it attached to.
  ComApplication(Dispatch app, std::shared_ptr<InstanceGuard> guard, std::chrono::milliseconds quitGrace)
      : app_(std::move(app)), guard_(std::move(guard)), quitGrace_(quitGrace) {}
  // An instance that answered Quit but kept running would otherwise be left
  // behind once the run lets go of it.
  ~ComApplication() override {
    if (quitAnswered_) ForceEnd();
  }
  ComApplication(const ComApplication&) = delete;
  ComApplication& operator=(const ComApplication&) = delete;

  std::string DefaultMember() override {
    const UniqueVariant value = app_.GetDefault();
    return VariantText(value.get(), "(default member)");
  }
  std::unique_ptr<base::ExcelWorkbooks> Workbooks() override {
    return std::make_unique<ComWorkbooks>(app_.GetObject("Workbooks"));
  }
  void SetAutomationSecurity(std::int32_t value) override { app_.Put("AutomationSecurity", Arg::Int32(value)); }
  void SetDisplayAlerts(bool value) override { app_.Put("DisplayAlerts", Arg::Bool(value)); }
  void SetAskToUpdateLinks(bool value) override { app_.Put("AskToUpdateLinks", Arg::Bool(value)); }
  std::unique_ptr<base::ExcelWorkbook> ActiveWorkbook() override {
    return std::make_unique<ComWorkbook>(app_.GetObject("ActiveWorkbook"));
  }
  void Quit() override {
    app_.Call("Quit");
    quitAnswered_ = true;
  }

  // Excel stays alive while anyone holds a reference, so ours goes first;
  // then an instance that took its Quit gets the grace period to finish it,
  // one that did not is ended at once.
  void ForceEnd() noexcept override {
    app_.reset();
    if (guard_) guard_->EndProcess(quitAnswered_ ? quitGrace_ : std::chrono::milliseconds(0));
  }

 private:
  Dispatch app_;
  std::shared_ptr<InstanceGuard> guard_;
  std::chrono::milliseconds quitGrace_;
  bool quitAnswered_ = false;
};

// The process behind a new instance, found through its main window. Opened
// now so that a later end cannot hit a reused process id. Our own process
// (an in-process server) is never a candidate. Throws when Hwnd cannot be
// read, busy retries included.
UniqueHandle InstanceProcess(Dispatch& app) {
  const UniqueVariant hwnd = app.Get("Hwnd");
  UniqueVariant number;
  if (FAILED(::VariantChangeType(number.put(), const_cast<VARIANT*>(&hwnd.get()), 0, VT_I8))) return {};
  const auto window = reinterpret_cast<HWND>(static_cast<INT_PTR>(number.get().llVal));
  DWORD pid = 0;
  if (!window || !::GetWindowThreadProcessId(window, &pid) || pid == 0 || pid == ::GetCurrentProcessId())
    return {};
  return UniqueHandle(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
}

bool NothingToCreate(HRESULT hr) { return hr == REGDB_E_CLASSNOTREG || hr == CO_E_CLASSSTRING; }

}  // namespace

ComInit::ComInit() : ComInit(COINIT_APARTMENTTHREADED) {}

ComInit::ComInit(DWORD model) : uninitialize_(false) {
  const HRESULT hr = ::CoInitializeEx(nullptr, model);
  ThrowIfFailed(hr, "CoInitializeEx");
  uninitialize_ = CoUninitializeCall(true);  // S_FALSE too must be balanced
}

ComExcel::ComExcel(ExcelTimes times, base::ExcelAids aids)
    : times_(times), aids_(aids), filter_(times.calls.busy) {}

base::ExcelAids ComExcel::Aids() {
  CLSID clsid{};
  return SUCCEEDED(::CLSIDFromProgID(L"Excel.Application", &clsid)) ? aids_ : base::ExcelAids{};
}

std::unique_ptr<base::ExcelApplication> ComExcel::GetRunning() {
  const CLSID clsid = ExcelClass();
  ComPtr<IUnknown> running;
  HRESULT hr = ::GetActiveObject(clsid, nullptr, running.put());
  if (FAILED(hr)) Fail(kProgId, hr);
  ComPtr<IDispatch> dispatch;
  hr = running->QueryInterface(IID_IDispatch, dispatch.put_void());
  if (FAILED(hr)) Fail(kProgId, hr);
  return std::make_unique<ComApplication>(Dispatch(std::move(dispatch)), nullptr, times_.quitGrace);
}

std::unique_ptr<base::ExcelApplication> ComExcel::Create() {
  const CLSID clsid = ExcelClass();
  ComPtr<IDispatch> dispatch;
  const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, dispatch.put_void());
  if (NothingToCreate(hr)) throw base::NotInstalled(kProgId, AutomationReason(hr, nullptr));
  if (FAILED(hr)) Fail(kProgId, hr);
  auto guard = std::make_shared<InstanceGuard>(times_.calls);
  Dispatch app(std::move(dispatch), guard);
  try {
    guard->Watch(InstanceProcess(app));
  } catch (const base::AutomationError& error) {
    // Without its process the instance could be neither held to a deadline
    // nor ended; it is not used.
    try {
      app.Call("Quit");
    } catch (const std::exception&) {
    }
    throw base::AutomationError(error.Member(), std::string(error.what()) + "; the instance could not be watched");
  }
  return std::make_unique<ComApplication>(std::move(app), std::move(guard), times_.quitGrace);
}

}  // namespace quorvane::win32
