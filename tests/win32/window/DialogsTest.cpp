// The system dialogs behind the two add buttons, answered from a second
// thread while the window's thread sits in their modal loop.
#include <windows.h>
#undef Yield
#include <dlgs.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "TestWindow.h"
#include "win32/Strings.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using win32::ControlId;

std::wstring ComboItem(HWND combo, int index) {
  const auto length = ::SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length < 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

TEST(Dialogs, OpenDialogAndFolderPicker) {
  TempTree tree;
  const fs::path file = tree.File(L"Łódź budget.xlsx");
  FakeProgram p;
  HWND main = p.Window().Handle();
  HWND check1 = p.Control(ControlId::Check1);

  std::wstring title, filter;
  int filters = 0;
  bool ownedByMain = false;
  bool readOnlyShown = true;
  {
    DialogHandler handler([&](HWND dialog) {
      title = WindowText(dialog);
      ownedByMain = ::GetWindow(dialog, GW_OWNER) == main;
      HWND types = ::GetDlgItem(dialog, cmb1);
      filters = static_cast<int>(::SendMessageW(types, CB_GETCOUNT, 0, 0));
      filter = ComboItem(types, 0);
      readOnlyShown = ::IsWindowVisible(::GetDlgItem(dialog, chx1));
      ::SetDlgItemTextW(dialog, cmb13, file.c_str());
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    Click(check1);
    EXPECT_TRUE(handler.Handled());
  }
  EXPECT_EQ(title, L"Add File(s) - Hold Ctrl to select multiple files");
  EXPECT_TRUE(ownedByMain);
  EXPECT_EQ(filters, 1);
  EXPECT_EQ(filter, L"Excel Files (*.xl*)");
  // The run writes to every file chosen: no "Open as read-only" to tick.
  EXPECT_FALSE(readOnlyShown);
  ASSERT_EQ(p.Files().Count(), 1u);
  EXPECT_EQ(win32::Widen(p.Files().Text(1)), file.wstring());
  EXPECT_FALSE(Checked(check1));

  // Cancel appends nothing, in either dialog; the picker leaves the pointer alone.
  p.Form().MousePointer.Set(base::kPointerCustom);
  bool prompt = false;
  for (ControlId button : {ControlId::Check1, ControlId::Check4}) {
    DialogHandler handler([&](HWND dialog) {
      // The picker's prompt is one of its static texts.
      for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if (WindowText(child) == L"Please select folder to add:") prompt = true;
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    Click(p.Control(button));
    EXPECT_TRUE(handler.Handled());
    EXPECT_FALSE(Checked(p.Control(button)));
  }
  EXPECT_TRUE(prompt);
  EXPECT_EQ(p.Files().Count(), 1u);
  EXPECT_EQ(p.Form().MousePointer.Get(), base::kPointerCustom);
  EXPECT_TRUE(p.messages.shown.empty());
}

}  // namespace
}  // namespace quorvane::testing
