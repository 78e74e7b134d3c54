// quorvane.exe as its own process: it shows its window, answers the run
// button with its message box, and ends when the window is closed.
#include <windows.h>
#undef Yield

#include <gtest/gtest.h>

#include <filesystem>

#include "TestWindow.h"
#include "win32/Resource.h"
#include "win32/window/Layout.h"
#include "win32/window/Window.h"

namespace quorvane::testing {
namespace {

TEST(Program, StartsShowsItsWindowAnswersTheRunAndEndsOnClose) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::filesystem::path exe = std::filesystem::path(self).parent_path() / L"quorvane.exe";
  if (!std::filesystem::exists(exe)) GTEST_SKIP() << "quorvane.exe is not beside the tests";

  std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
  win32::UniqueHandle process(info.hProcess);
  win32::UniqueHandle thread(info.hThread);
  ::WaitForInputIdle(process.get(), 20000);

  HWND main =
      WaitForWindow(info.dwProcessId, [](HWND h) { return ::IsWindowVisible(h) && HasClass(h, win32::kWindowClass); });
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(WindowText(main), L"Quorvane");
  RECT client{};
  ::GetClientRect(main, &client);
  const int dpi = static_cast<int>(::GetDpiForWindow(main));
  EXPECT_EQ(client.right, win32::ClientPixels(dpi).width);
  EXPECT_EQ(client.bottom, win32::ClientPixels(dpi).height);

  // The list is empty, so the run ends at once with its notice.
  HWND check2 = ::GetDlgItem(main, static_cast<int>(win32::ControlId::Check2));
  ASSERT_NE(check2, nullptr);
  ::PostMessageW(check2, BM_CLICK, 0, 0);
  HWND box = WaitForWindow(info.dwProcessId, [](HWND h) {
    return ::IsWindowVisible(h) && HasClass(h, L"#32770") && WindowText(h) == L"Quorvane";
  });
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(WindowText(::GetDlgItem(box, 0xFFFF)), L"No files added.");
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);

  for (int i = 0; i < 100 && ::IsWindow(box); ++i) ::Sleep(50);
  ::PostMessageW(main, WM_CLOSE, 0, 0);
  ASSERT_EQ(::WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
  DWORD code = 1;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace quorvane::testing
