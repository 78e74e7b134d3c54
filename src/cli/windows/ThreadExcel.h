#pragma once
// Excel through COM for the CLI: one automation per worker thread, with the
// thread's COM apartment tied to it.

#include <memory>

#include "win32/ComExcel.h"
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield
#include "base/Excel.h"
#include "cli/Cli.h"

namespace quorvane::cli {

// Enters a single-threaded apartment on the constructing thread and drives
// Excel from there; must be used and destroyed on that thread. Throws a
// one-line reason when COM cannot be entered or Excel is not registered, so
// a run fails before it touches any workbook.
class ThreadExcel final : public base::ExcelAutomation {
 public:
  ThreadExcel();

  std::unique_ptr<base::ExcelApplication> GetRunning() override { return excel_.GetRunning(); }
  std::unique_ptr<base::ExcelApplication> Create() override { return excel_.Create(); }

 private:
  win32::ComInit com_;  // first in, last out: outlives every COM object below
  win32::ComExcel excel_;
};

// The factory quorvane-cli uses for --engine excel.
EngineFactory ComExcelFactory();

}  // namespace quorvane::cli
