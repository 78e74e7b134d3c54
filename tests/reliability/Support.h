#pragma once
// Support of the reliability tests: child processes (output captured in
// files, limits on file size, memory and time, an optional other user, a
// deadline after which the child is killed), scratch folders, and the
// workbooks the tests work on.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::reliability {

namespace fs = std::filesystem;

// Every member has an initialiser, so designated initialisers may name a few.
struct ChildLimits {
  std::optional<std::uint64_t> fileSize{};      // RLIMIT_FSIZE; a body ignores SIGXFSZ, a program must itself
  std::optional<std::uint64_t> addressSpace{};  // RLIMIT_AS; left out under AddressSanitizer
  std::optional<uid_t> user{};                  // setgid/setuid to this id before the body runs
  std::chrono::milliseconds deadline{std::chrono::seconds(120)};
};

struct ChildResult {
  int exit = -1;         // exit status, or -1 when killed by a signal
  int signal = 0;        // the killing signal
  bool timedOut = false;  // the deadline passed and the child was killed
  long maxRssKiB = 0;
  double seconds = 0;
  std::string out, err;
};

// Runs body in a forked child (its return value is the exit status), or a
// program; stdout and stderr go to files under captureDir.
ChildResult RunChild(const std::function<int()>& body, const ChildLimits& limits, const fs::path& captureDir);
ChildResult RunProgram(const std::vector<std::string>& argv, const ChildLimits& limits, const fs::path& captureDir);

// Starts a program, for tests that signal or kill it themselves, with its
// output discarded or captured in captureDir (child.out, child.err);
// WaitProgram gives its exit status, or 128 + signal.
pid_t StartProgram(const std::vector<std::string>& argv, const fs::path& captureDir = {});
int WaitProgram(pid_t pid);

bool AddressSanitizerActive();

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& bytes);

// The tool's own temporary names: the package writer's and the backup copier's.
bool IsToolTemporary(const fs::path& name);

// A fresh folder under the system's temporary folder (or under parent),
// removed at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& label = "rel", const fs::path& parent = {});
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

// The generator's preset (seed 7) with shape options on top (e.g. "--rows",
// "5000"), generated once into the build's cache folder; empty when the
// generator is not built.
fs::path CachedWorkbook(const std::string& preset, const std::vector<std::string>& shape = {});

// A small workbook with two book links (cells, a name), 1 to 2 KiB; its
// parts by name.
void WriteLinkedWorkbook(const fs::path& path);
std::map<std::string, std::string> LinkedWorkbookParts();

// True when the file opens with the engine and has no book links.
bool OpensWithoutBookLinks(const fs::path& path, std::string* why = nullptr);

// The path of quorvane-cli.
std::string CliPath();

}  // namespace quorvane::reliability
