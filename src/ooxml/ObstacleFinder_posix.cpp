#include "ooxml/ObstacleFinder.h"

namespace quorvane::ooxml {

// Files are not locked against each other here; Excel never runs here either.
bool HeldByAnotherProgram(const std::filesystem::path&) { return false; }

}  // namespace quorvane::ooxml
