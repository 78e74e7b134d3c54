#pragma once
// The automation a run uses: Excel through COM when it is installed,
// otherwise the built-in workbook engine. Asked afresh for every workbook, so
// an Excel installed or repaired meanwhile is picked up.

#include <memory>

#include "base/Excel.h"

namespace quorvane::win32 {

class EngineChoice final : public base::ExcelAutomation {
 public:
  // Both are borrowed and must outlive the choice.
  EngineChoice(base::ExcelAutomation& excel, base::ExcelAutomation& builtin) : excel_(excel), builtin_(builtin) {}

  // Only a running Excel counts: the built-in engine never "runs".
  std::unique_ptr<base::ExcelApplication> GetRunning() override { return excel_.GetRunning(); }
  std::unique_ptr<base::ExcelApplication> Create() override;
  // Excel's, which it gives only while it is installed.
  base::ExcelAids Aids() override { return excel_.Aids(); }

 private:
  base::ExcelAutomation& excel_;
  base::ExcelAutomation& builtin_;
};

}  // namespace quorvane::win32
