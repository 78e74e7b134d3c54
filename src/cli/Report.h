#pragma once
// What quorvane-cli tells the user: one line (or block) per workbook, the
// closing summary, and the same as JSON.

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Actions.h"

namespace quorvane::cli {

// "changed", "unchanged", "linked", "failed" or "not started".
const char* StatusName(Status status);

// The text report of one workbook, ending in a newline.
std::string FormatWorkbook(const WorkbookReport& report, Action action);

// "3 workbooks: 1 changed, 1 without links, 1 failed" (break) or
// "3 workbooks: 1 with links, 1 without links, 1 failed" (list), with
// ", 2 not started" after an interruption.
std::string FormatSummary(const std::vector<WorkbookReport>& reports, Action action);

// The whole report as one JSON document.
void WriteJson(std::ostream& out, const std::vector<WorkbookReport>& reports, Action action);

// A JSON string literal. Bytes that are not valid UTF-8 (file names on POSIX
// may hold any) become U+FFFD so the document stays valid.
std::string JsonString(std::string_view text);

}  // namespace quorvane::cli
