#pragma once
// The Excel side of a run: the running check, the warning, and the sequence
// that breaks the links of one workbook in a fresh instance.

#include <memory>
#include <string>

#include "base/Controls.h"
#include "base/Excel.h"
#include "base/MessageBoxes.h"

namespace quorvane::links {

inline constexpr const char* kExcelOpenWarning =
    "Excel may be open. It is recommended that you close Excel first.\r\n\r\n"
    "Would you like to proceed anyway?";

// True when a running instance answers "Microsoft Excel"; any failure counts
// as not running. The running instance is only looked at.
bool IsExcelRunning(base::ExcelAutomation& excel);

// True means the run must not start (Excel runs and the user said No).
bool WarnIfExcelOpen(base::ExcelAutomation& excel, base::MessageBoxes& messages);

// A new instance with the workbook open and its macros off. If a step fails,
// the new instance is ended before the error is passed on.
std::unique_ptr<base::ExcelApplication> OpenWorkbookInExcel(base::ExcelAutomation& excel, const std::string& path);

// Breaks every Excel-workbook link source of the active workbook, one at a
// time, and gives what LinkSources lists afterwards (nothing when there was
// no link to begin with).
base::LinkSourceList BreakAllLinks(base::ExcelApplication& instance, base::Property<int>& pointer);

// Ends an instance this tool created after a failed step: alerts off, the
// workbook closed without saving, quit, and the platform's last resort.
// Never throws.
void EndAfterFailure(base::ExcelApplication& instance, bool workbookOpen) noexcept;

// The per-workbook sequence. `current` holds the previous workbook's
// instance; it is released only once the new instance has opened its
// workbook, and then holds the new one. Throws on the first failing step,
// after ending the new instance, and when a link to another workbook is
// left: a workbook counts as done only without any.
//
// With the automation's aids, a workbook Excel would ask about while opening
// is not handed to it (AutomationError without member, naming the obstacle),
// and links Excel leaves behind go to the built-in engine once Excel has let
// go of the file.
void BreakWorkbookLinks(base::ExcelAutomation& excel, const std::string& path,
                        std::unique_ptr<base::ExcelApplication>& current, base::Property<int>& pointer);

// "Member: reason" for the report of a failed workbook.
std::string DescribeFailure(const std::exception& error);

}  // namespace quorvane::links
