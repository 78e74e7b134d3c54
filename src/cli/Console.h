#pragma once
// The live report while workbooks finish, possibly out of order: results are
// printed in input order as soon as all before them are done, and a
// terminal gets a progress bar.

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Actions.h"

namespace quorvane::cli {

struct ConsoleSettings {
  Action action = Action::Break;
  bool lines = true;     // per-workbook text (off for JSON)
  bool quiet = false;    // only failures
  bool progress = false; // redraw a bar on `err` (a terminal)
  std::function<int()> columns;  // the terminal's width now; 0 or none: unknown
};

class Console {
 public:
  Console(std::ostream& out, std::ostream& err, ConsoleSettings settings, std::size_t total);

  // Thread-safe.
  void Finished(std::size_t index, WorkbookReport report);
  // Clears the bar and gives every report in input order. Call after all
  // workers have stopped.
  std::vector<WorkbookReport> Close();

  // Standard output failed (a closed pipe, a full disk): what was said then
  // on `err`, or "" while it works. From then on nothing more goes to `out`.
  std::string OutputLost();

 private:
  void DrawBar();
  void ClearBar();
  void CheckOutput();

  std::ostream& out_;
  std::ostream& err_;
  ConsoleSettings settings_;
  std::mutex mutex_;
  std::vector<std::optional<WorkbookReport>> reports_;
  std::size_t printed_ = 0;
  std::size_t finished_ = 0;
  bool barShown_ = false;
  std::string lost_;
};

}  // namespace quorvane::cli
