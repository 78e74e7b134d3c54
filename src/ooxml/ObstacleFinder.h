#pragma once
// The look taken at a workbook before Excel opens it, with what the engine
// knows of workbook files: encrypted packages and legacy workbooks, write-
// reservation passwords in either kind, and files another program holds.

#include <filesystem>
#include <string_view>

#include "base/OpeningObstacle.h"

namespace quorvane::ooxml {

class EngineObstacleFinder final : public base::ObstacleFinder {
 public:
  base::OpeningObstacle Look(const std::string& path) noexcept override;
};

// What the first records of a legacy workbook stream (BIFF2 to BIFF8) say
// about opening it: an encrypted stream or a write-reservation password.
base::OpeningObstacle LookAtBiff(std::string_view stream);

// Whether another program has the file open without sharing it for writing.
// Defined by the platform's half; never on systems without share modes.
bool HeldByAnotherProgram(const std::filesystem::path& path);

}  // namespace quorvane::ooxml
