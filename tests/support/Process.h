#pragma once
// Child processes for the POSIX tests: a program, or a function in a forked
// copy of the test; output captured in files, optional resource limits or
// another user, and a deadline after which the child's whole process group
// is killed (office suites fork helpers).

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/ScratchDir.h"

namespace quorvane::tests {

inline bool AddressSanitizerActive() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
  return __has_feature(address_sanitizer);
#else
  return false;
#endif
}

// Every member has an initialiser, so designated initialisers may name a few.
struct ChildOptions {
  fs::path cwd{};                               // empty: the test's own
  std::optional<std::uint64_t> fileSize{};      // RLIMIT_FSIZE; a program must handle SIGXFSZ itself
  std::optional<std::uint64_t> addressSpace{};  // RLIMIT_AS; left out under AddressSanitizer
  std::optional<uid_t> user{};                  // setgid/setuid before the child runs
  std::chrono::milliseconds deadline{std::chrono::minutes(2)};
};

struct ChildResult {
  int exit = -1;  // the exit status, or 128 + the signal that ended it
  int signal = 0;
  bool timedOut = false;
  long maxRssKiB = 0;
  std::string out, err;  // read back from capture/child.out and child.err
};

// Forks; the child (only async-signal-safe calls until exec or _exit) gets
// its own process group, output files and limits, then runs body. An empty
// capture folder discards the output.
inline pid_t ForkChild(const fs::path& capture, const ChildOptions& o, const std::function<void()>& body) {
  const std::string out = capture.empty() ? "/dev/null" : (capture / "child.out").string();
  const std::string err = capture.empty() ? "/dev/null" : (capture / "child.err").string();
  std::fflush(nullptr);  // else the child writes our buffered output again
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid > 0) return pid;
  ::setpgid(0, 0);
  const int ofd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (ofd < 0 || efd < 0 || ::dup2(ofd, 1) < 0 || ::dup2(efd, 2) < 0) ::_exit(126);
  if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) ::_exit(126);
  const rlimit files{o.fileSize.value_or(0), o.fileSize.value_or(0)};
  const rlimit memory{o.addressSpace.value_or(0), o.addressSpace.value_or(0)};
  if (o.fileSize && ::setrlimit(RLIMIT_FSIZE, &files) != 0) ::_exit(125);
  if (o.addressSpace && !AddressSanitizerActive() && ::setrlimit(RLIMIT_AS, &memory) != 0) ::_exit(125);
  if (o.user && (::setgid(*o.user) != 0 || ::setuid(*o.user) != 0)) ::_exit(125);
  body();
  ::_exit(127);
}

// The exit status, or 128 + signal; the deadline kills the process group.
inline ChildResult WaitChild(pid_t pid, const fs::path& capture, const ChildOptions& o = {}) {
  ChildResult result;
  const auto end = std::chrono::steady_clock::now() + o.deadline;
  int status = 0;
  rusage usage{};
  for (pid_t done = 0; done != pid; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
    done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "wait4");
    if (done != pid && std::chrono::steady_clock::now() > end) {
      ::kill(-pid, SIGKILL);
      done = ::wait4(pid, &status, 0, &usage);
      result.timedOut = true;
    }
  }
  result.maxRssKiB = usage.ru_maxrss;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + result.signal;
  const auto read = [&](const char* name) { return fs::exists(capture / name) ? ReadBytes(capture / name) : ""; };
  if (!capture.empty()) result.out = read("child.out"), result.err = read("child.err");
  return result;
}

inline pid_t StartProgram(const std::vector<std::string>& argv, const fs::path& capture = {},
                          const ChildOptions& o = {}) {
  std::vector<char*> raw;
  for (const auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));  // execvp does not write them
  raw.push_back(nullptr);
  return ForkChild(capture, o, [&] {
    // As a shell leaves them: what a program does about a full pipe or a
    // file-size limit is its own business.
    ::signal(SIGXFSZ, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(raw[0], raw.data());
  });
}

inline int WaitProgram(pid_t pid) { return WaitChild(pid, {}, {.deadline = std::chrono::minutes(10)}).exit; }

inline ChildResult RunProgram(const std::vector<std::string>& argv, const fs::path& capture,
                              const ChildOptions& o = {}) {
  return WaitChild(StartProgram(argv, capture, o), capture, o);
}

// body's return value is the exit status; writes past a file-size limit
// fail with EFBIG instead of a signal.
inline ChildResult RunFunction(const std::function<int()>& body, const fs::path& capture,
                               const ChildOptions& o = {}) {
  return WaitChild(ForkChild(capture, o, [&] {
                     ::signal(SIGXFSZ, SIG_IGN);
                     int code = 124;
                     try {
                       code = body();
                     } catch (...) {
                     }
                     std::fflush(nullptr);
                     ::_exit(code);
                   }),
                   capture, o);
}

}  // namespace quorvane::tests
