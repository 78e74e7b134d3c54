#pragma once
// An in-process stand-in for "Excel.Application" reached through real COM:
// a class object registered for kFakeExcelClass, objects answering IDispatch
// by name, a journal of every call as it arrived, and faults injected at any
// step of an instance's life.

#include <windows.h>
#include <oleauto.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "win32/Resource.h"

namespace quorvane::testing {

// scripts/test-windows maps the ProgID "Excel.Application" to this class in
// its throwaway Wine prefix.
inline constexpr CLSID kFakeExcelClass = {
    0x6A3C2F1E, 0x8D4B, 0x4C57, {0x9E, 0x2A, 0x51, 0xB7, 0xC0, 0xD9, 0x3F, 0x48}};

// A second process with one window (the test program started with
// "--child-window"), standing in for the process of an Excel instance.
class ChildWindowProcess {
 public:
  ChildWindowProcess();
  ~ChildWindowProcess();
  ChildWindowProcess(const ChildWindowProcess&) = delete;
  ChildWindowProcess& operator=(const ChildWindowProcess&) = delete;

  HWND Window() const { return window_; }
  bool Alive() const;
  bool EndsWithin(DWORD ms) const;
  void End();

 private:
  win32::UniqueHandle process_;
  HWND window_ = nullptr;
};

enum class FaultKind {
  Hresult,    // the call returns the code itself
  Exception,  // DISP_E_EXCEPTION with the code and the description
  Ignored,    // "Quit" answers S_OK but the instance keeps running;
              // "Release": the instance outlives its last reference
};

// Steps: "Create" (the class object's CreateInstance), "Release" (the last
// reference to an application object), or a member name as Excel spells it.
struct Fault {
  std::string step{};
  FaultKind kind = FaultKind::Exception;
  HRESULT code = static_cast<HRESULT>(0x800A03EC);
  std::wstring description{};
  int nth = 1;  // the nth arrival of the step fails; 0: every arrival
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
  bool Ended() const;
};

struct FakeExcelState {
  // "Object.Member" for gets, "Object.Member=value" for puts and
  // "Object.Member(arg, name=value)" for calls; by-reference strings end in "&",
  // argument names are spelled as the caller sent them.
  std::vector<std::string> journal;
  std::vector<std::wstring> linkSources;  // none: LinkSources gives Empty
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
