#pragma once
// The platform's own handle of an open file, for the code that works below
// the standard library: a descriptor on POSIX, a HANDLE on Windows (held as
// void* so that no Windows header is needed here), and its owner.

#include "base/Unique.h"

namespace quorvane::base {

#ifdef _WIN32
using NativeFile = void*;  // null for none; a failed CreateFile's value is never kept
#else
using NativeFile = int;  // -1 for none
#endif

// Defined by the platform's half.
void CloseNativeFile(NativeFile file) noexcept;

#ifdef _WIN32
using UniqueNativeFile = unique_any<NativeFile, &CloseNativeFile>;
#else
using UniqueNativeFile = unique_any<NativeFile, &CloseNativeFile, ValueIsInvalid<int, -1>>;
using UniqueFd = UniqueNativeFile;
#endif

}  // namespace quorvane::base
