#pragma once
// Whole-file copies for backups on POSIX systems.

#include "links/Backup.h"

namespace quorvane::cli {

// Copies into the engine's kind of temporary file in the target's folder,
// syncs it, then links it to the target name. link(2) never replaces an
// existing name, so an existing backup is never overwritten (TargetExists),
// and a failed or killed copy never leaves a partial file under the target
// name; a killed one's temporary file is cleared by the next run.
class PosixFileCopier final : public links::FileCopier {
 public:
  links::CopyResult Copy(const std::string& from, const std::string& to) override;
};

}  // namespace quorvane::cli
