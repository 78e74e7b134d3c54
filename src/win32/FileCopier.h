#pragma once
// links::FileCopier for Windows. The copy goes to the engine's kind of
// temporary file beside the target, held exclusively while it is written, and
// is renamed into place without replacing anything: the target is either
// absent or complete, an existing file is never touched, and what a killed
// copy leaves is cleared by the next run.

#include "links/Backup.h"

namespace quorvane::win32 {

class Win32FileCopier final : public links::FileCopier {
 public:
  links::CopyResult Copy(const std::string& from, const std::string& to) override;
};

}  // namespace quorvane::win32
