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

int StopStatus(const Environment& env) { return env.stopStatus ? env.stopStatus->load() : 0; }

int Run(const Options& options, Environment& env) {
  const std::vector<std::string> workbooks = CollectWorkbooks(options.paths, env.listing);
  const Action action = options.list ? Action::List : Action::Break;

  ConsoleSettings settings;
  settings.action = action;
  settings.lines = !options.json;
  settings.quiet = options.quiet;
  settings.progress = env.errIsTerminal && !options.quiet;
  settings.columns = env.errColumns;
  Console console(env.out, env.err, settings, workbooks.size());

  EngineFactory makeEngine = env.builtin;
  if (options.engine == Engine::Excel) {
    makeEngine = {};
    if (env.excel) makeEngine = [&] { return env.excel(std::chrono::seconds(options.excelTimeout)); };
  }
  // Excel instances are whole processes that do not take kindly to being
  // run side by side: one workbook at a time there.
  const unsigned jobs = options.engine == Engine::Excel ? 1u : options.jobs;
  // One flag per position, each written by the one thread that takes it.
  std::vector<char> started(workbooks.size(), 0);
  const auto makeWorker = [&]() -> std::function<void(std::size_t)> {
    if (action == Action::List) {
      return [&](std::size_t i) {
        started[i] = 1;
        console.Finished(i, ListOne(workbooks[i]));
      };
    }
    // Each thread has its own engine; the copier and clock keep no state.
    std::shared_ptr<base::ExcelAutomation> engine = makeEngine ? makeEngine() : nullptr;
    if (!engine) throw std::runtime_error("the chosen engine cannot be started");
    const BreakServices services{*engine, env.copier, env.clock, options.backup, options.engine == Engine::Builtin};
    return [&, engine, services](std::size_t i) {
      started[i] = 1;
      console.Finished(i, BreakOne(workbooks[i], services));
    };
  };
  if (StopStatus(env) == 0) RunGroups(GroupSameFiles(workbooks), jobs, makeWorker, [&] { return StopStatus(env) != 0; });
  for (std::size_t i = 0; i < workbooks.size(); ++i) {
    if (started[i]) continue;
    WorkbookReport report;
    report.path = workbooks[i];
    report.status = Status::NotStarted;
    console.Finished(i, std::move(report));
  }

  const std::vector<WorkbookReport> reports = console.Close();
  const std::string summary = FormatSummary(reports, action);
  if (options.json) {
    WriteJson(env.out, reports, action);
  } else if (!options.quiet) {
    env.out << summary << "\n";
  }
  // A report that did not reach its reader: what matters goes to `err`.
  const std::string lost = console.OutputLost();
  if (!lost.empty()) {
    for (const auto& report : reports) {
      if (report.status == Status::Failed || report.status == Status::NotStarted)
        env.err << FormatWorkbook(report, action);
    }
    env.err << summary << "\n";
  }
  if (const int stop = StopStatus(env)) {
    env.err << "quorvane-cli: stopped before its end: every workbook is either done or left as it was\n";
    return stop;
  }
  if (!lost.empty()) return kExitOutputLost;
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
