// The test program runs the tests in a COM apartment. Started with
// "--child-window <title>" it is instead the process of a stand-in Excel
// instance: one hidden window, alive until it is ended from outside.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "win32/ComExcel.h"
#include "win32/Strings.h"

namespace {

int RunChildWindow(const std::string& title) {
  const std::wstring wideTitle = quorvane::win32::Widen(title);
  HWND window = ::CreateWindowExW(0, L"STATIC", wideTitle.c_str(), WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  ::GetModuleHandleW(nullptr), nullptr);
  if (!window) return 2;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--child-window") return RunChildWindow(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  const quorvane::win32::ComInit com;
  return RUN_ALL_TESTS();
}
