#pragma once
// The link removal run over the file list: the main action of the tool.

#include <string>
#include <vector>

#include "base/Controls.h"
#include "base/Excel.h"
#include "base/MessageBoxes.h"
#include "base/PathList.h"
#include "base/PendingInput.h"
#include "links/Backup.h"

namespace quorvane::links {

struct RunServices {
  base::ExcelAutomation& excel;
  base::MessageBoxes& messages;
  FileCopier& copier;
  RegionalClock& clock;
  base::PendingInput& input;  // what the user pressed while the run worked
};

// What the run works on and shows on the window.
struct RunControls {
  const base::CheckBox& backupOption;  // read again for every workbook
  const base::PathList& files;
  base::Property<double>& progress;
  base::Property<int>& pointer;  // the window's
};

struct WorkbookFailure {
  std::string path;
  std::string reason;
};

inline constexpr const char* kNoFilesAdded = "No files added.";
inline constexpr const char* kDone = "Done.";

// Breaks the links of every workbook in the list, in list order, each after
// its backup when the option is ticked; a failing entry is reported in the
// final message and the run goes on. Input queued during the run is dropped
// before that message, so it neither answers the message nor starts another
// run.
void RemoveLinks(RunControls controls, RunServices services);

// The closing message: "Done." alone when nothing failed.
std::string FinalMessage(std::size_t total, const std::vector<WorkbookFailure>& failures);

}  // namespace quorvane::links
