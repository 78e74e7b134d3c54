// The built-in engine and the temporary files under Windows file-system
// faults: a workbook another program holds open without sharing writes,
// paths beyond MAX_PATH, and temporary files held by writers in this and
// other processes or left by killed ones.

#include <gtest/gtest.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/AtomicFile.h"
#include "ooxml/Package.h"
#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"
#include "win32/FileCopier.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace {

namespace fs = std::filesystem;
using quorvane::base::IsTemporaryName;
using quorvane::base::RemoveAbandonedTemporaries;
using quorvane::base::TemporaryFile;
using quorvane::ooxml::PackageError;
using quorvane::ooxml::Workbook;
using quorvane::win32::Narrow;
using quorvane::win32::UniqueFile;
using quorvane::win32::UniqueHandle;
using quorvane::win32::Widen;

// The long form of a path, so that creating folders and files past MAX_PATH
// does not depend on the process's long-path setting.
std::wstring Long(const fs::path& p) { return L"\\\\?\\" + fs::absolute(p).wstring(); }

std::string ReadBytes(const fs::path& p) {
  UniqueFile h(CreateFileW(Long(p).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr));
  if (!h) return "<unreadable>";
  std::string out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h.get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  return out;
}

void WriteBytes(const fs::path& p, const std::string& bytes) {
  UniqueFile h(CreateFileW(Long(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(h);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
}

// Names in a folder, sorted.
std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  quorvane::win32::UniqueFind find(FindFirstFileW((Long(folder) + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(Narrow(name));
  } while (FindNextFileW(find.get(), &data));
  std::sort(names.begin(), names.end());
  return names;
}

// Another process writing a temporary file in folder and holding it until it
// is killed: this program itself, started with two variables set.
constexpr const char* kHoldIn = "QUORVANE_HOLD_IN";
constexpr const char* kHoldReady = "QUORVANE_HOLD_READY";

class WriterProcess {
 public:
  WriterProcess(const fs::path& folder, const fs::path& ready) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"QUORVANE_HOLD_IN", folder.wstring().c_str());
    SetEnvironmentVariableW(L"QUORVANE_HOLD_READY", ready.wstring().c_str());
    std::wstring command = L"\"" + std::wstring(self) + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueFile nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nul.get();
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &info);
    SetEnvironmentVariableW(L"QUORVANE_HOLD_IN", nullptr);
    SetEnvironmentVariableW(L"QUORVANE_HOLD_READY", nullptr);
    if (!started) return;
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    for (int i = 0; i < 600 && !fs::exists(ready); ++i) Sleep(50);
    name_ = ReadBytes(ready);
  }
  ~WriterProcess() { Kill(); }
  const std::string& Name() const { return name_; }
  void Kill() {
    if (!process_) return;
    TerminateProcess(process_.get(), 9);
    WaitForSingleObject(process_.get(), 30000);
    process_.reset();
  }

 private:
  UniqueHandle process_;
  std::string name_;
};

// In the child of WriterProcess: hold a temporary file, say its name, wait
// to be killed. Before main, so the child runs no tests.
const bool kHolding = [] {
  const char* folder = std::getenv(kHoldIn);
  const char* ready = std::getenv(kHoldReady);
  if (!folder || !ready) return false;
  TemporaryFile temp{fs::path(Widen(folder))};
  temp.Write("partial", 7);
  const fs::path readyPath(Widen(ready));
  const fs::path part = fs::path(readyPath).concat(L".part");
  std::ofstream(part, std::ios::binary) << Narrow(temp.Path().filename().wstring());
  fs::rename(part, readyPath);
  Sleep(INFINITE);
  return true;
}();

class WindowsFileFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("qv-winrel-" + std::to_string(GetCurrentProcessId()) + "-" +
                                         std::to_string(GetTickCount64()));
    dir_ = root_ / "work";
    fs::create_directories(dir_);
    quorvane::testing::BookLink link;
    link.target = "Src.xlsx";
    link.sheetNames = {"S"};
    quorvane::testing::WorkbookBuilder b;
    b.AddBookLink(link);
    b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1*2</f><v>8</v></c></row>)");
    b.Write(root_ / "linked.xlsx");
    bytes_ = ReadBytes(root_ / "linked.xlsx");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Long(root_), ec);
  }
  // Opens, breaks every book link and saves; the error's reason, or "".
  static std::string Break(const fs::path& path) {
    try {
      auto book = Workbook::Open(path);
      EXPECT_EQ(book.BookSources().size(), 1u);
      book.Break(book.BookSources());
      book.Save();
    } catch (const PackageError& e) {
      return e.what();
    }
    return {};
  }
  fs::path root_, dir_;
  std::string bytes_;
};

