// The built-in engine, the temporary files and the backup copies under
// Windows file-system faults: workbooks other programs hold open or that are
// read-only, paths beyond MAX_PATH, and temporary files held by writers or
// left by killed ones (sharing is a handle's, whichever process holds it).

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/AtomicFile.h"
#include "ooxml/Package.h"
#include "ooxml/Workbook.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/FileCopier.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using base::TemporaryFile;
using Names = std::vector<std::string>;
using tests::ReadBytes;
using tests::WriteBytes;
using win32::UniqueFile;

// The long form, so that paths past MAX_PATH do not depend on the process's long-path setting.
fs::path Long(const fs::path& p) { return L"\\\\?\\" + fs::absolute(p).wstring(); }

Names NamesIn(const fs::path& folder) {
  Names names;
  WIN32_FIND_DATAW data;
  win32::UniqueFind find(::FindFirstFileW((Long(folder) / L"*").c_str(), &data));
  for (bool more = static_cast<bool>(find); more; more = ::FindNextFileW(find.get(), &data))
    if (data.cFileName != std::wstring(L".") && data.cFileName != std::wstring(L".."))
      names.push_back(win32::Narrow(data.cFileName));
  std::sort(names.begin(), names.end());
  return names;
}

UniqueFile Open(const fs::path& path, DWORD access, DWORD share) {
  return UniqueFile(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

class WindowsFileFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::WorkbookBuilder b;
    b.AddBookLink({"Src.xlsx", {"S"}, ""});
    b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1*2</f><v>8</v></c></row>)");
    b.Write(root_ / "linked.xlsx");
    bytes_ = ReadBytes(root_ / "linked.xlsx");
    fs::create_directory(dir_);
  }
  // Opens, breaks every book link and saves; the error's reason, or "".
  static std::string Break(const fs::path& path) {
    try {
      auto book = ooxml::Workbook::Open(path);
      EXPECT_EQ(book.BookSources().size(), 1u);
      book.Break(book.BookSources());
      book.Save();
    } catch (const std::exception& e) {
      return e.what();
    }
    return {};
  }
  tests::ScratchDir root_{"winrel"};
  fs::path dir_ = root_ / "work";
  std::string bytes_;
};

// Held by another program or marked read-only, the workbook is refused with
// the reason and left as it was, with no temporary file beside it.
TEST_F(WindowsFileFaults, HeldOrReadOnlyWorkbooksAreRefusedAndLeftAsTheyWere) {
  const struct {
    DWORD share;  // of another program's handle; ~0: none open
    DWORD attributes;
    const char* reason;
  } cases[] = {
      {FILE_SHARE_READ, 0, "in use by another program"},  // reads, lets others only read
      {0, 0, "in use by another program"},
      {~0u, FILE_ATTRIBUTE_READONLY, "the workbook is read-only"},
  };
  const fs::path path = dir_ / "held.xlsx";
  for (const auto& c : cases) {
    WriteBytes(path, bytes_);
    UniqueFile holder = c.share == ~0u ? UniqueFile() : Open(path, GENERIC_READ, c.share);
    ASSERT_TRUE(c.share == ~0u || holder);
    if (c.attributes) ::SetFileAttributesW(path.c_str(), c.attributes);
    const std::string reason = Break(path);
    EXPECT_NE(reason.find(c.reason), std::string::npos) << "reason: " << reason;
    holder.reset();
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadBytes(path), bytes_);
    EXPECT_EQ(NamesIn(dir_), Names{"held.xlsx"}) << "temporary file left";
  }
}

