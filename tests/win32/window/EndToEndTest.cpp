// The program as a user drives it, on a machine without Excel: workbooks are
// dropped onto the list, the backup box is ticked, "Remove File Links" is
// pressed and the closing message box is answered like a user would.
#include <windows.h>
#undef Yield
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "TestWindow.h"
#include "ooxml/BuiltinExcel.h"
#include "support/WorkbookBuilder.h"
#include "win32/ComExcel.h"
#include "win32/FileCopier.h"
#include "win32/MessageBoxes.h"
#include "win32/RegionalClock.h"
#include "win32/RegistrySettings.h"
#include "win32/Strings.h"
#include "win32/window/EngineChoice.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using win32::ControlId;

void Drop(IDropTarget* target, IDataObject* data) {
  POINTL at{20, 20};
  DWORD effect = DROPEFFECT_COPY;
  target->DragEnter(data, MK_LBUTTON, at, &effect);
  effect = DROPEFFECT_COPY;
  target->Drop(data, 0, at, &effect);
}

void LinkedBook(const fs::path& path, const std::vector<std::string>& sources, const std::string& value) {
  WorkbookBuilder book;
  std::string row = "<row r=\"1\">";
  for (std::size_t k = 0; k < sources.size(); ++k) {
    book.AddBookLink({sources[k], {"Sheet1"}, "<sheetData sheetId=\"0\"><row r=\"1\"><cell r=\"A1\"><v>" + value + "</v></cell></row></sheetData>"});
    row += "<c r=\"" + std::string(1, static_cast<char>('A' + k)) + "1\"><f>[" + std::to_string(k + 1) + "]Sheet1!A1</f><v>" + value + "</v></c>";
  }
  book.AddSheet("Sheet1", row + "</row>");
  book.Write(path);
}

std::vector<fs::path> BackupsOf(const fs::path& workbook) {
  std::vector<fs::path> out;
  for (const auto& entry : fs::directory_iterator(workbook.parent_path()))
    if (entry.path().filename().wstring().starts_with(workbook.stem().wstring() + L" Backup ") &&
        entry.path().extension() == workbook.extension())
      out.push_back(entry.path());
  return out;
}

TEST(EndToEnd, RemoveFileLinksWithBackupsOverDroppedWorkbooks) {
  const tests::ScratchDir dir("end-to-end");
  const fs::path folder = dir / L"Rapports été";
  fs::create_directory(folder);
  const fs::path one = folder / L"Budget.xlsx";
  const fs::path two = folder / L"Résumé.xlsx";
  const fs::path old = folder / L"Old.xls";
  LinkedBook(one, {"Sources.xlsx"}, "42");
  LinkedBook(two, {"A.xlsx", "B.xlsx"}, "7");
  const std::string oldBytes("\xD0\xCF\x11\xE0 not a package", 20);
  tests::WriteBytes(old, oldBytes);

  // The real services, the settings in a key of the test's own.
  win32::RegistrySettings settings(HKEY_CURRENT_USER, L"Software\\Quorvane window test");
  win32::Win32MessageBoxes boxes(nullptr);
  win32::ComExcel excel;
  ooxml::BuiltinAutomation builtin;
  win32::EngineChoice automation(excel, builtin);
  win32::Win32FileCopier copier;
  win32::Win32RegionalClock clock;
  FakeRandom random;  // never draws the site visit
  FakeStarter starter;
  win32::Program program({settings, boxes, automation, copier, clock, &random, &starter}, {false});
  program.Start();
  boxes.SetOwner(program.Window().Handle());

  OneFormatData drag(CF_HDROP, HDrop({one.wstring(), two.wstring(), old.wstring()}));
  Drop(program.Window().DropTarget(), &drag);
  ASSERT_EQ(program.Form().ListView1.Count(), 3u);
  HWND check3 = program.Window().Control(ControlId::Check3);
  if (::SendMessageW(check3, BM_GETCHECK, 0, 0) != BST_CHECKED) ::SendMessageW(check3, BM_CLICK, 0, 0);
  ASSERT_EQ(program.Form().Check3.Value(), 1);

  std::wstring text;
  {
    DialogHandler answer([&](HWND box) {
      text = WindowText(::GetDlgItem(box, 0xFFFF));
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    ::SendMessageW(program.Window().Control(ControlId::Check2), BM_CLICK, 0, 0);
    ASSERT_TRUE(answer.Handled());
  }
  const std::string message = win32::Narrow(text);
  EXPECT_EQ(message.rfind("Done.", 0), 0u) << message;
  EXPECT_NE(message.find("1 of 3 workbooks"), std::string::npos) << message;
  EXPECT_NE(message.find(win32::Narrow(old.wstring())), std::string::npos) << message;
  EXPECT_EQ(message.find("Budget"), std::string::npos) << message;

  for (const fs::path& book : {one, two}) {
    for (const auto& name : PackageEntries(book)) EXPECT_EQ(name.find("externalLink"), std::string::npos) << name;
    const auto parts = ReadPackage(book);
    const auto sheet = parts.find("xl/worksheets/sheet1.xml");
    ASSERT_NE(sheet, parts.end());
    EXPECT_EQ(sheet->second.find("[1]"), std::string::npos);
    EXPECT_NE(sheet->second.find(book == one ? "<v>42</v>" : "<v>7</v>"), std::string::npos);
    const auto backups = BackupsOf(book);
    ASSERT_EQ(backups.size(), 1u) << book.string();
    const auto saved = PackageEntries(backups[0]);
    EXPECT_TRUE(std::any_of(saved.begin(), saved.end(),
                            [](const std::string& name) { return name.find("externalLink") != std::string::npos; }));
  }
  EXPECT_EQ(tests::ReadBytes(old), oldBytes);
  EXPECT_EQ(::SendMessageW(program.Window().Control(ControlId::ProgressBar1), PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(program.Form().MousePointer.Get(), base::kPointerDefault);
  EXPECT_EQ(settings.GetSetting("Tarnwick", "Quorvane", "BackupCheck"), "True");

  ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quorvane window test");
}

}  // namespace
}  // namespace quorvane::testing
