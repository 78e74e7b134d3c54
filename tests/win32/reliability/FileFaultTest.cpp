// The built-in engine and the temporary files under Windows file-system
// faults: a workbook another program holds open without sharing writes,
// paths beyond MAX_PATH, and temporary files held by writers in this and
// other processes or left by killed ones.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
using base::IsTemporaryName;
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

// Another process holding a temporary file in a folder until it is killed:
// this program again, started with QUORVANE_HOLD_IN set.
class WriterProcess {
 public:
  WriterProcess(const fs::path& folder, const fs::path& ready) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ::SetEnvironmentVariableW(L"QUORVANE_HOLD_IN", (folder.wstring() + L"|" + ready.wstring()).c_str());
    std::wstring command = L"\"" + std::wstring(self) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                          nullptr, &startup, &info);
    ::SetEnvironmentVariableW(L"QUORVANE_HOLD_IN", nullptr);
    if (!started) return;
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    for (int i = 0; i < 600 && !fs::exists(ready); ++i) ::Sleep(50);
    name_ = fs::exists(ready) ? ReadBytes(ready) : "";
  }
  ~WriterProcess() { Kill(); }
  const std::string& Name() const { return name_; }
  void Kill() {
    if (!process_) return;
    ::TerminateProcess(process_.get(), 9);
    ::WaitForSingleObject(process_.get(), 30000);
    process_.reset();
  }

 private:
  win32::UniqueHandle process_;
  std::string name_;
};

// In the writer: hold a temporary file, say its name, wait to be killed.
// Before main, so the child runs no tests.
const bool kHolding = [] {
  const char* hold = std::getenv("QUORVANE_HOLD_IN");
  if (!hold) return false;
  const std::wstring both = win32::Widen(hold);
  const fs::path ready = both.substr(both.find(L'|') + 1);
  TemporaryFile temp{fs::path(both.substr(0, both.find(L'|')))};
  temp.Write("partial", 7);
  WriteBytes(fs::path(ready).concat(".part"), win32::Narrow(temp.Path().filename().wstring()));
  fs::rename(fs::path(ready).concat(".part"), ready);
  ::Sleep(INFINITE);
  return true;
}();

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
    } catch (const ooxml::PackageError& e) {
      return e.what();
    }
    return {};
  }
  tests::ScratchDir root_{"winrel"};
  fs::path dir_ = root_ / "work";
  std::string bytes_;
};

TEST_F(WindowsFileFaults, WorkbookHeldWithoutWriteSharingIsRefusedAndLeftAsItWas) {
  const fs::path path = dir_ / "held.xlsx";
  WriteBytes(path, bytes_);
  UniqueFile holder = Open(path, GENERIC_READ, FILE_SHARE_READ);  // reads, lets others only read
  ASSERT_TRUE(holder);
  const std::string reason = Break(path);
  EXPECT_NE(reason.find("in use by another program"), std::string::npos) << "reason: " << reason;
  holder.reset();
  EXPECT_EQ(ReadBytes(path), bytes_);
  EXPECT_EQ(NamesIn(dir_), Names{"held.xlsx"}) << "temporary file left";
}

// While ours is written, another program can neither write, rename over nor
// delete the workbook: its save fails instead of being lost. The replaced
// workbook keeps what ReplaceFileW keeps, as far as this system shows it.
TEST_F(WindowsFileFaults, OthersCannotSaveDuringOursAndTheReplacedWorkbookKeepsItsAttributes) {
  const fs::path path = dir_ / "kept.xlsx";
  WriteBytes(path, bytes_);
  WriteBytes(dir_ / "theirs.xlsx", "their save");
  const FILETIME created{.dwLowDateTime = 0, .dwHighDateTime = 0x01D00000};  // 2014
  ASSERT_TRUE(::SetFileTime(Open(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ).get(), &created, nullptr, nullptr));
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  WIN32_FILE_ATTRIBUTE_DATA before{};
  ASSERT_TRUE(::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &before));
  // Some systems (Wine) store no creation time, or make "NAME:stream" a file of that name.
  const bool times = before.ftCreationTime.dwHighDateTime == created.dwHighDateTime;
  const fs::path stream = path.wstring() + L":note";
  std::ofstream(stream, std::ios::binary) << "kept";
  const bool streams = NamesIn(dir_).size() == 2;
  std::error_code ec;
  if (!streams) fs::remove(stream, ec);

  Names refused;
  const auto tryToSave = [&] {
    refused.push_back(Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
                          ? "written"
                          : "write refused");
    refused.push_back(::MoveFileExW((dir_ / "theirs.xlsx").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)
                          ? "renamed over"
                          : "rename refused");
    refused.push_back(::DeleteFileW(path.c_str()) ? "deleted" : "delete refused");
  };
  auto package = ooxml::Package::Open(path);
  package.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
  EXPECT_NO_THROW(package.Save([&](std::uint64_t written) { if (written == 0) tryToSave(); }, tryToSave));
  EXPECT_EQ(refused, (Names{"write refused", "rename refused", "delete refused", "write refused", "rename refused",
                            "delete refused"}));
  EXPECT_EQ(ReadBytes(dir_ / "theirs.xlsx"), "their save");
  EXPECT_EQ(ooxml::Package::Open(path).Read("xl/worksheets/sheet1.xml"), "<worksheet/>");

  WIN32_FILE_ATTRIBUTE_DATA after{};
  ASSERT_TRUE(::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &after));
  EXPECT_TRUE(after.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(!times || ::CompareFileTime(&after.ftCreationTime, &created) == 0) << "creation time lost";
  EXPECT_TRUE(!streams || ReadBytes(stream) == "kept") << "stream lost";
  std::printf("[ kept ] creation time %s, streams %s\n", times ? "checked" : "not kept by this system",
              streams ? "checked" : "not kept by this system");
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
  std::printf("[ long path ] %zu characters: %s\n", path.wstring().size(), reason.empty() ? "broken" : reason.c_str());
  std::error_code ec;
  fs::remove_all(Long(dir_), ec);
}

