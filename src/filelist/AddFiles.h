#pragma once
// "Add Excel File(s)": the open dialog and the turning of its result into
// list entries.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/MessageBoxes.h"
#include "filelist/FileList.h"

namespace quorvane::filelist {

// OFN_READONLY | OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT | OFN_EXPLORER |
// OFN_LONGNAMES. The run writes to every file chosen, so "Open as read-only"
// is hidden rather than offered ticked; OFN_READONLY only preset that tick.
inline constexpr long kOpenFlags = 0x280205;
inline constexpr const char* kOpenTitle = "Add File(s) - Hold Ctrl to select multiple files";
inline constexpr const char* kOpenFilter = "Excel Files (*.xl*)|*.xl*|";
inline constexpr const char* kSelectionTooLarge =
    "The selection is too large. Please select fewer files at a time.";

// The system's file-open dialog. The settings are applied before every showing.
class OpenFileDialog {
 public:
  // Room for the whole result of a multiple selection, in characters.
  static constexpr std::size_t kMaxFileSize = 30000;

  enum class ShowResult {
    Closed,    // chosen or cancelled: FileName() tells which
    TooLarge,  // the selection did not fit into kMaxFileSize
  };

  virtual ~OpenFileDialog() = default;
  virtual void SetFileName(const std::string& fileName) = 0;
  virtual void SetFlags(long flags) = 0;
  virtual void SetDialogTitle(const std::string& title) = 0;
  virtual void SetFilter(const std::string& filter) = 0;
  // Modal. Throws std::exception when the dialog cannot be shown at all.
  virtual ShowResult ShowOpen() = 0;
  // Empty after a cancel; otherwise one full path, or the folder and the
  // chosen names separated by NUL characters.
  virtual std::string FileName() const = 0;
};

// The paths named by a dialog result, in order. An empty part ends the list,
// as the double NUL does in the dialog's own buffer.
std::vector<std::string> ParseOpenResult(std::string_view result);

// Shows the dialog with the settings above and appends the chosen files in
// order. A dialog that cannot be shown, or a selection too large for it, is
// told in a message box and appends nothing.
void AddFromOpenDialog(OpenFileDialog& dialog, FileList& list, base::MessageBoxes& boxes);

}  // namespace quorvane::filelist
