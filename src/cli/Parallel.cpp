#include "cli/Parallel.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "base/Utf8Path.h"

namespace quorvane::cli {

namespace {

// What a path names: for a file that exists, its device and inode, which one
// stat tells (resolving every component of a deep path costs a system call
// each, and this runs before any worker starts); otherwise the resolved path.
// Windows' stat has no inode and takes ANSI names, so there the resolved path
// is the key.
std::string FileKey(const std::string& path) {
#ifndef _WIN32
  struct stat st {};
  // Built by append: GCC 12 at -O3 warns falsely on "literal" + std::string.
  if (::stat(path.c_str(), &st) == 0)
    return std::string("i").append(std::to_string(st.st_dev)).append(":").append(std::to_string(st.st_ino));
#endif
  std::error_code ec;
  auto key = base::ToUtf8(std::filesystem::weakly_canonical(base::FromUtf8(path), ec));
  return std::string("p").append(ec ? path : key);
}

}  // namespace

std::vector<std::vector<std::size_t>> GroupSameFiles(const std::vector<std::string>& paths) {
  std::vector<std::vector<std::size_t>> groups;
  std::map<std::string, std::size_t> groupOf;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string key = FileKey(paths[i]);
    const auto [it, inserted] = groupOf.emplace(key, groups.size());
    if (inserted) groups.emplace_back();
    groups[it->second].push_back(i);
  }
  return groups;
}

void RunGroups(const std::vector<std::vector<std::size_t>>& groups, unsigned jobs,
               const std::function<std::function<void(std::size_t)>()>& makeWorker,
               const std::function<bool()>& stopped) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex failureMutex;
  std::exception_ptr failure;

  const auto run = [&] {
    try {
      auto worker = makeWorker();
      for (;;) {
        if (stop.load()) return;
        const std::size_t g = next.fetch_add(1);
        if (g >= groups.size()) return;
        for (const std::size_t index : groups[g]) {
          if (stopped && stopped()) return;
          worker(index);
        }
      }
    } catch (...) {
      stop.store(true);
      const std::lock_guard lock(failureMutex);
      if (!failure) failure = std::current_exception();
    }
  };

  const std::size_t threads = std::min<std::size_t>(std::max(1u, jobs), groups.size());
  if (threads <= 1) {
    run();
  } else {
    std::vector<std::jthread> pool;
    pool.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(run);
  }  // the jthreads join here
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quorvane::cli