// A writer's open handle keeps its file from any sweep, also one in another
// process; a killed writer's file is cleared by the next sweep.
TEST_F(WindowsFileFaults, HeldTemporariesAndLookalikesStayWhileAbandonedOnesGo) {
  WriterProcess other(dir_, root_ / "ready");
  ASSERT_TRUE(IsTemporaryName(other.Name())) << "helper process: '" << other.Name() << "'";
  std::optional<TemporaryFile> mine;
  mine.emplace(dir_);
  mine->Write("mine", 4);
  // Another program holding one of our names open without sharing deletion.
  WriteBytes(dir_ / "~$qvcccccccccccc.tmp", "held");
  UniqueFile held = Open(dir_ / "~$qvcccccccccccc.tmp", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(held);
  WriteBytes(dir_ / "~$qv0123456789ab.tmp", "abandoned");
  const Names lookalikes{"~$Book.xlsx", "~$qvX.tmp", "~$qv0123456789abc.tmp", "~$qv012345.tmp", "Book.xlsx"};
  for (const auto& name : lookalikes) WriteBytes(dir_ / name, "not ours");

  EXPECT_EQ(base::RemoveAbandonedTemporaries(dir_), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "~$qv0123456789ab.tmp"));
  for (const auto& name : lookalikes) EXPECT_EQ(ReadBytes(dir_ / name), "not ours") << name;
  EXPECT_TRUE(fs::exists(dir_ / other.Name()) && fs::exists(dir_ / "~$qvcccccccccccc.tmp") && fs::exists(mine->Path()));

  // Still held, the file moves into place; an existing name is never replaced.
  WriteBytes(dir_ / "taken.xlsx", "older");
  EXPECT_FALSE(mine->MoveTo(dir_ / "taken.xlsx", false));
  EXPECT_EQ(ReadBytes(dir_ / "taken.xlsx"), "older");
  EXPECT_TRUE(mine->MoveTo(dir_ / "mine.xlsx", false));
  mine.reset();
  EXPECT_EQ(ReadBytes(dir_ / "mine.xlsx"), "mine");

  held.reset();
  other.Kill();
  EXPECT_EQ(base::RemoveAbandonedTemporaries(dir_), 2u) << "once their holders are gone";
  for (const auto& name : NamesIn(dir_)) EXPECT_FALSE(IsTemporaryName(name)) << name;
}

// A killed writer leaves no partial backup, and the next copy into its folder clears its file.
TEST_F(WindowsFileFaults, KilledWriterLeavesNoBackupAndTheNextCopyClearsIt) {
  const std::string book(200000, 'b');
  WriteBytes(dir_ / "Book.xlsx", book);
  WriterProcess killed(dir_, root_ / "ready");
  ASSERT_TRUE(IsTemporaryName(killed.Name())) << "helper process: '" << killed.Name() << "'";
  killed.Kill();
  ASSERT_TRUE(fs::exists(dir_ / killed.Name()));

  win32::Win32FileCopier copier;
  const std::string from = win32::Narrow((dir_ / "Book.xlsx").wstring());
  const std::string to = win32::Narrow((dir_ / "Book Backup 7 04 PM.xlsx").wstring());
  EXPECT_EQ(copier.Copy(from, to), links::CopyResult::Copied);
  EXPECT_EQ(ReadBytes(dir_ / "Book Backup 7 04 PM.xlsx"), book);
  EXPECT_EQ(copier.Copy(from, to), links::CopyResult::TargetExists);
  EXPECT_EQ(NamesIn(dir_), (Names{"Book Backup 7 04 PM.xlsx", "Book.xlsx"}));
}

}  // namespace
}  // namespace quorvane
