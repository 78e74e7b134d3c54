// Temporary files on Windows: a writer's open handle keeps its file from any
// sweep, also one in another process; a killed writer's file is cleared by
// the next copy into its folder, and no backup is ever left partial.

#include <gtest/gtest.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ooxml/AtomicFile.h"
#include "win32/FileCopier.h"
#include "win32/Strings.h"

namespace {

namespace fs = std::filesystem;
using quorvane::ooxml::IsTemporaryName;
using quorvane::ooxml::RemoveAbandonedTemporaries;
using quorvane::ooxml::TemporaryFile;

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

constexpr const char* kHoldIn = "QUORVANE_HOLD_IN";
constexpr const char* kHoldReady = "QUORVANE_HOLD_READY";

void WriteText(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(quorvane::win32::Narrow(entry.path().filename().wstring()));
  std::sort(names.begin(), names.end());
  return names;
}

// Another process writing a temporary file in folder and holding it until it
// is killed: this program itself, started with two variables set.
class WriterProcess {
 public:
  WriterProcess(const fs::path& folder, const fs::path& ready) : ready_(ready) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"QUORVANE_HOLD_IN", folder.wstring().c_str());
    SetEnvironmentVariableW(L"QUORVANE_HOLD_READY", ready.wstring().c_str());
    std::wstring command = L"\"" + std::wstring(self) + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
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
    for (int i = 0; i < 600 && !fs::exists(ready_); ++i) Sleep(50);
    name_ = ReadText(ready_);
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
  fs::path ready_;
  Handle process_;
  std::string name_;
};

// In the child of WriterProcess: hold a temporary file, say its name, wait
// to be killed. Before main, so the child runs no tests.
const bool kHolding = [] {
  const char* folder = std::getenv(kHoldIn);
  const char* ready = std::getenv(kHoldReady);
  if (!folder || !ready) return false;
  TemporaryFile temp{fs::path(quorvane::win32::Widen(folder))};
  temp.Write("partial", 7);
  const fs::path readyPath(quorvane::win32::Widen(ready));
  const fs::path part = fs::path(readyPath).concat(L".part");
  WriteText(part, quorvane::win32::Narrow(temp.Path().filename().wstring()));
  fs::rename(part, readyPath);
  Sleep(INFINITE);
  return true;
}();

class WindowsTemporaries : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("qv-wintemp-" + std::to_string(GetCurrentProcessId()) + "-" +
                                         std::to_string(GetTickCount64()));
    dir_ = root_ / "work";
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path root_, dir_;
};

TEST_F(WindowsTemporaries, HeldFilesAndLookalikesStayWhileAbandonedOnesGo) {
  WriterProcess other(dir_, root_ / "ready");
  ASSERT_TRUE(IsTemporaryName(other.Name())) << "helper process: '" << other.Name() << "'";
  std::optional<TemporaryFile> mine;
  mine.emplace(dir_);
  mine->Write("mine", 4);
  // Another program holding one of our names open without sharing deletion.
  WriteText(dir_ / "~$qvcccccccccccc.tmp", "held");
  Handle held(CreateFileW((dir_ / "~$qvcccccccccccc.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);

  WriteText(dir_ / "~$qv0123456789ab.tmp", "abandoned");
  const std::vector<std::string> lookalikes{"~$Book.xlsx", "~$qvX.tmp", "~$qv0123456789abc.tmp", "~$qv012345.tmp",
                                            "Book.xlsx"};
  for (const auto& name : lookalikes) WriteText(dir_ / name, "not ours");

  EXPECT_EQ(RemoveAbandonedTemporaries(dir_), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "~$qv0123456789ab.tmp"));
  for (const auto& name : lookalikes) EXPECT_EQ(ReadText(dir_ / name), "not ours") << name;
  EXPECT_TRUE(fs::exists(dir_ / other.Name()));
  EXPECT_TRUE(fs::exists(dir_ / "~$qvcccccccccccc.tmp"));
  EXPECT_TRUE(fs::exists(mine->Path()));

  // Still held, the file moves into place; an existing name is never replaced.
  WriteText(dir_ / "taken.xlsx", "older");
  EXPECT_FALSE(mine->MoveTo(dir_ / "taken.xlsx", false));
  EXPECT_EQ(ReadText(dir_ / "taken.xlsx"), "older");
  EXPECT_TRUE(mine->MoveTo(dir_ / "mine.xlsx", false));
  mine.reset();
  EXPECT_EQ(ReadText(dir_ / "mine.xlsx"), "mine");

  held.reset();
  other.Kill();
  EXPECT_EQ(RemoveAbandonedTemporaries(dir_), 2u) << "once their holders are gone";
  for (const auto& name : Names(dir_)) EXPECT_FALSE(IsTemporaryName(name)) << name;
}

TEST_F(WindowsTemporaries, KilledCopyLeavesNoBackupAndTheNextCopyClearsIt) {
  WriteText(dir_ / "Book.xlsx", std::string(200000, 'b'));
  // A copy cut short: its temporary file is written and held, then the
  // process dies.
  WriterProcess killed(dir_, root_ / "ready");
  ASSERT_TRUE(IsTemporaryName(killed.Name())) << "helper process: '" << killed.Name() << "'";
  killed.Kill();
  ASSERT_TRUE(fs::exists(dir_ / killed.Name()));

  quorvane::win32::Win32FileCopier copier;
  const std::string from = quorvane::win32::Narrow((dir_ / "Book.xlsx").wstring());
  const std::string to = quorvane::win32::Narrow((dir_ / "Book Backup 7 04 PM.xlsx").wstring());
  EXPECT_EQ(copier.Copy(from, to), quorvane::links::CopyResult::Copied);
  EXPECT_EQ(ReadText(dir_ / "Book Backup 7 04 PM.xlsx"), std::string(200000, 'b'));
  EXPECT_EQ(copier.Copy(from, to), quorvane::links::CopyResult::TargetExists);
  EXPECT_EQ(Names(dir_), (std::vector<std::string>{"Book Backup 7 04 PM.xlsx", "Book.xlsx"}));
}

}  // namespace
