#include "cli/Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <thread>

#include "base/Excel.h"
#include "quorvane/Version.h"

namespace quorvane::cli {

std::variant<Options, ParseExit> ParseCommandLine(int argc, const char* const* argv,
                                                  bool excelAvailable) {
  Options options;
  options.jobs = std::max(1u, std::thread::hardware_concurrency());
  options.excelTimeout = static_cast<unsigned>(base::kDefaultExcelDeadline.count());

  CLI::App app{
      "Breaks the links to other workbooks in every workbook named: each formula that\n"
      "reaches into another workbook keeps the value it shows now. Folders are walked\n"
      "with all their subfolders; names containing \".xl\" are taken, names beginning\n"
      "with \"~\", this tool's own backups and hidden folders are skipped.",
      "quorvane-cli"};
  // "/data/book.xlsx" is a path, never an option, on every system.
  app.allow_windows_style_options(false);
  app.footer(
      "Exit status: 0 all done, 1 some workbooks failed (the others were done), 2 bad usage,\n"
      "3 the report could not be written to standard output (the work was still done),\n"
      "128 + N stopped by signal N (workbooks under way were finished, the rest not started).");
  app.add_option("PATH", options.paths, "Workbooks and folders, worked on in this order")
      ->required()
      ->type_name("");
  app.add_flag("--backup", options.backup,
               "First copy each workbook to \"<name> Backup <time and date>.<ext>\" beside it");
  app.add_flag("--list", options.list, "Change nothing; list each workbook's link sources and their uses");
  app.add_flag("--json", options.json, "Write the report as JSON on standard output");
  app.add_option("-j,--jobs", options.jobs, "Workbooks worked on at once (default: the number of cores)")
      ->check(CLI::Range(1u, 256u))
      ->type_name("N");
  std::string engine = "builtin";
  app.add_option("--engine", engine, "builtin (default), or excel (Windows with Excel only)")
      ->check(CLI::IsMember({"builtin", "excel"}))
      ->type_name("NAME");
  const auto* timeout =
      app.add_option("--excel-timeout", options.excelTimeout,
                     "With --engine excel: seconds one call may take before that Excel instance is ended "
                     "(default: " + std::to_string(base::kDefaultExcelDeadline.count()) + ")")
          ->check(CLI::Range(1u, static_cast<unsigned>(base::kLongestExcelDeadline.count())))
          ->type_name("SECONDS");
  app.add_flag("-q,--quiet", options.quiet, "Print failures only");
  app.set_version_flag("--version", "quorvane-cli " QUORVANE_VERSION, "Print the version and exit");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return ParseExit{kExitDone, app.help()};
  } catch (const CLI::CallForVersion& version) {
    return ParseExit{kExitDone, version.what()};
  } catch (const CLI::ParseError& error) {
    return ParseExit{kExitUsage, std::string(error.what()) + "\nRun with --help for more information."};
  }
  options.engine = engine == "excel" ? Engine::Excel : Engine::Builtin;
  if (options.engine == Engine::Excel && !excelAvailable) {
    return ParseExit{kExitUsage,
                     "--engine excel needs Microsoft Excel on Windows; this build has only the "
                     "built-in engine"};
  }
  if (timeout->count() > 0 && (options.engine != Engine::Excel || options.list)) {
    return ParseExit{kExitUsage, "--excel-timeout applies to --engine excel breaking links only"};
  }
  if (options.backup && options.list) {
    return ParseExit{kExitUsage, "--backup makes no sense with --list, which changes nothing"};
  }
  return options;
}

}  // namespace quorvane::cli
