// quorvane-cli on Windows: the program started as a user or script would, with UTF-16 arguments
// naming folders outside the code page; its Excel engine in-process against the test automation
// class (registered in this process only, out of a separate quorvane-cli.exe's reach); its console.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <numeric>
#include <ostream>
#include <sstream>

#include "FakeExcelServer.h"
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield
#include "base/Utf8Path.h"
#include "cli/Cli.h"
#include "cli/windows/ThreadExcel.h"
#include "cli/windows/Utf16Console.h"
#include "support/ScratchDir.h"
#include "support/WorkbookBuilder.h"
#include "win32/DirectoryListing.h"
#include "win32/FileCopier.h"
#include "win32/RegionalClock.h"
#include "win32/Strings.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using tests::ReadBytes;

// A workbook with two linked cells, its sources named outside the code page.
void WriteLinked(const fs::path& path) {
  const std::string cached = R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>3</v></cell></row></sheetData>)";
  WorkbookBuilder book;
  book.AddBookLink({"Übersicht.xlsx", {"Sheet1"}, cached}).AddBookLink({"Zahlen €.xlsx", {"Sheet1"}, cached});
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><f>[1]Sheet1!A1</f><v>3</v></c><c r="B1"><f>[2]Sheet1!A1</f><v>3</v></c></row>)");
  book.Write(path);
}

// quorvane-cli.exe, copied beside this program by the build, its output to a fresh file (Wine may
// still hold the last run's open); the exit code and stdout and stderr together, "\r\n" as "\n".
std::pair<DWORD, std::string> RunCliExe(const std::vector<std::wstring>& arguments, const fs::path& output) {
  std::wstring self(MAX_PATH, L'\0');
  self.resize(::GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
  const std::wstring program = fs::path(self).parent_path() / L"quorvane-cli.exe";
  // Each argument quoted, as CommandLineToArgvW gives it back: ours hold no quotes nor end in "\\".
  std::wstring commandLine = L"\"" + program + L"\"";
  for (const auto& argument : arguments) commandLine += L" \"" + argument + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  DWORD exit = 0;
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
    ::GetExitCodeProcess(process.get(), &exit);
  }
  std::string text = ReadBytes(output);
  std::erase(text, '\r');
  return {exit, text};
}

// Given as UTF-16, a folder named outside the code page is walked, its workbook broken with a
// backup beside it, and the report is UTF-8 on a file or pipe, whatever the console's code page.
// What wmain returns: bad usage (2) apart from failed workbooks (1), which are left as they were.
TEST(CliProgram, Utf16ArgumentsReachTheWorkbooksUtf8LeavesAndTheExitStatusSaysWhatFailed) {
  const tests::ScratchDir root("cli");
  const fs::path folder = root / L"Mappen Grüße 日本";
  const fs::path linked = folder / L"Unter ñ" / L"Bücher.xlsx";
  fs::create_directories(linked.parent_path());
  WriteLinked(linked);
  const std::string before = ReadBytes(linked);
  const std::string at = base::ToUtf8(linked.parent_path()) + "\\";
  const struct {
    std::vector<std::wstring> args;
    DWORD exit;
    std::string shown;  // in the output
  } runs[] = {
      {{L"--no-such-option", linked.wstring()}, 2, "--no-such-option"},
      {{L"--list", L"/list"}, 1, "failed: /list: "},  // not an option, even where slash options are usual
      // No Excel in this prefix: at most its ProgID leads to the in-process tests' class.
      {{L"--engine", L"excel", linked.wstring()}, 1, "Excel.Application"},
      {{L"--backup", folder.wstring()}, 0, "changed: " + base::ToUtf8(linked) + ": 2 links broken\n  " + at +
                                                "Übersicht.xlsx\n  " + at + "Zahlen €.xlsx\n  backup: " + at +
                                                "Bücher Backup "},
  };
  for (const auto& run : runs) {
    const auto [exit, out] = RunCliExe(run.args, root / ("run" + std::to_string(&run - runs)));
    EXPECT_EQ(exit, run.exit) << out;
    EXPECT_NE(out.find(run.shown), std::string::npos) << out;
  }
  fs::path backup;
  for (const auto& entry : fs::directory_iterator(linked.parent_path()))
    if (entry.path().filename().wstring().starts_with(L"Bücher Backup ")) backup = entry.path();
  ASSERT_FALSE(backup.empty());
  EXPECT_EQ(ReadBytes(backup), before);
}

