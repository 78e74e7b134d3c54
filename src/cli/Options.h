#pragma once
// The command line of quorvane-cli.

#include <string>
#include <variant>
#include <vector>

namespace quorvane::cli {

enum class Engine { Builtin, Excel };

struct Options {
  std::vector<std::string> paths;
  bool backup = false;
  bool list = false;
  bool json = false;
  bool quiet = false;
  unsigned jobs = 1;
  Engine engine = Engine::Builtin;
  // --engine excel: seconds one Excel call may take before its instance is ended.
  unsigned excelTimeout = 0;
};

inline constexpr int kExitDone = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
// The work went on to the end but standard output could not take the report
// (a closed pipe, a full disk); standard error has the failures and summary.
inline constexpr int kExitOutputLost = 3;

// What the program must do when the arguments do not ask for a run: print
// `text` (help on stdout, an error on stderr) and exit with `exitCode`.
struct ParseExit {
  int exitCode = kExitUsage;
  std::string text;
};

// Parses argv. `excelAvailable` tells whether this build can drive Excel.
std::variant<Options, ParseExit> ParseCommandLine(int argc, const char* const* argv,
                                                  bool excelAvailable);

}  // namespace quorvane::cli
