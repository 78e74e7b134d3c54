// quorvane-cli.exe started as a separate process, as a user or script would,
// on workbooks in a folder whose name is not ASCII: the arguments arrive as
// UTF-16, the paths must survive to the engine and back out as UTF-8, and
// the folder walk is the Win32 one.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "base/Utf8Path.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/Resource.h"

namespace quorvane::tests {
namespace {

using nlohmann::json;

std::string U8(const fs::path& path) { return base::ToUtf8(path); }

// One argument as CommandLineToArgvW gives it back; the tests' arguments
// hold no quotes and end in no backslash.
std::wstring Quote(const std::wstring& argument) {
  return argument.empty() || argument.find_first_of(L" \t") != std::wstring::npos ? L"\"" + argument + L"\"" : argument;
}

struct ChildOutcome {
  DWORD exit = 0;
  std::string out, err;
};

// A workbook whose row 1 takes one value from each of `targets`.
void WriteLinked(const fs::path& path, const std::vector<std::string>& targets) {
  testing::WorkbookBuilder book;
  std::string row = "<row r=\"1\">";
  for (std::size_t k = 0; k < targets.size(); ++k) {
    book.AddBookLink({targets[k], {"Sheet1"}, "<sheetData sheetId=\"0\"><row r=\"1\"><cell r=\"A1\"><v>3</v></cell></row></sheetData>"});
    row += "<c r=\"" + std::string(1, static_cast<char>('A' + k)) + "1\"><f>[" + std::to_string(k + 1) + "]Sheet1!A1</f><v>3</v></c>";
  }
  book.AddSheet("Sheet1", row + "</row>");
  book.Write(path);
}

bool HasLinkParts(const fs::path& path) {
  const auto parts = testing::ReadPackage(path);
  return std::any_of(parts.begin(), parts.end(), [](const auto& part) { return part.first.starts_with("xl/externalLinks/"); });
}

class CliProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(folder_); }

  // quorvane-cli.exe, copied beside this program by the build; its output
  // goes to files, "\r\n" read back as "\n".
  ChildOutcome Run(const std::vector<std::wstring>& arguments) {
    std::wstring self(MAX_PATH, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
    const std::wstring program = fs::path(self).parent_path() / L"quorvane-cli.exe";
    std::wstring commandLine = Quote(program);
    for (const auto& argument : arguments) commandLine += L" " + Quote(argument);
    // Fresh files for every run: Wine may still hold the last run's open.
    const std::wstring stem = L"run" + std::to_wstring(++runs_);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto capture = [&](const wchar_t* name) {
      const HANDLE file = ::CreateFileW((root_ / (stem + name)).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("CreateFileW failed: " + std::to_string(::GetLastError()));
      return win32::UniqueHandle(file);
    };
    ChildOutcome outcome;
    {
      const win32::UniqueHandle out = capture(L".out"), err = capture(L".err");
      STARTUPINFOW startup{};
      startup.cb = sizeof startup;
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdOutput = out.get();
      startup.hStdError = err.get();
      PROCESS_INFORMATION info{};
      if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &info))
        throw std::runtime_error("CreateProcessW failed: " + std::to_string(::GetLastError()));
      const win32::UniqueHandle process(info.hProcess), thread(info.hThread);
      if (::WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) ::TerminateProcess(process.get(), 99);
      ::GetExitCodeProcess(process.get(), &outcome.exit);
    }
    const auto read = [&](const wchar_t* name) {
      std::string text = ReadBytes(root_ / (stem + name));
      for (auto at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
      return text;
    };
    outcome.out = read(L".out");
    outcome.err = read(L".err");
    return outcome;
  }

  ScratchDir root_{"cli"};
  int runs_ = 0;
  const fs::path folder_ = root_ / L"Mappen Grüße 日本";
};

TEST_F(CliProgramTest, ListWalksTheFolderByWin32RulesThenBackupAndBreakReportInUtf8) {
  const fs::path linked = folder_ / L"Bücher.xlsx", hidden = folder_ / L".Versteckt";
  WriteLinked(linked, {"Übersicht.xlsx", "file:///C:/Daten/Zahlen%20€.xlsx"});
  WriteLinked(folder_ / L"Ohne Links.xlsx", {});
  fs::create_directories(folder_ / L"Unter ñ");
  fs::create_directories(hidden);
  WriteLinked(folder_ / L"Unter ñ" / L"Tief.xlsm", {"Bücher.xlsx"});
  for (const fs::path& skipped : {folder_ / L"~$Bücher.xlsx", folder_ / L"notes.txt", hidden / L"Innen.xlsx"})
    WriteLinked(skipped, {"x.xlsx"});  // Excel's lock file, no workbook name, a hidden folder
  ASSERT_TRUE(::SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN));

