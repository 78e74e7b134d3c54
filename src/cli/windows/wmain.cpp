// quorvane-cli on Windows: UTF-16 arguments turned into UTF-8 for the
// portable code, the Win32 folder listing and file copier, and Excel through
// COM when --engine excel asks for it.
#include <windows.h>
#undef Yield  // a 16-bit leftover macro; AddFolder.h has a member of that name

#include <atomic>
#include <exception>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/Options.h"
#include "cli/windows/ThreadExcel.h"
#include "cli/windows/Utf16Console.h"
#include "ooxml/BuiltinExcel.h"
#include "win32/DirectoryListing.h"
#include "win32/FileCopier.h"
#include "win32/RegionalClock.h"
#include "win32/Strings.h"

namespace qc = quorvane::cli;
namespace qw = quorvane::win32;

namespace {

// Ctrl-C or Ctrl-Break: the first stops starting workbooks and lets the run
// report (status 130); a second is left to the system, which ends the
// program at once. Nothing is half-written either way: a workbook is only
// ever replaced whole.
std::atomic<int> stopStatus{0};

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  int none = 0;
  return stopStatus.compare_exchange_strong(none, 130) ? TRUE : FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  qc::StandardStreams streams;
  // Started from a Downloads folder, the program must not load a DLL planted
  // beside it, now or later (COM, Excel): DLLs come from the system folder only.
  if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    streams.Err() << "quorvane-cli: the system folder could not be made the only place for DLLs\n";
    return qc::kExitSomeFailed;
  }
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    try {
      args.push_back(qw::Narrow(argv[i]));
    } catch (const std::exception&) {
      // An unpaired surrogate: no UTF-8 path could ever name that file.
      streams.Err() << "quorvane-cli: argument " << i << " is not valid Unicode text\n";
      return qc::kExitUsage;
    }
  }
  std::vector<const char*> pointers;
  pointers.reserve(args.size());
  for (const auto& arg : args) pointers.push_back(arg.c_str());

  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  qw::Win32FileCopier copier;
  qw::Win32RegionalClock clock;
  qw::Win32DirectoryListing listing;
  qc::Environment env{
      .out = streams.Out(),
      .err = streams.Err(),
      .copier = copier,
      .clock = clock,
      .listing = listing,
      .errIsTerminal = streams.ErrCanShowProgress(),
      .builtin = [] { return std::make_unique<quorvane::ooxml::BuiltinAutomation>(); },
      .excel = qc::ComExcelFactory(),
      .errColumns =
          [] {
            CONSOLE_SCREEN_BUFFER_INFO info{};
            if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
            return info.srWindow.Right - info.srWindow.Left + 1;
          },
      .stopStatus = &stopStatus,
  };
  return qc::RunCli(static_cast<int>(pointers.size()), pointers.data(), env);
}
