#include "win32/window/EngineChoice.h"

namespace quorvane::win32 {

std::unique_ptr<base::ExcelApplication> EngineChoice::Create() {
  try {
    return excel_.Create();
  } catch (const base::AutomationError&) {
    // No Excel to create (not installed, not registered, or refusing): the
    // built-in engine does the work, and its own errors reach the run.
  }
  return builtin_.Create();
}

}  // namespace quorvane::win32
