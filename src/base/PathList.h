#pragma once
// A read-only view of an ordered list of paths: what a run needs of the
// list it works on, without the list itself.

#include <cstddef>
#include <string>

namespace quorvane::base {

class PathList {
 public:
  virtual ~PathList() = default;
  // Positions are 1-based, as the list shows them.
  virtual std::size_t Count() const = 0;
  virtual const std::string& Text(std::size_t index) const = 0;  // throws std::out_of_range

 protected:
  PathList() = default;
  PathList(const PathList&) = default;
  PathList& operator=(const PathList&) = default;
};

}  // namespace quorvane::base