// One workbook at a time whatever --jobs says is tests/cli/PiecesTest's; here the COM wiring per
// thread: each workbook its own instance, its sources as UTF-8, and the window's safeguards: a
// workbook Excel would ask about is never handed to it, no macro runs, and a call that does not
// come back within --excel-timeout ends its instance.
TEST_F(FakeExcelTest, TheCommandLinesExcelEngineKeepsTheWindowsSafeguardsAndReportsInUtf8) {
  tests::ScratchDir folder("cli-excel");
  WorkbookBuilder book;
  book.AddSheet("Sheet1", R"(<row r="1"><c r="A1"><v>1</v></c></row>)");
  auto parts = book.Parts();
  std::string& workbook = parts["xl/workbook.xml"];
  workbook.insert(workbook.find("<sheets>"), R"(<fileSharing userName="Tester" reservationPassword="CC3D"/>)");
  const std::string reserved = win32::Narrow((folder / L"Geschützt.xlsx").wstring());
  WritePackage(folder / L"Geschützt.xlsx", parts);

  FakeExcel().separateProcesses = true;
  FakeExcel().linkSources = {L"C:\\Quellen\\\u00DCbersicht.xlsx", L"D:\\b.xls"};
  FakeExcel().faults = {{.step = "Open", .kind = FaultKind::Block}};
  const char* args[] = {"quorvane-cli", "--engine", "excel", "--jobs", "4", "--excel-timeout", "2", "--json",
                        reserved.c_str(), "C:\\x\\eins.xlsx", "C:\\x\\M\u00e4rz.xlsx"};
  win32::Win32FileCopier copier;
  win32::Win32RegionalClock clock;
  win32::Win32DirectoryListing listing;
  std::ostringstream out, err;
  EXPECT_EQ(cli::RunCli(static_cast<int>(std::size(args)), args,
                        {.out = out, .err = err, .copier = copier, .clock = clock, .listing = listing,
                         .builtin = [] { return std::unique_ptr<base::ExcelAutomation>(); },
                         .excel = cli::ComExcelFactory()}),
            1)
      << err.str();

  const nlohmann::json books = nlohmann::json::parse(out.str()).at("workbooks");
  EXPECT_EQ(books.at(0).at("reason"), "has a password to modify: not opened");
  EXPECT_EQ(books.at(1).at("reason"), "Open: Excel did not answer within 2 s; its instance was ended");
  EXPECT_EQ(books.at(2).at("status"), "changed");
  EXPECT_EQ(books.at(2).at("sources").at(0).at("name"), "C:\\Quellen\\\u00DCbersicht.xlsx");
  EXPECT_EQ(FakeExcel().instances.size(), 2u);
  for (const FakeInstance& instance : FakeExcel().instances) {
    EXPECT_EQ(instance.macrosRun, 0);
    EXPECT_TRUE(instance.process->EndsWithin(5000)) << "an instance is still running";
  }
}

// What the console stream hands on, write by write, for pieces each followed by a flush or not.
std::vector<std::wstring> Written(const std::vector<std::string>& pieces, bool flush = true) {
  std::vector<std::wstring> writes;
  {
    cli::Utf16Buffer buffer([&](std::wstring_view text) { writes.emplace_back(text); });
    std::ostream out(&buffer);
    for (const auto& piece : pieces) {
      out << piece;
      if (flush) out.flush();
    }
  }
  return writes;
}

std::wstring Joined(const std::vector<std::wstring>& writes) {
  return std::accumulate(writes.begin(), writes.end(), std::wstring());
}

// UTF-8 from the portable code reaches the console as UTF-16: characters cut by a flush arrive
// whole, broken bytes neither stall nor vanish, long text is passed on unflushed and cut nowhere.
TEST(Utf16Buffer, CharactersArriveWholeAndBrokenBytesNeitherStallNorVanish) {
  // ä cut after its first byte, 日 after two of three, U+1F4C4 after three of four.
  EXPECT_EQ(Written({"M\xC3", "\xA4rz \xE6\x97", "\xA5 \xF0\x9F\x93", "\x84\n"}),
            (std::vector<std::wstring>{L"M", L"\u00e4rz ", L"\u65e5 ", L"\U0001F4C4\n"}));
  // Not UTF-8 at all, then a cut sequence that never ends: shown when the stream goes.
  const std::wstring broken = Joined(Written({"a\xFF" "b", "c\xE2\x82"}));
  EXPECT_EQ(broken.substr(0, 4), L"a\uFFFDbc");
  EXPECT_GT(broken.size(), 4u) << "the dangling bytes are shown, not dropped";
  const auto writes = Written(std::vector<std::string>(10000, "Gr\xC3\xBC\xC3\x9F" "e\n"), false);
  EXPECT_GT(writes.size(), 1u) << "held back until the end";
  EXPECT_EQ(Joined(writes).size(), 60000u);
  EXPECT_EQ(Joined(writes).find(L'\uFFFD'), std::wstring::npos);
}

}  // namespace
}  // namespace quorvane::testing

int main(int argc, char** argv) { return quorvane::testing::RunTests(argc, argv); }