  const ChildOutcome outcome = Run({L"--list", L"--json", folder_.wstring()});
  ASSERT_EQ(outcome.exit, 0u) << outcome.err;
  const json report = json::parse(outcome.out);
  std::set<std::string> paths;
  for (const json& book : report.at("workbooks")) paths.insert(book.at("path").get<std::string>());
  EXPECT_EQ(paths, (std::set<std::string>{U8(linked), U8(folder_ / L"Ohne Links.xlsx"), U8(folder_ / L"Unter ñ" / L"Tief.xlsm")}));
  for (const json& book : report.at("workbooks")) {
    if (book.at("path") != U8(linked)) continue;
    EXPECT_EQ(book.at("status"), "linked");
    // A relative target is resolved against the workbook's own folder.
    EXPECT_EQ(book.at("sources").at(0).at("name"), U8(folder_ / L"Übersicht.xlsx"));
    EXPECT_EQ(book.at("sources").at(0).at("cells"), 1);
    // The URL is decoded; the separator is the engine's choice.
    std::string url = book.at("sources").at(1).at("name");
    std::replace(url.begin(), url.end(), '/', '\\');
    EXPECT_EQ(url, "C:\\Daten\\Zahlen €.xlsx");
  }
  EXPECT_EQ(report.at("summary").at("linked"), 2);
  EXPECT_EQ(report.at("summary").at("unchanged"), 1);
  EXPECT_TRUE(HasLinkParts(linked)) << "--list changes nothing";

  // Broken with a backup beside it; the report is UTF-8 on a file or pipe,
  // whatever the console's code page.
  const std::string before = ReadBytes(linked);
  const ChildOutcome broke = Run({L"--backup", linked.wstring()});
  ASSERT_EQ(broke.exit, 0u) << broke.out << broke.err;
  EXPECT_FALSE(HasLinkParts(linked));
  const std::string sheet = testing::ReadPackage(linked).at("xl/worksheets/sheet1.xml");
  EXPECT_EQ(sheet.find("<f>"), std::string::npos);
  EXPECT_NE(sheet.find("<v>3</v>"), std::string::npos) << "the value shown stays";
  fs::path backup;
  for (const auto& entry : fs::directory_iterator(folder_))
    if (entry.path().filename().wstring().starts_with(L"Bücher Backup ")) backup = entry.path();
  ASSERT_FALSE(backup.empty()) << broke.out;
  EXPECT_EQ(backup.extension(), L".xlsx");
  EXPECT_EQ(ReadBytes(backup), before);
  EXPECT_NE(broke.out.find("changed: " + U8(linked) + ": 2 links broken\n"), std::string::npos) << broke.out;
  EXPECT_NE(broke.out.find("  backup: " + U8(backup) + "\n"), std::string::npos) << broke.out;
}

// What wmain returns: bad usage (2) apart from failed workbooks (1).
TEST_F(CliProgramTest, ExitStatusSeparatesBadUsageFromFailedWorkbooks) {
  const fs::path good = folder_ / L"Gut ö.xlsx";
  WriteLinked(good, {"Quelle.xlsx"});
  const std::string before = ReadBytes(good);
  const struct {
    std::vector<std::wstring> args;
    DWORD exit;
    std::string shown;  // in the output
  } runs[] = {
      {{}, 2, ""},
      {{L"--no-such-option", good.wstring()}, 2, "--no-such-option"},
      {{L"--help"}, 0, "--engine"},
      {{L"--list", L"/list"}, 1, "failed: /list: "},  // not an option, even where slash options are usual
      // No Excel in this prefix: at most its ProgID leads to the test class,
      // which only the in-process tests register.
      {{L"--engine", L"excel", good.wstring()}, 1, "Excel.Application"},
  };
  for (const auto& run : runs) {
    const ChildOutcome outcome = Run(run.args);
    EXPECT_EQ(outcome.exit, run.exit) << outcome.out << outcome.err;
    EXPECT_NE((outcome.out + outcome.err).find(run.shown), std::string::npos) << outcome.out << outcome.err;
  }
  EXPECT_EQ(ReadBytes(good), before);
}

}  // namespace
}  // namespace quorvane::tests
