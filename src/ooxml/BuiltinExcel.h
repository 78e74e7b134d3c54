#pragma once
// The automation interface implemented by the built-in engine, for machines
// without Excel. There is never a running instance to attach to; a created
// one opens one workbook, breaks its book links and saves it.
//
// A source given to BreakLink is no longer listed by LinkSources, as in
// Excel. LinkSources and BreakLink accept only type 1 (links to Excel workbooks);
// any other type throws AutomationError, since the engine neither lists nor
// breaks DDE and OLE links.

#include <memory>
#include <string>

#include "base/Excel.h"

namespace quorvane::ooxml {

inline constexpr const char* kBuiltinEngineName = "Quorvane built-in engine";

class BuiltinAutomation : public base::ExcelAutomation {
 public:
  std::unique_ptr<base::ExcelApplication> GetRunning() override;
  std::unique_ptr<base::ExcelApplication> Create() override;
};

}  // namespace quorvane::ooxml
