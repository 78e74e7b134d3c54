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
  TempTree tree;
  tree.File(L"a.xls");
  tree.File(L"hidden.xlsx", FILE_ATTRIBUTE_HIDDEN);
  tree.File(L"system.xlsm", FILE_ATTRIBUTE_SYSTEM);
  tree.File(L"Łódź 東京\\ü.xlsm");
  tree.Folder(L"HiddenDir", FILE_ATTRIBUTE_HIDDEN);
  tree.Folder(L"SystemDir", FILE_ATTRIBUTE_SYSTEM);

  // What the walk decides by; the walk itself is tested on fakes.
  win32::Win32DirectoryListing listing;
  auto scan = listing.Open(tree.Root());
  std::map<std::string, filelist::FileAttributes> seen;
  while (auto entry = scan->Next()) {
    ASSERT_TRUE(entry->attributes.has_value());
    seen[entry->name] = *entry->attributes;
  }
  const auto& plain = seen["a.xls"];
  EXPECT_FALSE(plain.directory || plain.hidden || plain.system);
  EXPECT_TRUE(seen["hidden.xlsx"].hidden);
  EXPECT_TRUE(seen["system.xlsm"].system);
  EXPECT_TRUE(seen[win32::Narrow(L"Łódź 東京")].directory);
  EXPECT_TRUE(seen["HiddenDir"].directory && seen["HiddenDir"].hidden);
  EXPECT_TRUE(seen["SystemDir"].directory && seen["SystemDir"].system);
  EXPECT_TRUE(seen.count("."));  // the walk itself skips the dot entries
  EXPECT_THROW(listing.Open(tree.Root() + "\\no such folder"), std::exception);

  // Names outside the code page go both ways; names are joined with a backslash.
  const std::string unicode = listing.Join(tree.Root(), win32::Narrow(L"Łódź 東京"));
  EXPECT_EQ(unicode, tree.Root() + win32::Narrow(L"\\Łódź 東京"));
  EXPECT_EQ(filelist::ListFiles(listing, unicode, filelist::kWorkbookPattern),
            std::vector<std::string>{win32::Narrow(L"ü.xlsm")});
}

TEST(OpenDialog, FilterAndResultBuffers) {
  EXPECT_EQ(win32::DialogFilter(L"Excel Files (*.xl*)|*.xl*|"), std::wstring(L"Excel Files (*.xl*)\0*.xl*\0\0", 27));
  EXPECT_EQ(win32::DialogFilter(L"A|*.a"), std::wstring(L"A\0*.a\0\0", 7));

  const wchar_t single[] = L"C:\\Data\\Book1.xls\0\0garbage";
  EXPECT_EQ(win32::DialogResult(single, std::size(single)), L"C:\\Data\\Book1.xls");
  const wchar_t several[] = L"C:\\Data\0a.xls\0b.xlsx\0\0garbage";
  EXPECT_EQ(win32::DialogResult(several, std::size(several)), std::wstring(L"C:\\Data\0a.xls\0b.xlsx", 20));
  const wchar_t cancelled[] = L"\0\0";
  EXPECT_EQ(win32::DialogResult(cancelled, std::size(cancelled)), L"");
  // A buffer filled to its end without the closing NULs stops at its end.
  const wchar_t full[4] = {L'a', L'b', L'c', L'd'};
  EXPECT_EQ(win32::DialogResult(full, 4), L"abcd");
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
  TempTree tree;
  const fs::path file = tree.File(L"Łódź.xls");
  win32::Win32FileDates dates;
  EXPECT_NO_THROW(dates.LastModified(win32::Narrow(file.wstring())));
  EXPECT_NO_THROW(dates.LastModified(tree.Root()));
  EXPECT_THROW(dates.LastModified(tree.Root() + "\\missing.xls"), std::exception);
  EXPECT_THROW(dates.LastModified(""), std::exception);

  win32::Win32ProgramStarter starter;
  EXPECT_NO_THROW(starter.Shell("cmd.exe /c exit 0", 2));
  EXPECT_THROW(starter.Shell("no-such-program-quorvane.exe", 2), std::exception);
}

}  // namespace
}  // namespace quorvane::testing
