#pragma once
// An in-process stand-in for "Excel.Application" reached through real COM:
// one generic IDispatch that records each call by name as it arrives and
// answers from a script, with faults injected at any step. Like Excel it
// runs a workbook's open macro unless AutomationSecurity is 3, takes a broken
// source off LinkSources (unless told to keep it), and may be slow to exit.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "win32/Resource.h"

namespace quorvane::testing {

// scripts/test-windows maps the ProgID "Excel.Application" to this class.
inline constexpr CLSID kFakeExcelClass = {
    0x6A3C2F1E, 0x8D4B, 0x4C57, {0x9E, 0x2A, 0x51, 0xB7, 0xC0, 0xD9, 0x3F, 0x48}};

// The test program started again with "--child-window": one hidden window,
// standing in for an Excel process. Told to close, it exits by itself after
// its delay with kChildOwnExitCode.
inline constexpr DWORD kChildOwnExitCode = 42;
class ChildWindowProcess {
 public:
  explicit ChildWindowProcess(DWORD exitDelayMs = 0);
  ~ChildWindowProcess();
  ChildWindowProcess(const ChildWindowProcess&) = delete;
  ChildWindowProcess& operator=(const ChildWindowProcess&) = delete;

  HWND Window() const { return window_; }
  bool EndsWithin(DWORD ms) const { return process_ && ::WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0; }
  DWORD ExitCode() const;

 private:
  win32::UniqueHandle process_;
  HWND window_ = nullptr;
};

// The child's exit code when the program was started as one; else nothing.
std::optional<int> RunIfChildWindow(int argc, char** argv);

enum class FaultKind {
  Hresult,      // the call returns the code
  Exception,    // DISP_E_EXCEPTION with the code and the description
  Ignored,      // "Quit" answers S_OK without quitting; "Release": the instance outlives it
  Block,        // no return until the instance's process is ended, then RPC_S_CALL_FAILED
  BadArgument,  // DISP_E_TYPEMISMATCH naming rgvarg[argument]
};

// step: "Create" (the class object), "Release" (an application object's last
// reference) or a member name. The nth arrival fails (0: every one), and so
// many arrivals from there on.
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
  std::vector<std::wstring> keptByBreakLink{};  // still listed after their BreakLink
  DWORD exitDelayMs = 0;
  LONG lowerBound = 1;
  bool sourcesAsVariants = true;  // else an array of BSTR
  std::wstring defaultName = L"Microsoft Excel";
  LONG hwnd = 0;  // Hwnd of instances without a process of their own
  bool separateProcesses = false;  // each instance gets a ChildWindowProcess
  std::vector<Fault> faults{};
  std::map<std::string, int> arrivals{};
  int faultsFired = 0;
  std::vector<FakeInstance> instances{};
  int liveObjects = 0;  // fake objects not yet released
};

FakeExcelState& FakeExcel();

// An instance that runs without the tool having created it.
win32::ComPtr<IDispatch> NewFakeApplication();

// Registered in the running object table for the guard's lifetime, as the user's own Excel.
class RunningRegistration {
 public:
  explicit RunningRegistration(IUnknown* instance);
  ~RunningRegistration();
  RunningRegistration(const RunningRegistration&) = delete;
  RunningRegistration& operator=(const RunningRegistration&) = delete;

 private:
  DWORD cookie_ = 0;
};

// The class object registered for each test, a fresh state, and no COM
// reference left at the end; skipped unless the ProgID leads here.
class FakeExcelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  DWORD cookie_ = 0;
};

}  // namespace quorvane::testing
