#pragma once
// Child processes for the reliability tests: output captured in files, limits
// on file size, memory and time, an optional other user, and a deadline after
// which the child is killed.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::reliability {

namespace fs = std::filesystem;

struct ChildLimits {
  std::optional<std::uint64_t> fileSize;      // RLIMIT_FSIZE; SIGXFSZ is ignored so writes fail with EFBIG
  std::optional<std::uint64_t> addressSpace;  // RLIMIT_AS; left out under AddressSanitizer
  std::optional<uid_t> user;                  // setgid/setuid to this id before the body runs
  std::chrono::milliseconds deadline{std::chrono::seconds(120)};
};

// Shorthands, as designated initializers of a partly initialised aggregate warn.
inline ChildLimits FileSizeLimit(std::uint64_t bytes) {
  ChildLimits limits;
  limits.fileSize = bytes;
  return limits;
}
inline ChildLimits AsUser(uid_t user) {
  ChildLimits limits;
  limits.user = user;
  return limits;
}
inline ChildLimits Deadline(std::chrono::milliseconds deadline) {
  ChildLimits limits;
  limits.deadline = deadline;
  return limits;
}

struct ChildResult {
  int exit = -1;         // exit status, or -1 when killed by a signal
  int signal = 0;        // the killing signal
  bool timedOut = false;  // the deadline passed and the child was killed
  long maxRssKiB = 0;
  double seconds = 0;
  std::string out, err;
};

// Runs body in a forked child (its return value is the exit status); stdout
// and stderr go to files under captureDir.
ChildResult RunChild(const std::function<int()>& body, const ChildLimits& limits, const fs::path& captureDir);

// Runs a program with the given arguments the same way.
ChildResult RunProgram(const std::vector<std::string>& argv, const ChildLimits& limits, const fs::path& captureDir);

// Starts a program and returns its process id (output discarded); for tests
// that kill it themselves.
pid_t StartProgram(const std::vector<std::string>& argv);
// Waits for a child started by StartProgram; the exit status, or 128 + signal.
int WaitProgram(pid_t pid);

bool AddressSanitizerActive();

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& bytes);

// The tool's own temporary names: the package writer's and the backup copier's.
bool IsToolTemporary(const fs::path& name);

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& label = "rel");
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();
  const fs::path& Path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  // Names in the folder, sorted.
  std::vector<std::string> Names() const;

 private:
  fs::path path_;
};

}  // namespace quorvane::reliability
