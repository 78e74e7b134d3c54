// quorvane-cli: breaks or lists the links between workbooks from the shell.

#include <stdlib.h>
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

// libzip turns each entry's DOS time into a time_t with mktime, and glibc
// reads /etc/localtime's status again on every such call while TZ is unset:
// dozens of system calls per workbook. Naming the same default zone once
// (a TZ the user set is kept) makes it read once.
void PinDefaultTimeZone() { ::setenv("TZ", ":/etc/localtime", 0); }

}  // namespace

int main(int argc, char** argv) {
  PinDefaultTimeZone();
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
