// quorvane-cli.exe started as a separate process, as a user or script would,
// on workbooks in a folder whose name is not ASCII: the arguments arrive as
// UTF-16, the paths must survive to the engine and back out as UTF-8.
#include <windows.h>

#include <gtest/gtest.h>


#include "base/Utf8Path.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/Resource.h"

namespace quorvane::tests {
namespace {

std::string U8(const fs::path& path) { return base::ToUtf8(path); }

// One argument as CommandLineToArgvW gives it back; the tests' arguments
// hold no quotes and end in no backslash.
std::wstring Quote(const std::wstring& argument) {
  return argument.empty() || argument.find_first_of(L" \t") != std::wstring::npos ? L"\"" + argument + L"\"" : argument;
}

struct ChildOutcome {
  DWORD exit = 0;
  std::string out;  // stdout and stderr together
};

// A workbook with two linked cells, its sources named outside the code page.
void WriteLinked(const fs::path& path) {
  const std::string cached = R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>3</v></cell></row></sheetData>)";
  testing::WorkbookBuilder book;
  book.AddBookLink({"Übersicht.xlsx", {"Sheet1"}, cached}).AddBookLink({"Zahlen €.xlsx", {"Sheet1"}, cached});
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><f>[1]Sheet1!A1</f><v>3</v></c><c r="B1"><f>[2]Sheet1!A1</f><v>3</v></c></row>)");
  book.Write(path);
}

class CliProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(folder_); }

  // quorvane-cli.exe, copied beside this program by the build; its output
  // goes to a file, "\r\n" read back as "\n".
  ChildOutcome Run(const std::vector<std::wstring>& arguments) {
    std::wstring self(MAX_PATH, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
    const std::wstring program = fs::path(self).parent_path() / L"quorvane-cli.exe";
    std::wstring commandLine = Quote(program);
    for (const auto& argument : arguments) commandLine += L" " + Quote(argument);
    // A fresh file for every run: Wine may still hold the last run's open.
    const fs::path output = root_ / ("run" + std::to_string(++runs_));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ChildOutcome outcome;
    {
      const win32::UniqueHandle out(::CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  &inherit, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      STARTUPINFOW startup{};
      startup.cb = sizeof startup;
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdOutput = startup.hStdError = out.get();
      PROCESS_INFORMATION info{};
      if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &info))
        throw std::runtime_error("CreateProcessW failed: " + std::to_string(::GetLastError()));
      const win32::UniqueHandle process(info.hProcess), thread(info.hThread);
      if (::WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) ::TerminateProcess(process.get(), 99);
      ::GetExitCodeProcess(process.get(), &outcome.exit);
    }
    outcome.out = ReadBytes(output);
    for (auto at = outcome.out.find("\r\n"); at != std::string::npos; at = outcome.out.find("\r\n", at))
      outcome.out.erase(at, 1);
    return outcome;
  }

  ScratchDir root_{"cli"};
  int runs_ = 0;
  const fs::path folder_ = root_ / L"Mappen Grüße 日本";
};

// Given as UTF-16, a folder named outside the code page is walked, its
// workbook broken with a backup beside it, and the report is UTF-8 on a file
// or pipe, whatever the console's code page.
TEST_F(CliProgramTest, NonAsciiFolderIsWalkedBrokenWithABackupAndReportedInUtf8) {
  const fs::path linked = folder_ / L"Unter ñ" / L"Bücher.xlsx";
  fs::create_directories(linked.parent_path());
  WriteLinked(linked);
  const std::string before = ReadBytes(linked);
  const ChildOutcome broke = Run({L"--backup", folder_.wstring()});
  ASSERT_EQ(broke.exit, 0u) << broke.out;
  fs::path backup;
  for (const auto& entry : fs::directory_iterator(linked.parent_path()))
    if (entry.path().filename().wstring().starts_with(L"Bücher Backup ")) backup = entry.path();
  ASSERT_FALSE(backup.empty()) << broke.out;
  EXPECT_EQ(ReadBytes(backup), before);
  const std::string at = U8(linked.parent_path()) + "\\";
  EXPECT_EQ(broke.out, "changed: " + U8(linked) + ": 2 links broken\n  " + at + "Übersicht.xlsx\n  " + at +
                           "Zahlen €.xlsx\n  backup: " + U8(backup) + "\n1 workbook: 1 changed, 0 without links, 0 failed\n");
}

// What wmain returns: bad usage (2) apart from failed workbooks (1); success (0) is above.
TEST_F(CliProgramTest, ExitStatusSeparatesBadUsageFromFailedWorkbooks) {
  const fs::path good = folder_ / L"Gut ö.xlsx";
  WriteLinked(good);
  const std::string before = ReadBytes(good);
  const struct {
    std::vector<std::wstring> args;
    DWORD exit;
    std::string shown;  // in the output
  } runs[] = {
      {{L"--no-such-option", good.wstring()}, 2, "--no-such-option"},
      {{L"--list", L"/list"}, 1, "failed: /list: "},  // not an option, even where slash options are usual
      // No Excel in this prefix: at most its ProgID leads to the test class,
      // which only the in-process tests register.
      {{L"--engine", L"excel", good.wstring()}, 1, "Excel.Application"},
  };
  for (const auto& run : runs) {
    const ChildOutcome outcome = Run(run.args);
    EXPECT_EQ(outcome.exit, run.exit) << outcome.out;
    EXPECT_NE(outcome.out.find(run.shown), std::string::npos) << outcome.out;
  }
  EXPECT_EQ(ReadBytes(good), before);
}

}  // namespace
}  // namespace quorvane::tests
