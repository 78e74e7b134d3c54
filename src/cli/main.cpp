// quorvane-cli: breaks or lists the links between workbooks from the shell.

#include <unistd.h>

#include <iostream>
#include <locale>
#include <memory>

#include "cli/Cli.h"
#include "cli/PosixFileCopier.h"
#include "filelist/StdDirectoryListing.h"
#include "links/Backup.h"
#include "ooxml/BuiltinExcel.h"

namespace {

// Only the time category follows the environment: the backup stamp wants the
// user's day and month names, while numbers in the report and in the
// engine's parsing must stay classic whatever the locale.
void UseEnvironmentTimeNames() {
  try {
    std::locale::global(std::locale(std::locale::classic(), std::locale(""), std::locale::time));
  } catch (const std::exception&) {
    std::locale::global(std::locale::classic());
  }
}

}  // namespace

int main(int argc, char** argv) {
  UseEnvironmentTimeNames();
  quorvane::cli::PosixFileCopier copier;
  quorvane::links::LocaleClock clock;
  quorvane::filelist::StdDirectoryListing listing;
  quorvane::cli::Environment env{
      .out = std::cout,
      .err = std::cerr,
      .copier = copier,
      .clock = clock,
      .listing = listing,
      .errIsTerminal = ::isatty(STDERR_FILENO) == 1,
      .builtin = [] { return std::make_unique<quorvane::ooxml::BuiltinAutomation>(); },
      .excel = {},  // no COM here
  };
  return quorvane::cli::RunCli(argc, argv, env);
}
