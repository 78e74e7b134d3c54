#include "win32/window/EngineChoice.h"

namespace quorvane::win32 {

std::unique_ptr<base::ExcelApplication> EngineChoice::Create() {
  try {
    return excel_.Create();
  } catch (const base::NotInstalled&) {
    // No Excel on this machine: the built-in engine does the work, and its
    // own errors reach the run. An Excel that fails to start fails the
    // workbook with its reason instead.
  }
  return builtin_.Create();
}

}  // namespace quorvane::win32
