#include "base/Path.h"

namespace quorvane::base {

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '\\') path += '\\';
  path += name;
  return path;
}

int LastDotPosition(std::string_view text) {
  int position = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '.') position = static_cast<int>(i) + 1;
  }
  return position;
}

}  // namespace quorvane::base