// While ours is written, another program can neither write, rename over nor
// delete the workbook: its save fails instead of being lost. The replaced
// workbook keeps its attributes, as ReplaceFileW keeps them.
TEST_F(WindowsFileFaults, OthersCannotSaveDuringOursAndTheReplacedWorkbookKeepsItsAttributes) {
  const fs::path path = dir_ / "kept.xlsx";
  WriteBytes(path, bytes_);
  WriteBytes(dir_ / "theirs.xlsx", "their save");
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));

  // While our file is written and again just before it replaces the workbook.
  int attempts = 0;
  const auto tryToSave = [&] {
    ++attempts;
    EXPECT_FALSE(Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) << "written";
    EXPECT_FALSE(::MoveFileExW((dir_ / "theirs.xlsx").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) << "renamed";
    EXPECT_FALSE(::DeleteFileW(path.c_str())) << "deleted";
  };
  auto package = ooxml::Package::Open(path);
  package.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
  EXPECT_NO_THROW(package.Save([&](std::uint64_t written) { if (written == 0) tryToSave(); }, tryToSave));
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(ReadBytes(dir_ / "theirs.xlsx"), "their save");
  EXPECT_EQ(ooxml::Package::Open(path).Read("xl/worksheets/sheet1.xml"), "<worksheet/>");
  EXPECT_TRUE(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(NamesIn(dir_), (Names{"kept.xlsx", "theirs.xlsx"}));
}

TEST_F(WindowsFileFaults, PathsBeyondMaxPathAreBrokenOrRefusedWhole) {
  fs::path folder = dir_;
  while (folder.wstring().size() < 300) {
    folder /= std::string(40, 'd');
    ASSERT_TRUE(::CreateDirectoryW(Long(folder).c_str(), nullptr));
  }
  const fs::path path = folder / "a workbook with a long name.xlsx";
  WriteBytes(dir_ / "short.xlsx", bytes_);
  ASSERT_TRUE(::MoveFileW(Long(dir_ / "short.xlsx").c_str(), Long(path).c_str()));

  const std::string reason = Break(path);
  if (reason.empty()) {
    EXPECT_TRUE(ooxml::Workbook::Open(path).BookSources().empty());
  } else {
    EXPECT_EQ(ReadBytes(Long(path)), bytes_) << "refused (" << reason << ") but changed";
  }
  EXPECT_EQ(NamesIn(folder), Names{"a workbook with a long name.xlsx"}) << "temporary file left";
  std::error_code ec;
  fs::remove_all(Long(dir_), ec);
}

// A writer's open handle keeps its file from any sweep; a killed writer's
// file, held by nobody, is cleared.
TEST_F(WindowsFileFaults, HeldTemporariesStayWhileAbandonedOnesGo) {
  std::optional<TemporaryFile> mine;
  mine.emplace(dir_);
  mine->Write("mine", 4);
  // Another program holding one of our names open without sharing deletion.
  WriteBytes(dir_ / "~$qvcccccccccccc.tmp", "held");
  UniqueFile held = Open(dir_ / "~$qvcccccccccccc.tmp", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(held);
  WriteBytes(dir_ / "~$qv0123456789ab.tmp", "abandoned");
  EXPECT_EQ(base::RemoveAbandonedTemporaries(dir_), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "~$qv0123456789ab.tmp"));
  EXPECT_TRUE(fs::exists(dir_ / "~$qvcccccccccccc.tmp") && fs::exists(mine->Path()));

  // Still held, the file moves into place; an existing name is never replaced.
  WriteBytes(dir_ / "taken.xlsx", "older");
  EXPECT_FALSE(mine->MoveTo(dir_ / "taken.xlsx", false));
  EXPECT_EQ(ReadBytes(dir_ / "taken.xlsx"), "older");
  EXPECT_TRUE(mine->MoveTo(dir_ / "mine.xlsx", false));
  mine.reset();
  EXPECT_EQ(ReadBytes(dir_ / "mine.xlsx"), "mine");
  held.reset();
  EXPECT_EQ(base::RemoveAbandonedTemporaries(dir_), 1u) << "once its holder is gone";
  EXPECT_EQ(NamesIn(dir_), (Names{"mine.xlsx", "taken.xlsx"}));
}

// Backups: names outside the code page, a read-only source; a target is
// never replaced; a failure throws with the reason and leaves nothing; a
// killed writer's file goes with the first copy into its folder.
TEST_F(WindowsFileFaults, BackupCopiesNeverReplaceAndClearWhatAKilledWriterLeft) {
  WriteBytes(dir_ / "~$qv0123456789ab.tmp", "abandoned");

  const auto path = [&](const std::wstring& name) { return win32::Narrow((dir_ / name).wstring()); };
  const std::wstring source = L"M\u00E4rz \u2013 \u6771\u4EAC.xlsx";
  const std::wstring target = L"M\u00E4rz \u2013 \u6771\u4EAC Backup 7 04 PM.xlsx";
  const std::string content = std::string("PK\x03\x04 binary ") + '\0' + std::string(200000, 'b');
  WriteBytes(dir_ / source, content);
  ::SetFileAttributesW((dir_ / source).c_str(), FILE_ATTRIBUTE_READONLY);
  win32::Win32FileCopier copier;
  EXPECT_EQ(copier.Copy(path(source), path(target)), links::CopyResult::Copied);
  EXPECT_EQ(ReadBytes(dir_ / target), content);
  EXPECT_TRUE(::GetFileAttributesW((dir_ / target).c_str()) & FILE_ATTRIBUTE_READONLY) << "kept as a copy keeps it";
  WriteBytes(dir_ / "taken.xlsx", "older backup");
  EXPECT_EQ(copier.Copy(path(source), path(L"taken.xlsx")), links::CopyResult::TargetExists);
  EXPECT_EQ(ReadBytes(dir_ / "taken.xlsx"), "older backup");
  try {
    copier.Copy(path(L"missing.xlsx"), path(L"missing Backup.xlsx"));
    ADD_FAILURE() << "copying a missing file must throw";
  } catch (const std::exception& error) {
    EXPECT_NE(std::string(error.what()).find("missing.xlsx"), std::string::npos) << error.what();
  }
  EXPECT_EQ(NamesIn(dir_).size(), 3u);
}

}  // namespace
}  // namespace quorvane
