#pragma once
// An in-process stand-in for "Excel.Application" reached through real COM:
// a class object registered for kFakeExcelClass, objects answering IDispatch
// by name, and a journal of every call as it arrived.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "win32/Resource.h"

namespace quorvane::testing {

// scripts/test-windows maps the ProgID "Excel.Application" to this class in
// its throwaway Wine prefix.
inline constexpr CLSID kFakeExcelClass = {
    0x6A3C2F1E, 0x8D4B, 0x4C57, {0x9E, 0x2A, 0x51, 0xB7, 0xC0, 0xD9, 0x3F, 0x48}};

struct FakeExcelState {
  // "Object.Member" for gets, "Object.Member=value" for puts and
  // "Object.Member(arg, name=value)" for calls; by-reference strings end in "&",
  // argument names are spelled as the caller sent them.
  std::vector<std::string> journal;
  std::vector<std::wstring> linkSources;  // none: LinkSources gives Empty
  LONG lowerBound = 1;
  bool sourcesAsVariants = true;  // else an array of BSTR
  std::wstring defaultName = L"Microsoft Excel";
  LONG hwnd = 0;
  // Calls of this member fail with DISP_E_EXCEPTION carrying these.
  std::string failMember;
  HRESULT failCode = 0;
  std::wstring failDescription;
  int liveObjects = 0;  // fake dispatch objects not yet released
  int created = 0;      // instances made by the class object
};

FakeExcelState& FakeExcel();

// A new application object (not through COM activation).
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
