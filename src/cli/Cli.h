#pragma once
// quorvane-cli as a function. The platform's main supplies the streams, the
// engines and the file services; everything else is portable.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>

#include "base/Excel.h"
#include "filelist/AddFolder.h"
#include "links/Backup.h"

namespace quorvane::cli {

// Makes one automation for one worker thread.
using EngineFactory = std::function<std::unique_ptr<base::ExcelAutomation>()>;
// The same for Excel, whose calls each get the deadline.
using ExcelFactory = std::function<std::unique_ptr<base::ExcelAutomation>(std::chrono::seconds deadline)>;

struct Environment {
  std::ostream& out;
  std::ostream& err;
  links::FileCopier& copier;   // shared by the worker threads
  links::RegionalClock& clock; // shared by the worker threads
  filelist::DirectoryListing& listing;  // for the folders named
  bool errIsTerminal = false;
  EngineFactory builtin;
  ExcelFactory excel;  // empty where Excel cannot be driven
  // The width of the terminal `err` shows on, asked again at every redraw.
  std::function<int()> errColumns{};
  // Set by the platform once the user asked the run to stop: the exit
  // status to end with (128 + the signal's number); 0 while none.
  const std::atomic<int>* stopStatus = nullptr;
};

// Parses the arguments, collects the workbooks, works on them and reports.
// Returns the exit status; never throws. Once stopStatus is set no further
// workbook is started, those under way finish, the rest are reported as not
// started and stopStatus's value is returned.
int RunCli(int argc, const char* const* argv, Environment env);

}  // namespace quorvane::cli
