#pragma once
// Turns the paths of the command line into the workbooks to work on.

#include <string>
#include <vector>

#include "filelist/AddFolder.h"

namespace quorvane::cli {

// Files are taken as given (also when missing: the run reports them). A
// folder gives every workbook in it and below it, found by the tool's own
// walk: level by level, names matching "*.xl*", names beginning with "~"
// skipped, hidden and linked folders not entered.
std::vector<std::string> CollectWorkbooks(const std::vector<std::string>& paths,
                                          filelist::DirectoryListing& listing);

}  // namespace quorvane::cli
