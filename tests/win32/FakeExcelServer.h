#pragma once
// An in-process stand-in for "Excel.Application" reached through real COM:
// a class object registered for kFakeExcelClass, objects answering IDispatch
// by name, a journal of every call as it arrived, and faults injected at any
// step of an instance's life. Like Excel it runs a workbook's open macro
// unless AutomationSecurity is 3, takes a broken source off LinkSources
// (unless told to leave it), and may be slow to exit after Quit.

#include <windows.h>
#include <oleauto.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "win32/Resource.h"

namespace quorvane::testing {

// scripts/test-windows maps the ProgID "Excel.Application" to this class in
// its throwaway Wine prefix.
inline constexpr CLSID kFakeExcelClass = {
    0x6A3C2F1E, 0x8D4B, 0x4C57, {0x9E, 0x2A, 0x51, 0xB7, 0xC0, 0xD9, 0x3F, 0x48}};

// A second process with one window (the test program started with
// "--child-window"), standing in for the process of an Excel instance. Told
// to close, it exits by itself after its exit delay, with kChildOwnExitCode.
inline constexpr DWORD kChildOwnExitCode = 42;
class ChildWindowProcess {
 public:
  explicit ChildWindowProcess(DWORD exitDelayMs = 0);
  ~ChildWindowProcess();
  ChildWindowProcess(const ChildWindowProcess&) = delete;
  ChildWindowProcess& operator=(const ChildWindowProcess&) = delete;

  HWND Window() const { return window_; }
  bool Alive() const;
  bool EndsWithin(DWORD ms) const;
  HANDLE Handle() const { return process_.get(); }
  // Asks it to exit by itself.
  void Close();
  // Ends it from outside.
  void End();
  // Its exit code once it has ended; STILL_ACTIVE before.
  DWORD ExitCode() const;

 private:
  win32::UniqueHandle process_;
  HWND window_ = nullptr;
};

// Started as "--child-window <title> <exit delay ms>", the test program is the
// process of a stand-in Excel instance: one hidden window, alive until it is
// ended from outside or told to close. Gives its exit code then; nothing
// when the program was started to run tests.
std::optional<int> RunIfChildWindow(int argc, char** argv);

enum class FaultKind {
  Hresult,    // the call returns the code itself
  Exception,  // DISP_E_EXCEPTION with the code and the description
  Ignored,    // "Quit" answers S_OK but the instance keeps running;
              // "Release": the instance outlives its last reference
  Block,      // the call does not return until the instance's process is
              // ended, then fails as a call into a dead server does
  BadArgument,  // DISP_E_TYPEMISMATCH naming rgvarg[argument]
};

// Steps: "Create" (the class object's CreateInstance), "Release" (the last
// reference to an application object), or a member name as Excel spells it.
struct Fault {
  std::string step{};
  FaultKind kind = FaultKind::Exception;
  HRESULT code = static_cast<HRESULT>(0x800A03EC);
  std::wstring description{};
  int nth = 1;    // the nth arrival of the step fails; 0: every arrival
  int times = 1;  // and so many arrivals from the nth on
  UINT argument = 0;  // BadArgument: the index into rgvarg
};

// One application object: made by the class object (an instance the tool
// created) or by NewFakeApplication (one that was already running).
struct FakeInstance {
  bool created = false;
  bool quitHonoured = false;
  bool released = false;  // its last reference went
  bool lingers = false;   // a "Release" fault hit it
  std::vector<std::string> calls;   // its share of the journal, children included
  std::vector<std::size_t> faults;  // positions in calls where a fault was injected
  std::shared_ptr<ChildWindowProcess> process;
  int automationSecurity = 1;  // "low", as automation starts Excel
  int macrosRun = 0;           // open macros run by its Open
  std::vector<std::wstring> broken;  // sources BreakLink took off the list
  bool Ended() const;
};

struct FakeExcelState {
  // "Object.Member" for gets, "Object.Member=value" for puts and
  // "Object.Member(arg, name=value)" for calls; by-reference strings end in "&",
  // argument names are spelled as the caller sent them.
  std::vector<std::string> journal;
  std::vector<std::wstring> linkSources;  // none: LinkSources gives Empty
  std::vector<std::wstring> keptByBreakLink;  // still listed after their BreakLink
  DWORD exitDelayMs = 0;  // how long a process takes to exit once its instance quit
  LONG lowerBound = 1;
  bool sourcesAsVariants = true;  // else an array of BSTR
  std::wstring defaultName = L"Microsoft Excel";
  LONG hwnd = 0;  // Hwnd of instances without a process of their own
  std::vector<Fault> faults;
  std::map<std::string, int> arrivals;  // how often each step arrived
  int faultsFired = 0;
  // Every new instance gets a process of its own, which ends when the
  // instance quits and is released, or when it is ended from outside.
  bool separateProcesses = false;
  std::vector<FakeInstance> instances;
  int liveObjects = 0;  // fake dispatch objects not yet released
  int created = 0;      // instances made by the class object

  // Instances the tool created that still run.
  int LiveInstances() const;
};

FakeExcelState& FakeExcel();

// A new application object (not through COM activation): an instance that
// runs without the tool having created it.
win32::ComPtr<IDispatch> NewFakeApplication();

// Registers the class object for the lifetime of the guard.
class FakeExcelRegistration {
 public:
  FakeExcelRegistration();
  ~FakeExcelRegistration();
  FakeExcelRegistration(const FakeExcelRegistration&) = delete;
  FakeExcelRegistration& operator=(const FakeExcelRegistration&) = delete;
  HRESULT Result() const { return result_; }

 private:
  DWORD cookie_ = 0;
  HRESULT result_ = E_FAIL;
};

// True when "Excel.Application" resolves to the fake in this prefix.
bool ProgIdMapsToFake();

}  // namespace quorvane::testing
