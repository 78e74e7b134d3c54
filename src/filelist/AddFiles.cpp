#include "filelist/AddFiles.h"

#include <exception>

#include "base/Path.h"

namespace quorvane::filelist {

std::vector<std::string> ParseOpenResult(std::string_view result) {
  std::vector<std::string_view> parts;
  while (!result.empty()) {
    const auto nul = result.find('\0');
    const auto part = result.substr(0, nul);
    if (part.empty()) break;
    parts.push_back(part);
    if (nul == std::string_view::npos) break;
    result.remove_prefix(nul + 1);
  }

  std::vector<std::string> paths;
  if (parts.size() == 1) {
    // A single choice comes back as a full path and is kept exactly.
    paths.emplace_back(parts.front());
  } else if (parts.size() > 1) {
    paths.reserve(parts.size() - 1);
    for (std::size_t i = 1; i < parts.size(); ++i) paths.push_back(base::JoinPath(parts.front(), parts[i]));
  }
  return paths;
}

void AddFromOpenDialog(OpenFileDialog& dialog, FileList& list, base::MessageBoxes& boxes) {
  dialog.SetFileName("");
  dialog.SetFlags(kOpenFlags);
  dialog.SetDialogTitle(kOpenTitle);
  dialog.SetFilter(kOpenFilter);

  OpenFileDialog::ShowResult shown;
  try {
    shown = dialog.ShowOpen();
  } catch (const std::exception& e) {
    // A handler must not let a platform failure end the program.
    boxes.Show(std::string("The file dialog could not be shown: ") + e.what(),
               base::MessageButtons::Ok);
    return;
  }
  if (shown == OpenFileDialog::ShowResult::TooLarge) {
    boxes.Show(kSelectionTooLarge, base::MessageButtons::Ok);
    return;
  }

  for (auto& path : ParseOpenResult(dialog.FileName())) list.Add(std::move(path));
}

}  // namespace quorvane::filelist
