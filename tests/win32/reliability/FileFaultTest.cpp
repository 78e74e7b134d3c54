// The built-in engine, the temporary files and the backup copies under Windows file-system
// faults: workbooks other programs hold open or that are read-only, paths beyond MAX_PATH, and
// temporary files held by writers or left by killed ones (sharing is a handle's, whoever holds it).

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/AtomicFile.h"
#include "ooxml/ObstacleFinder.h"
#include "ooxml/Package.h"
#include "ooxml/Workbook.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/FileCopier.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::tests {
namespace {

using Names = std::vector<std::string>;
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
  std::ranges::sort(names);
  return names;
}

UniqueFile Open(const fs::path& path, DWORD access, DWORD share) {
  return UniqueFile(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

// A workbook with one linked cell; its bytes.
std::string WriteLinked(const fs::path& path) {
  testing::WorkbookBuilder b;
  b.AddBookLink({"Src.xlsx", {"S"}, ""});
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1*2</f><v>8</v></c></row>)");
  b.Write(path);
  return ReadBytes(path);
}

// The reason of what the call throws, or "".
std::string Failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

// Opens, breaks every book link and saves.
std::string Break(const fs::path& path) {
  return Failure([&] {
    auto book = ooxml::Workbook::Open(path);
    EXPECT_EQ(book.BookSources().size(), 1u);
    book.Break(book.BookSources());
    book.Save();
  });
}

// Held by another program or marked read-only, the workbook is refused with the reason and left
// as it was, with no temporary file beside it; only a holder that denies writing counts as one.
TEST(WindowsFileFaults, HeldOrReadOnlyWorkbooksAreRefusedAndLeftAsTheyWere) {
  const struct {
    DWORD share;  // of another program's handle; ~0: none open
    DWORD attributes;
    const char* reason;
  } cases[] = {
      {FILE_SHARE_READ, 0, "in use by another program"},  // reads, lets others only read
      {0, 0, "in use by another program"},
      {~0u, FILE_ATTRIBUTE_READONLY, "the workbook is read-only"},
  };
  const ScratchDir dir("winrel");
  const fs::path path = dir / "held.xlsx";
  for (const auto& c : cases) {
    const std::string bytes = WriteLinked(path);
    UniqueFile holder = c.share == ~0u ? UniqueFile() : Open(path, GENERIC_READ, c.share);
    ASSERT_TRUE(c.share == ~0u || holder);
    if (c.attributes) ::SetFileAttributesW(path.c_str(), c.attributes);
    EXPECT_EQ(ooxml::HeldByAnotherProgram(path), c.share != ~0u);
    const std::string reason = Break(path);
    EXPECT_NE(reason.find(c.reason), std::string::npos) << "reason: " << reason;
    holder.reset();
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadBytes(path), bytes);
    EXPECT_EQ(NamesIn(dir.Path()), Names{"held.xlsx"}) << "temporary file left";
  }
}

