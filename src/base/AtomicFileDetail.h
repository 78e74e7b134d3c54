#pragma once
// What the platform halves of the atomic file writer share with its portable
// part: temporary names and this process's record of the files it holds.

#include <filesystem>

#include "base/AtomicFile.h"

namespace quorvane::base::detail {

inline constexpr int kNameAttempts = 16;

// A fresh "~$qv<hex>.tmp" name in folder.
std::filesystem::path NewTemporaryName(const std::filesystem::path& folder);

// Held files of this process, which a sweep in another thread must not open.
void Hold(const std::filesystem::path& path);
void Release(const std::filesystem::path& path) noexcept;

// Removes a leftover temporary file unless a writer still holds it; in the
// platform half.
bool RemoveIfAbandoned(const std::filesystem::path& path) noexcept;

// Opens target to hold it until the replace, and checks that it is still
// the file read as `expected` (FileChanged when not); in the platform half.
UniqueNativeFile HoldOriginal(const std::filesystem::path& target, const FileStamp& expected);

}  // namespace quorvane::base::detail
