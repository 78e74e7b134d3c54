// The window's platform services against the real system: folder listings
// of a real folder, the dialog's buffers, yielding, and the engine choice.
#include <windows.h>
#undef Yield

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "TestWindow.h"
#include "fakes/FakeExcel.h"
#include "filelist/AddFolder.h"
#include "win32/DirectoryListing.h"
#include "win32/Strings.h"
#include "win32/window/EngineChoice.h"
#include "win32/window/MessagePump.h"
#include "win32/window/OpenDialog.h"
#include "win32/window/Shell.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;

TEST(DirectoryListing, AttributesAndNamesOfARealFolder) {
  const tests::ScratchDir dir("listing");
  const std::string root = win32::Narrow(dir.Path().wstring());
  dir.File(L"Łódź 東京\\ü.xlsm");
  for (const auto& [name, attributes] : {std::pair{L"a.xls", 0}, {L"hidden.xlsx", FILE_ATTRIBUTE_HIDDEN},
                                         {L"system.xlsm", FILE_ATTRIBUTE_SYSTEM}}) {
    dir.File(name);
    if (attributes) ::SetFileAttributesW((dir / name).c_str(), static_cast<DWORD>(attributes));
  }
  for (const auto& [name, attributes] : {std::pair{L"HiddenDir", FILE_ATTRIBUTE_HIDDEN}, {L"SystemDir", FILE_ATTRIBUTE_SYSTEM}}) {
    fs::create_directory(dir / name);
    ::SetFileAttributesW((dir / name).c_str(), static_cast<DWORD>(attributes) | FILE_ATTRIBUTE_DIRECTORY);
  }

  // What the walk decides by; the walk itself is tested on fakes.
  win32::Win32DirectoryListing listing;
  auto scan = listing.Open(root);
  std::map<std::string, filelist::FileAttributes> seen;
  while (auto entry = scan->Next()) {
    ASSERT_TRUE(entry->attributes.has_value());
    seen[entry->name] = *entry->attributes;
  }
  const auto is = [&](const char* name, bool directory, bool hidden, bool system) {
    const auto& a = seen[name];
    return a.directory == directory && a.hidden == hidden && a.system == system;
  };
  EXPECT_TRUE(is("a.xls", false, false, false) && is("hidden.xlsx", false, true, false) &&
              is("system.xlsm", false, false, true) && is("HiddenDir", true, true, false) &&
              is("SystemDir", true, false, true) && seen[win32::Narrow(L"Łódź 東京")].directory);
  EXPECT_TRUE(seen.count("."));  // the walk itself skips the dot entries
  EXPECT_THROW(listing.Open(root + "\\no such folder"), std::exception);

  // Names outside the code page go both ways; names are joined with a backslash.
  const std::string unicode = listing.Join(root, win32::Narrow(L"Łódź 東京"));
  EXPECT_EQ(unicode, root + win32::Narrow(L"\\Łódź 東京"));
  EXPECT_EQ(filelist::ListFiles(listing, unicode, filelist::kWorkbookPattern), std::vector<std::string>{win32::Narrow(L"ü.xlsm")});
}

TEST(OpenDialog, FilterAndResultBuffers) {
  EXPECT_EQ(win32::DialogFilter(L"Excel Files (*.xl*)|*.xl*|"), std::wstring(L"Excel Files (*.xl*)\0*.xl*\0\0", 27));
  EXPECT_EQ(win32::DialogFilter(L"A|*.a"), std::wstring(L"A\0*.a\0\0", 7));
  const struct {
    std::wstring buffer, result;
  } cases[] = {
      {std::wstring(L"C:\\Data\\Book1.xls\0\0garbage", 26), L"C:\\Data\\Book1.xls"},
      {std::wstring(L"C:\\Data\0a.xls\0b.xlsx\0\0garbage", 29), std::wstring(L"C:\\Data\0a.xls\0b.xlsx", 20)},
      {std::wstring(L"\0\0", 2), L""},
      {L"abcd", L"abcd"},  // filled to its end without the closing NULs
  };
  for (const auto& c : cases) EXPECT_EQ(win32::DialogResult(c.buffer.data(), c.buffer.size()), c.result);
}

TEST(MessagePump, RunsWaitingMessagesAndStopsForGoodAtQuit) {
  bool ending = false;
  HWND none = nullptr;
  win32::Win32MessagePump pump(none, ending);
  HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  ::PostMessageW(window, WM_NULL, 0, 0);
  ::PostMessageW(window, WM_NULL, 0, 0);
  EXPECT_TRUE(pump.Yield());
  MSG waiting;
  EXPECT_FALSE(::PeekMessageW(&waiting, window, 0, 0, PM_NOREMOVE));

  ::PostQuitMessage(7);
  EXPECT_FALSE(pump.Yield());
  EXPECT_FALSE(pump.Yield());  // and stays stopped
  // The quit was put back for the outer loop.
  MSG msg;
  ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);

  win32::Win32MessagePump second(none, ending);
  ending = true;
  EXPECT_FALSE(second.Yield());
  ::DestroyWindow(window);
}

TEST(EngineChoice, ExcelWhenInstalledOtherwiseTheBuiltInEngine) {
  FakeExcel excel;
  FakeExcel builtin;
  win32::EngineChoice choice(excel, builtin);
  EXPECT_NE(choice.Create(), nullptr);
  EXPECT_EQ(excel.created, 1);
  EXPECT_EQ(builtin.created, 0);

  // An installed Excel that fails to start fails the workbook, with its reason.
  excel.failOn = "Create";
  EXPECT_THROW(choice.Create(), base::AutomationError);
  EXPECT_EQ(builtin.created, 0);
  excel.notInstalled = true;
  EXPECT_NE(choice.Create(), nullptr);
  EXPECT_EQ(builtin.created, 1);

  // Only a running Excel is asked about; the engine is never "running".
  builtin.running = true;
  EXPECT_THROW(choice.GetRunning(), base::AutomationError);
}

TEST(Shell, FileDatesAndStartingWithoutWaiting) {
  const tests::ScratchDir dir("shell");
  const std::string root = win32::Narrow(dir.Path().wstring());
  win32::Win32FileDates dates;
  EXPECT_NO_THROW(dates.LastModified(win32::Narrow(dir.File(L"Łódź.xls").wstring())));
  EXPECT_NO_THROW(dates.LastModified(root));
  EXPECT_THROW(dates.LastModified(root + "\\missing.xls"), std::exception);
  EXPECT_THROW(dates.LastModified(""), std::exception);
  win32::Win32ProgramStarter starter;
  EXPECT_NO_THROW(starter.Shell("cmd.exe /c exit 0", 2));
  EXPECT_THROW(starter.Shell("no-such-program-quorvane.exe", 2), std::exception);
}

}  // namespace
}  // namespace quorvane::testing
