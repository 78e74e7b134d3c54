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
  if (FAILED(hr)) Fail(kProgId, hr);
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
  // process: the instance's process when this tool created it; empty otherwise.
  ComApplication(Dispatch app, UniqueHandle process, std::chrono::milliseconds quitGrace)
      : app_(std::move(app)), process_(std::move(process)), quitGrace_(quitGrace) {}
  // An instance that answered Quit but kept running would otherwise be left
  // behind once the run lets go of it.
  ~ComApplication() override {
    if (quitAsked_) ForceEnd();
  }
  ComApplication(const ComApplication&) = delete;
  ComApplication& operator=(const ComApplication&) = delete;

  std::string DefaultMember() override {
    const UniqueVariant value = app_.GetDefault();
    return VariantText(value.get(), "(default member)");
  }
  std::unique_ptr<base::ExcelWorkbooks> Workbooks() override {
    return std::make_unique<ComWorkbooks>(VariantObject(app_.Get("Workbooks"), "Workbooks"));
  }
  void SetDisplayAlerts(bool value) override { app_.Put("DisplayAlerts", Arg::Bool(value)); }
  void SetAskToUpdateLinks(bool value) override { app_.Put("AskToUpdateLinks", Arg::Bool(value)); }
  std::unique_ptr<base::ExcelWorkbook> ActiveWorkbook() override {
    return std::make_unique<ComWorkbook>(VariantObject(app_.Get("ActiveWorkbook"), "ActiveWorkbook"));
  }
  void Quit() override {
    quitAsked_ = true;
    app_.Call("Quit");
  }

  // Excel stays alive while anyone holds a reference, so ours goes first;
  // then the process gets the grace period to finish its Quit.
  void ForceEnd() noexcept override {
    app_.reset();
    if (!process_) return;
    const auto grace = static_cast<DWORD>(quitGrace_.count());
    if (::WaitForSingleObject(process_.get(), grace) == WAIT_TIMEOUT) ::TerminateProcess(process_.get(), 1);
    process_.reset();
  }

 private:
  Dispatch app_;
  UniqueHandle process_;
  std::chrono::milliseconds quitGrace_;
  bool quitAsked_ = false;
};

// The process behind a new instance, found through its main window. Opened
// now so that a later ForceEnd cannot hit a reused process id. Our own
// process (an in-process server) is never a candidate.
UniqueHandle InstanceProcess(Dispatch& app) {
  try {
    const UniqueVariant hwnd = app.Get("Hwnd");
    UniqueVariant number;
    if (FAILED(::VariantChangeType(number.put(), const_cast<VARIANT*>(&hwnd.get()), 0, VT_I8))) return {};
    const auto window = reinterpret_cast<HWND>(static_cast<INT_PTR>(number.get().llVal));
    DWORD pid = 0;
    if (!window || !::GetWindowThreadProcessId(window, &pid) || pid == 0 || pid == ::GetCurrentProcessId())
      return {};
    return UniqueHandle(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
  } catch (const std::exception&) {
    return {};  // no Hwnd member: ForceEnd can only release the reference
  }
}

}  // namespace

ComInit::ComInit() : ComInit(COINIT_APARTMENTTHREADED) {}

ComInit::ComInit(DWORD model) : uninitialize_(false) {
  const HRESULT hr = ::CoInitializeEx(nullptr, model);
  ThrowIfFailed(hr, "CoInitializeEx");
  uninitialize_ = CoUninitializeCall(true);  // S_FALSE too must be balanced
}

ComExcel::ComExcel(std::chrono::milliseconds quitGrace) : quitGrace_(quitGrace) {}

std::unique_ptr<base::ExcelApplication> ComExcel::GetRunning() {
  const CLSID clsid = ExcelClass();
  ComPtr<IUnknown> running;
  HRESULT hr = ::GetActiveObject(clsid, nullptr, running.put());
  if (FAILED(hr)) Fail(kProgId, hr);
  ComPtr<IDispatch> dispatch;
  hr = running->QueryInterface(IID_IDispatch, dispatch.put_void());
  if (FAILED(hr)) Fail(kProgId, hr);
  return std::make_unique<ComApplication>(Dispatch(std::move(dispatch)), UniqueHandle(), quitGrace_);
}

std::unique_ptr<base::ExcelApplication> ComExcel::Create() {
  const CLSID clsid = ExcelClass();
  ComPtr<IDispatch> dispatch;
  const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, dispatch.put_void());
  if (FAILED(hr)) Fail(kProgId, hr);
  Dispatch app(std::move(dispatch));
  UniqueHandle process = InstanceProcess(app);
  return std::make_unique<ComApplication>(std::move(app), std::move(process), quitGrace_);
}

}  // namespace quorvane::win32
