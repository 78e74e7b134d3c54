#include "base/NativeFile.h"

#include <unistd.h>

namespace quorvane::base {

// close(2) may report a delayed write error, but the descriptor is gone
// either way; the writers that care sync before they let go.
void CloseNativeFile(NativeFile file) noexcept { ::close(file); }

}  // namespace quorvane::base
