#pragma once
// quorvane-cli as a function: everything but the choice of engine and the
// process's own streams.

#include <functional>
#include <memory>
#include <ostream>

#include "links/Excel.h"

namespace quorvane::cli {

// Makes one automation for one worker thread.
using EngineFactory = std::function<std::unique_ptr<links::ExcelAutomation>()>;

struct Environment {
  std::ostream& out;
  std::ostream& err;
  bool errIsTerminal = false;
  bool excelAvailable = false;
  EngineFactory builtin;
};

// Parses the arguments, collects the workbooks, works on them and reports.
// Returns the exit status; never throws.
int RunCli(int argc, const char* const* argv, Environment env);

}  // namespace quorvane::cli