// While ours is written, another program can neither write, rename over nor delete the workbook:
// its save fails instead of being lost. The replaced workbook keeps its attributes (ReplaceFileW).
TEST(WindowsFileFaults, OthersCannotSaveDuringOursAndTheReplacedWorkbookKeepsItsAttributes) {
  const ScratchDir dir("winrel");
  const fs::path path = dir / "kept.xlsx";
  const fs::path theirs = dir.File("theirs.xlsx", "their save");
  WriteLinked(path);
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));

  // While our file is written and again just before it replaces the workbook.
  int attempts = 0;
  const auto tryToSave = [&] {
    ++attempts;
    EXPECT_FALSE(Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) << "written";
    EXPECT_FALSE(::MoveFileExW(theirs.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) << "renamed";
    EXPECT_FALSE(::DeleteFileW(path.c_str())) << "deleted";
  };
  auto package = ooxml::Package::Open(path);
  package.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
  EXPECT_NO_THROW(package.Save([&](std::uint64_t written) { if (written == 0) tryToSave(); }, tryToSave));
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(ReadBytes(theirs), "their save");
  EXPECT_EQ(ooxml::Package::Open(path).Read("xl/worksheets/sheet1.xml"), "<worksheet/>");
  EXPECT_TRUE(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(NamesIn(dir.Path()), (Names{"kept.xlsx", "theirs.xlsx"}));
}

TEST(WindowsFileFaults, PathsBeyondMaxPathAreBrokenOrRefusedWhole) {
  const ScratchDir dir("winrel");
  fs::path folder = dir.Path();
  while (folder.wstring().size() < 300) {
    folder /= std::string(40, 'd');
    ASSERT_TRUE(::CreateDirectoryW(Long(folder).c_str(), nullptr));
  }
  const fs::path path = folder / "a workbook with a long name.xlsx";
  const std::string bytes = WriteLinked(dir / "short.xlsx");
  ASSERT_TRUE(::MoveFileW(Long(dir / "short.xlsx").c_str(), Long(path).c_str()));

  const std::string reason = Break(path);
  if (reason.empty()) {
    EXPECT_TRUE(ooxml::Workbook::Open(path).BookSources().empty());
  } else {
    EXPECT_EQ(ReadBytes(Long(path)), bytes) << "refused (" << reason << ") but changed";
  }
  EXPECT_EQ(NamesIn(folder), Names{"a workbook with a long name.xlsx"}) << "temporary file left";
  std::error_code ec;
  fs::remove_all(Long(dir / std::string(40, 'd')), ec);
}

// A writer's open handle keeps its file from any sweep; a killed writer's file, held by nobody,
// goes with the first temporary file made beside it. No temporary file or backup takes a name.
TEST(WindowsFileFaults, HeldTemporariesStayAbandonedOnesGoAndNoCopyReplacesAName) {
  const ScratchDir dir("winrel");
  const fs::path abandoned = dir.File("~$qv0123456789ab.tmp", "abandoned");
  // Another program holding one of our names open without sharing deletion.
  const fs::path held = dir.File("~$qvcccccccccccc.tmp", "held");
  UniqueFile holder = Open(held, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(holder);
  std::optional<base::TemporaryFile> mine;
  mine.emplace(dir.Path());
  mine->Write("mine", 4);
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_EQ(base::RemoveAbandonedTemporaries(dir.Path()), 0u);
  EXPECT_TRUE(fs::exists(held) && fs::exists(mine->Path()));

  // Still held, the file moves into place.
  const fs::path taken = dir.File("taken.xlsx", "older");
  EXPECT_FALSE(mine->MoveTo(taken, false));
  EXPECT_TRUE(mine->MoveTo(dir / "mine.xlsx", false));
  mine.reset();
  EXPECT_EQ(ReadBytes(dir / "mine.xlsx"), "mine");
  holder.reset();
  EXPECT_EQ(base::RemoveAbandonedTemporaries(dir.Path()), 1u) << "once its holder is gone";

  // Backups: names outside the code page, a read-only source, a failure that names the file.
  const auto path = [&](const std::wstring& name) { return win32::Narrow((dir / name).wstring()); };
  const std::wstring source = L"M\u00E4rz \u2013 \u6771\u4EAC.xlsx";
  const std::wstring backup = L"M\u00E4rz \u2013 \u6771\u4EAC Backup 7 04 PM.xlsx";
  const std::string content = std::string("PK\x03\x04 binary ") + '\0' + std::string(200000, 'b');
  WriteBytes(dir / source, content);
  ::SetFileAttributesW((dir / source).c_str(), FILE_ATTRIBUTE_READONLY);
  win32::Win32FileCopier copier;
  EXPECT_EQ(copier.Copy(path(source), path(backup)), links::CopyResult::Copied);
  EXPECT_EQ(ReadBytes(dir / backup), content);
  EXPECT_TRUE(::GetFileAttributesW((dir / backup).c_str()) & FILE_ATTRIBUTE_READONLY) << "kept as a copy keeps it";
  EXPECT_EQ(copier.Copy(path(source), path(L"taken.xlsx")), links::CopyResult::TargetExists);
  EXPECT_EQ(ReadBytes(taken), "older");
  const std::string missing = Failure([&] { copier.Copy(path(L"missing.xlsx"), path(L"missing Backup.xlsx")); });
  EXPECT_NE(missing.find("missing.xlsx"), std::string::npos) << missing;
  EXPECT_EQ(NamesIn(dir.Path()).size(), 4u) << "only the workbooks and the backup";
}

}  // namespace
}  // namespace quorvane::tests
