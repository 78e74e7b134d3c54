#pragma once
// Files dropped onto the list from the shell or any other drag source.

#include <cstddef>
#include <string>

#include "filelist/FileList.h"

namespace quorvane::filelist {

inline constexpr int kFormatFileList = 15;  // CF_HDROP
inline constexpr int kDropEffectNone = 0;   // DROPEFFECT_NONE

// The data of a drag in progress.
class DragData {
 public:
  virtual ~DragData() = default;
  virtual bool GetFormat(int format) const = 0;
  virtual std::size_t FilesCount() const = 0;
  virtual std::string File(std::size_t index) const = 0;  // 1-based, as the source lists them
};

// Refuses a drag that carries no file list; otherwise leaves the effect the
// platform proposed.
void RefuseDragWithoutFiles(const DragData& data, int& effect);

// Appends every dropped path unchanged and in order; a folder becomes one
// entry, and nothing is filtered.
void AppendDroppedFiles(const DragData& data, FileList& list);

}  // namespace quorvane::filelist
