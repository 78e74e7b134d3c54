#pragma once
// links::FileCopier with CopyFileW. The copy goes to a temporary name beside
// the target and is renamed into place without replacing anything, so the
// target is either absent or complete, and an existing file is never touched.

#include "links/Backup.h"

namespace quorvane::win32 {

class Win32FileCopier final : public links::FileCopier {
 public:
  links::CopyResult Copy(const std::string& from, const std::string& to) override;
};

}  // namespace quorvane::win32
