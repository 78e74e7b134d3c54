#pragma once
// The link removal run over the file list: the main action of the tool.

#include <string>
#include <vector>

#include "base/Controls.h"
#include "base/Excel.h"
#include "base/MessageBoxes.h"
#include "filelist/FileList.h"
#include "links/Backup.h"

namespace quorvane::links {

struct RunServices {
  base::ExcelAutomation& excel;
  base::MessageBoxes& messages;
  FileCopier& copier;
  RegionalClock& clock;
};

// What the run works on and shows on the window.
struct RunControls {
  base::CheckBox& check2;        // "Remove File Links"
  const base::CheckBox& check3;  // the backup option
  const filelist::FileList& files;
  base::Property<double>& progress;
  base::Property<int>& pointer;  // the window's
};

struct WorkbookFailure {
  std::string path;
  std::string reason;
};

inline constexpr const char* kNoFilesAdded = "No files added.";
inline constexpr const char* kDone = "Done.";

// The click handler of "Remove File Links". Every entry is worked on in list
// order; a failing entry is reported in the final message and the run goes on.
void Check2Click(RunControls controls, RunServices services);

// The closing message: "Done." alone when nothing failed.
std::string FinalMessage(std::size_t total, const std::vector<WorkbookFailure>& failures);

}  // namespace quorvane::links
