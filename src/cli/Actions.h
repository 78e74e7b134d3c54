#pragma once
// The two actions of quorvane-cli on one workbook: break its links (through
// the program's own per-workbook sequence) or list them.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/Excel.h"
#include "links/Backup.h"
#include "ooxml/Workbook.h"

namespace quorvane::cli {

enum class Action { Break, List };

enum class Status {
  Changed,  // break: links broken and saved
  NoLinks,  // no links to other workbooks; the file was not touched
  Linked,   // list: the workbook has links
  Failed,   // the file was left as it was (a backup may exist)
  NotStarted,  // the run was interrupted before this workbook's turn
};

struct SourceReport {
  std::string name;  // the source for book links, the stored target otherwise
  std::string kind;  // "book", "dde", "ole" or "other"
  std::optional<ooxml::LinkUsage> usage;  // listed workbooks only
  ooxml::LinkForm form = ooxml::LinkForm::Listed;
};

struct WorkbookReport {
  std::string path;
  Status status = Status::Failed;
  std::string reason;  // why it failed
  std::string backup;  // the backup copy made, if any
  std::vector<SourceReport> sources;
};

struct BreakServices {
  base::ExcelAutomation& engine;  // one per thread
  links::FileCopier& copier;
  links::RegionalClock& clock;
  bool backup = false;
  // The built-in engine's files are known before any copy is made: a file
  // it would refuse gets no backup.
  bool builtinEngine = false;
};

// Backup first when asked (a failed backup leaves the workbook untouched),
// then the per-workbook sequence. Never throws: failures are in the report.
WorkbookReport BreakOne(const std::string& path, BreakServices services);

// Reads the workbook's links and their uses; writes nothing. Never throws.
WorkbookReport ListOne(const std::string& path);

}  // namespace quorvane::cli
