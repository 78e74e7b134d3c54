#pragma once
// Excel through COM for the CLI: one automation per worker thread, with the
// thread's COM apartment tied to it.

#include <chrono>
#include <memory>

#include "ooxml/BuiltinExcel.h"
#include "ooxml/ObstacleFinder.h"
#include "win32/ComExcel.h"
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield
#include "base/Excel.h"
#include "cli/Cli.h"

namespace quorvane::cli {

// Enters a single-threaded apartment on the constructing thread and drives
// Excel from there, with the retrying message filter registered; must be
// used and destroyed on that thread. Each call gets `deadline`. Workbooks
// are looked at before Excel opens them, and links Excel leaves go to the
// built-in engine. Throws a one-line reason when COM cannot be entered or
// Excel is not registered, so a run fails before it touches any workbook.
class ThreadExcel final : public base::ExcelAutomation {
 public:
  explicit ThreadExcel(std::chrono::seconds deadline);

  std::unique_ptr<base::ExcelApplication> GetRunning() override { return excel_.GetRunning(); }
  std::unique_ptr<base::ExcelApplication> Create() override { return excel_.Create(); }
  base::ExcelAids Aids() override { return excel_.Aids(); }

 private:
  win32::ComInit com_;  // first in, last out: outlives every COM object below
  ooxml::EngineObstacleFinder obstacleFinder_;
  ooxml::BuiltinAutomation builtin_;
  win32::ComExcel excel_;
};

// The factory quorvane-cli uses for --engine excel.
ExcelFactory ComExcelFactory();

}  // namespace quorvane::cli