TEST_F(WindowsFileFaults, WorkbookHeldWithoutWriteSharingIsRefusedAndLeftAsItWas) {
  const fs::path path = dir_ / "held.xlsx";
  WriteBytes(path, bytes_);
  // Another program reads it and lets others read, but not write or delete.
  UniqueFile holder(CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr));
  ASSERT_TRUE(holder);
  const std::string reason = Break(path);
  EXPECT_NE(reason.find("in use by another program"), std::string::npos) << "reason: " << reason;
  holder.reset();
  EXPECT_EQ(ReadBytes(path), bytes_);
  EXPECT_EQ(Names(dir_), std::vector<std::string>{"held.xlsx"}) << "temporary file left";
}

// While ours is written, another program can neither write, rename over nor
// delete the workbook: its save fails instead of being lost. The replaced
// workbook keeps what ReplaceFileW keeps, as far as this system shows it.
TEST_F(WindowsFileFaults, OthersCannotSaveDuringOursAndTheReplacedWorkbookKeepsItsAttributes) {
  const fs::path path = dir_ / "kept.xlsx";
  WriteBytes(path, bytes_);
  WriteBytes(dir_ / "theirs.xlsx", "their save");
  FILETIME created{};
  created.dwHighDateTime = 0x01D00000;  // 2014
  {
    UniqueFile h(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(h);
    ASSERT_TRUE(SetFileTime(h.get(), &created, nullptr, nullptr));
  }
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  WIN32_FILE_ATTRIBUTE_DATA before{};
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &before));
  // Some systems (Wine) store no creation time, or make "NAME:stream" a file of that name.
  const bool times = before.ftCreationTime.dwHighDateTime == created.dwHighDateTime;
  const bool streams = [&] {
    UniqueFile h(CreateFileW((path.wstring() + L":note").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD done = 0;
    return h && WriteFile(h.get(), "kept", 4, &done, nullptr) && Names(dir_).size() == 2;
  }();
  if (!streams) DeleteFileW((path.wstring() + L":note").c_str());

  std::vector<std::string> refused;
  const auto tryToSave = [&] {
    UniqueFile write(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    refused.push_back(write ? "written" : "write refused");
    refused.push_back(MoveFileExW((dir_ / "theirs.xlsx").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)
                          ? "renamed over" : "rename refused");
    refused.push_back(DeleteFileW(path.c_str()) ? "deleted" : "delete refused");
  };
  auto package = quorvane::ooxml::Package::Open(path);
  package.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
  EXPECT_NO_THROW(package.Save([&](std::uint64_t written) { if (written == 0) tryToSave(); }, tryToSave));
  EXPECT_EQ(refused, (std::vector<std::string>{"write refused", "rename refused", "delete refused", "write refused",
                                               "rename refused", "delete refused"}));
  EXPECT_EQ(ReadBytes(dir_ / "theirs.xlsx"), "their save");
  EXPECT_EQ(quorvane::ooxml::Package::Open(path).Read("xl/worksheets/sheet1.xml"), "<worksheet/>");

  WIN32_FILE_ATTRIBUTE_DATA after{};
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &after));
  EXPECT_TRUE(after.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(!times || CompareFileTime(&after.ftCreationTime, &created) == 0) << "creation time lost";
  EXPECT_TRUE(!streams || ReadBytes(fs::path(path.wstring() + L":note")) == "kept") << "stream lost";
  std::printf("[ kept ] creation time %s, streams %s\n", times ? "checked" : "not kept by this system",
              streams ? "checked" : "not kept by this system");
  for (const auto& name : Names(dir_)) EXPECT_TRUE(name == "kept.xlsx" || name == "theirs.xlsx") << name;
}

TEST_F(WindowsFileFaults, PathsBeyondMaxPathAreBrokenOrRefusedWhole) {
  fs::path folder = dir_;
  while (folder.wstring().size() < 300) {
    folder /= std::string(40, 'd');
    ASSERT_TRUE(CreateDirectoryW(Long(folder).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  const fs::path path = folder / "a workbook with a long name.xlsx";
  ASSERT_GT(path.wstring().size(), 260u);
  WriteBytes(path, bytes_);

  const std::string reason = Break(path);
  if (reason.empty()) {
    EXPECT_TRUE(Workbook::Open(path).BookSources().empty());
  } else {
    EXPECT_EQ(ReadBytes(path), bytes_) << "refused (" << reason << ") but changed";
  }
  EXPECT_EQ(Names(folder), std::vector<std::string>{"a workbook with a long name.xlsx"}) << "temporary file left";
  std::printf("[ long path ] %zu characters: %s\n", path.wstring().size(), reason.empty() ? "broken" : reason.c_str());
}

// A writer's open handle keeps its file from any sweep, also one in another
// process; a killed writer's file is cleared by the next copy into its
// folder, and no backup is ever left partial.
TEST_F(WindowsFileFaults, HeldTemporariesAndLookalikesStayWhileAbandonedOnesGo) {
  WriterProcess other(dir_, root_ / "ready");
  ASSERT_TRUE(IsTemporaryName(other.Name())) << "helper process: '" << other.Name() << "'";
  std::optional<TemporaryFile> mine;
  mine.emplace(dir_);
  mine->Write("mine", 4);
  // Another program holding one of our names open without sharing deletion.
  WriteBytes(dir_ / "~$qvcccccccccccc.tmp", "held");
  UniqueFile held(CreateFileW((dir_ / "~$qvcccccccccccc.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);

  WriteBytes(dir_ / "~$qv0123456789ab.tmp", "abandoned");
  const std::vector<std::string> lookalikes{"~$Book.xlsx", "~$qvX.tmp", "~$qv0123456789abc.tmp", "~$qv012345.tmp",
                                            "Book.xlsx"};
  for (const auto& name : lookalikes) WriteBytes(dir_ / name, "not ours");

  EXPECT_EQ(RemoveAbandonedTemporaries(dir_), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "~$qv0123456789ab.tmp"));
  for (const auto& name : lookalikes) EXPECT_EQ(ReadBytes(dir_ / name), "not ours") << name;
  EXPECT_TRUE(fs::exists(dir_ / other.Name()));
  EXPECT_TRUE(fs::exists(dir_ / "~$qvcccccccccccc.tmp"));
  EXPECT_TRUE(fs::exists(mine->Path()));

  // Still held, the file moves into place; an existing name is never replaced.
  WriteBytes(dir_ / "taken.xlsx", "older");
  EXPECT_FALSE(mine->MoveTo(dir_ / "taken.xlsx", false));
  EXPECT_EQ(ReadBytes(dir_ / "taken.xlsx"), "older");
  EXPECT_TRUE(mine->MoveTo(dir_ / "mine.xlsx", false));
  mine.reset();
  EXPECT_EQ(ReadBytes(dir_ / "mine.xlsx"), "mine");

  held.reset();
  other.Kill();
  EXPECT_EQ(RemoveAbandonedTemporaries(dir_), 2u) << "once their holders are gone";
  for (const auto& name : Names(dir_)) EXPECT_FALSE(IsTemporaryName(name)) << name;
}

TEST_F(WindowsFileFaults, KilledWriterLeavesNoBackupAndTheNextCopyClearsIt) {
  const std::string book(200000, 'b');
  WriteBytes(dir_ / "Book.xlsx", book);
  WriterProcess killed(dir_, root_ / "ready");
  ASSERT_TRUE(IsTemporaryName(killed.Name())) << "helper process: '" << killed.Name() << "'";
  killed.Kill();
  ASSERT_TRUE(fs::exists(dir_ / killed.Name()));

  quorvane::win32::Win32FileCopier copier;
  const std::string from = Narrow((dir_ / "Book.xlsx").wstring());
  const std::string to = Narrow((dir_ / "Book Backup 7 04 PM.xlsx").wstring());
  EXPECT_EQ(copier.Copy(from, to), quorvane::links::CopyResult::Copied);
  EXPECT_EQ(ReadBytes(dir_ / "Book Backup 7 04 PM.xlsx"), book);
  EXPECT_EQ(copier.Copy(from, to), quorvane::links::CopyResult::TargetExists);
  EXPECT_EQ(Names(dir_), (std::vector<std::string>{"Book Backup 7 04 PM.xlsx", "Book.xlsx"}));
}

}  // namespace
