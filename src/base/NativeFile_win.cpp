#include "base/NativeFile.h"

#include <windows.h>

namespace quorvane::base {

void CloseNativeFile(NativeFile file) noexcept { ::CloseHandle(static_cast<HANDLE>(file)); }

}  // namespace quorvane::base
