#pragma once
// Working on several workbooks at once.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quorvane::cli {

// Groups positions naming the same file (after resolving "." and "..",
// symbolic links, hard links and the like), in order of first appearance. Each group
// must be worked on by one thread in order: two threads on one file would
// race to replace it.
std::vector<std::vector<std::size_t>> GroupSameFiles(const std::vector<std::string>& paths);

// Runs the groups on up to `jobs` threads. Each thread calls makeWorker once
// and then its worker for every position of every group it takes. If a
// worker throws, no further group is started and the first exception is
// passed on once all threads have stopped. Once `stopped` says so, no
// further position is started; those under way finish.
void RunGroups(const std::vector<std::vector<std::size_t>>& groups, unsigned jobs,
               const std::function<std::function<void(std::size_t)>()>& makeWorker,
               const std::function<bool()>& stopped = {});

}  // namespace quorvane::cli
