#include "cli/Cli.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "cli/Actions.h"
#include "cli/Collect.h"
#include "cli/Console.h"
#include "cli/Options.h"
#include "cli/Parallel.h"
#include "cli/Report.h"

namespace quorvane::cli {
namespace {

int Run(const Options& options, Environment& env) {
  const std::vector<std::string> workbooks = CollectWorkbooks(options.paths, env.listing);
  const Action action = options.list ? Action::List : Action::Break;

  ConsoleSettings settings;
  settings.action = action;
  settings.lines = !options.json;
  settings.quiet = options.quiet;
  settings.progress = env.errIsTerminal && !options.quiet;
  Console console(env.out, env.err, settings, workbooks.size());

  const EngineFactory& makeEngine = options.engine == Engine::Excel ? env.excel : env.builtin;
  // Excel instances are whole processes that do not take kindly to being
  // run side by side: one workbook at a time there.
  const unsigned jobs = options.engine == Engine::Excel ? 1u : options.jobs;
  const auto makeWorker = [&]() -> std::function<void(std::size_t)> {
    if (action == Action::List) {
      return [&](std::size_t i) { console.Finished(i, ListOne(workbooks[i])); };
    }
    // Each thread has its own engine; the copier and clock keep no state.
    std::shared_ptr<base::ExcelAutomation> engine = makeEngine ? makeEngine() : nullptr;
    if (!engine) throw std::runtime_error("the chosen engine cannot be started");
    const BreakServices services{*engine, env.copier, env.clock, options.backup, options.engine == Engine::Builtin};
    return [&, engine, services](std::size_t i) {
      console.Finished(i, BreakOne(workbooks[i], services));
    };
  };
  RunGroups(GroupSameFiles(workbooks), jobs, makeWorker);

  const std::vector<WorkbookReport> reports = console.Close();
  if (options.json) {
    WriteJson(env.out, reports, action);
  } else if (!options.quiet) {
    env.out << FormatSummary(reports, action) << "\n";
  }
  env.out.flush();
  for (const auto& report : reports) {
    if (report.status == Status::Failed) return kExitSomeFailed;
  }
  return kExitDone;
}

}  // namespace

int RunCli(int argc, const char* const* argv, Environment env) {
  try {
    auto parsed = ParseCommandLine(argc, argv, static_cast<bool>(env.excel));
    if (const auto* exit = std::get_if<ParseExit>(&parsed)) {
      (exit->exitCode == kExitDone ? env.out : env.err) << exit->text << "\n";
      return exit->exitCode;
    }
    return Run(std::get<Options>(parsed), env);
  } catch (const std::exception& error) {
    env.err << "quorvane-cli: " << error.what() << "\n";
  } catch (...) {
    env.err << "quorvane-cli: unexpected failure\n";
  }
  return kExitSomeFailed;
}

}  // namespace quorvane::cli
