#pragma once
// Path text as the window's services give it: Windows separators, and names
// compared and split as plain text.

#include <string>
#include <string_view>

namespace quorvane::base {

// Joins a folder and a name with exactly one backslash; a folder that already
// ends in one (a drive root) gets none added. Nothing else is touched.
std::string JoinPath(std::string_view folder, std::string_view name);

// 1-based position of the last "." in text, 0 when there is none.
int LastDotPosition(std::string_view text);

}  // namespace quorvane::base
