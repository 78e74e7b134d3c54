#include "filelist/Drop.h"

namespace quorvane::filelist {

void RefuseDragWithoutFiles(const DragData& data, int& effect) {
  if (!data.GetFormat(kFormatFileList)) effect = kDropEffectNone;
}

void AppendDroppedFiles(const DragData& data, FileList& list) {
  const std::size_t count = data.FilesCount();
  for (std::size_t i = 1; i <= count; ++i) list.Add(data.File(i));
}

}  // namespace quorvane::filelist
